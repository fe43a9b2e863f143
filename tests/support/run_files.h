// What the run's suites share: a fresh working directory per test (the run
// writes "./log.txt"), whole-file reads and writes, the local nameservers a
// run sees, and a whole run on a thread of its own with standard output
// captured.
#ifndef TESTS_SUPPORT_RUN_FILES_H
#define TESTS_SUPPORT_RUN_FILES_H

#include "tests/support/files.h"

#include <string>
#include <vector>

// Makes a fresh empty directory and makes it current; the destructor goes
// back and removes it.
class scratch_dir {
public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const {
    return path_;
  }

private:
  std::string path_;
  std::string previous_;
};

// write_bytes, failing the test when the file cannot be written.
void write_file(const std::string &path, const std::string &bytes);

// Loads `lines` (each ending in "\n") as the domain list.
void load_lines(const std::vector<std::string> &lines);

// The local nameservers as discovery gives them for a machine configured
// with `addresses` (none, one, two or more). Natively through a resolver
// file of the current directory; on Windows, where the platform's list
// cannot be set from a test, through the split of the joined text.
void use_local_nameservers(const std::vector<std::string> &addresses);
// The local text given directly, with its count, as get_local_dns would
// yield it (for texts no resolver file can produce, such as ",b").
void use_local_text(const char *text, int count);
// Back to the machine's own discovery.
void forget_local_nameservers(void);

// Standard output as the test sees it, for bytes the program writes with
// "\n": the same on both builds once captured and read back.
std::string console_text(const std::string &bytes);

// test_driver at the Windows program's settings on a thread of its own, joined; returns what it
// wrote to standard output. The window double's posts stay queued.
std::string run_whole_test(void);

// The nameservers named by the total lines of a log or of standard output,
// in order.
std::vector<std::string> reported_nameservers(const std::string &text);
// The nameservers of the "begin to test" lines, in order.
std::vector<std::string> begun_nameservers(const std::string &text);

#endif
