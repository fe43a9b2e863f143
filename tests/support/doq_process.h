// The tests' DNS over QUIC server (doq_server.go) as a child process:
// started with its options, its standard output in a log file, ready once
// it says so, stopped by its PID.
#ifndef TESTS_SUPPORT_DOQ_PROCESS_H
#define TESTS_SUPPORT_DOQ_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class doq_process {
public:
  // `program`'s arguments after its name.
  doq_process(const char *program, const std::string &log,
              std::vector<std::string> args);
  ~doq_process();
  // Listening once it says so; bounded.
  bool ready() const;
  // Its log, once it has ended.
  std::string stop();

private:
  pid_t pid_ = -1;
  std::string log_;
};

// A key and a self-signed certificate for it in `dir` (doq.key, doq.pem),
// by the openssl command; false when it failed.
bool make_test_key(const std::string &dir);

#endif
