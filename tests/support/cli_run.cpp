// The terminal program and the tools as child processes (posix_spawn).
#include "tests/support/cli_run.h"

#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

using nlohmann::json;

pid_t start_zelkor(const std::vector<std::string> &args,
                   const cli_setup &setup) {
  std::vector<std::string> argv_text = {ZELKOR_CLI};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : argv_text)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  // A UTF-8 locale whatever the machine's, so that the texts are known.
  std::vector<std::string> env_text = {"LC_ALL=" + setup.locale};
  for (char **e = environ; *e; ++e)
    env_text.push_back(*e);
  std::vector<char *> env;
  for (std::string &e : env_text)
    env.push_back(&e[0]);
  env.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  if (setup.out_fd >= 0)
    posix_spawn_file_actions_adddup2(&files, setup.out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&files, 1, setup.out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, "err.txt",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
}

cli_result finish_zelkor(pid_t pid) {
  int raw = 0;
  waitpid(pid, &raw, 0);
  cli_result r;
  r.signalled = WIFSIGNALED(raw);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = read_file("out.txt");
  r.err = read_file("err.txt");
  return r;
}

cli_result run_zelkor(const std::vector<std::string> &args,
                      const cli_setup &setup) {
  pid_t pid = start_zelkor(args, setup);
  EXPECT_GT(pid, 0);
  return finish_zelkor(pid);
}

int run_tool(const std::vector<std::string> &args, std::string *out,
             const char *in) {
  std::vector<std::string> text = args;
  std::vector<char *> argv;
  for (std::string &a : text)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, in, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "tool.txt",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, "tool-err.txt",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  int raw = 0;
  if (rc != 0 || waitpid(pid, &raw, 0) != pid)
    return -1;
  *out = read_file("tool.txt");
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0)
    *out += read_file("tool-err.txt");
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

json parse_json(const std::string &path) {
  std::string text = read_file(path);
  EXPECT_TRUE(json::accept(text)) << text;
  return json::accept(text) ? json::parse(text) : json::object();
}

const json &named(const json &ns, const std::string &domain) {
  for (const json &n : ns["names"]) {
    if (n["domain"] == domain)
      return n;
  }
  static const json none = json::object();
  ADD_FAILURE() << "no name " << domain;
  return none;
}
