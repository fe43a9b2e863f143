#include "tests/support/doq_process.h"

#include "tests/support/files.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char **environ;

namespace {

// `args` (the program first) with standard output (fd 1) or error (fd 2)
// to `to`; its PID, or -1.
pid_t spawn(std::vector<std::string> args, int fd, const char *to) {
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, fd, to, O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  return spawned == 0 ? pid : -1;
}

} // namespace

doq_process::doq_process(const char *program, const std::string &log,
                         std::vector<std::string> args)
    : log_(log) {
  args.insert(args.begin(), program);
  pid_ = spawn(args, 1, log.c_str());
}

bool make_test_key(const std::string &dir) {
  const pid_t pid =
      spawn({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:P-256", "-nodes", "-keyout", dir + "/doq.key",
             "-out", dir + "/doq.pem", "-days", "2", "-subj", "/CN=doq.test"},
            2, "/dev/null");
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

doq_process::~doq_process() {
  stop();
}

bool doq_process::ready() const {
  for (int i = 0; pid_ > 0 && i < 200; ++i) {
    if (read_file(log_).find("ready") != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string doq_process::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return read_file(log_);
}
