#include "tests/support/doq_process.h"

#include "tests/support/files.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char **environ;

doq_process::doq_process(const char *program, const std::string &log,
                         std::vector<std::string> args)
    : log_(log) {
  args.insert(args.begin(), program);
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned =
      posix_spawn(&pid_, program, &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0)
    pid_ = -1;
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
