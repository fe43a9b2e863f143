// The terminal program and the tools as child processes (posix_spawn).
#include "tests/support/cli_run.h"

#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

using nlohmann::json;

namespace {

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> p;
  for (std::string &t : texts)
    p.push_back(&t[0]);
  p.push_back(nullptr);
  return p;
}

// Starts argv[0] with standard input from `in`, output to `out_fd` when it
// is not -1 or else to the file `out`, and error output to the file `err`.
pid_t spawn(std::vector<std::string> args, std::vector<std::string> env,
            const char *in, int out_fd, const char *out, const char *err) {
  std::vector<char *> argv = pointers(args);
  std::vector<char *> envp = pointers(env);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, in, O_RDONLY, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&files, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&files, 1, out,
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err, O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  int rc =
      posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
}

std::vector<std::string> environment(void) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    env.push_back(*e);
  return env;
}

} // namespace

pid_t start_zelkor(const std::vector<std::string> &args,
                   const cli_setup &setup) {
  std::vector<std::string> argv = {ZELKOR_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  // A UTF-8 locale whatever the machine's, so that the texts are known.
  std::vector<std::string> env = environment();
  env.insert(env.begin(), "LC_ALL=" + setup.locale);
  return spawn(argv, env, "/dev/null", setup.out_fd, setup.out.c_str(),
               "err.txt");
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

int browser_dom(const std::string &html_path, const std::string &scratch,
                std::string *dom) {
  return run_tool({CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                   "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   "--user-data-dir=" + scratch + "/browser", "--dump-dom",
                   "file://" + html_path},
                  dom);
}

int run_tool(const std::vector<std::string> &args, std::string *out,
             const char *in) {
  pid_t pid = spawn(args, environment(), in, -1, "tool.txt", "tool-err.txt");
  int raw = 0;
  if (pid < 0 || waitpid(pid, &raw, 0) != pid)
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
