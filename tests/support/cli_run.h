// Running the terminal program, and the tools that read what it writes,
// as child processes of a test: their exit status and their output.
#ifndef TESTS_SUPPORT_CLI_RUN_H
#define TESTS_SUPPORT_CLI_RUN_H

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <string>
#include <vector>

struct cli_result {
  int status;     // exit status, or 128 + the signal that ended it
  bool signalled; // ended by a signal, as a parent process sees it
  std::string out;
  std::string err;
};

// Where the program's standard output goes, and the locale it runs in.
struct cli_setup {
  std::string locale = "C.UTF-8";
  std::string out = "out.txt";
  int out_fd = -1; // instead of `out`, when not -1
};

// zelkor ARGS in the current directory, its output in out.txt and err.txt.
pid_t start_zelkor(const std::vector<std::string> &args,
                   const cli_setup &setup = cli_setup());
cli_result finish_zelkor(pid_t pid);
cli_result run_zelkor(const std::vector<std::string> &args,
                      const cli_setup &setup = cli_setup());

// Runs a tool (a browser, promtool) to its end: its exit status, with its
// standard output in `out` (and its error output after a failure),
// standard input from `in`.
int run_tool(const std::vector<std::string> &args, std::string *out,
             const char *in = "/dev/null");

// The page at `html_path` as headless Chromium builds it, with nothing but
// loopback to reach and its profile under `scratch`: the browser's exit
// status, the DOM in *dom.
int browser_dom(const std::string &html_path, const std::string &scratch,
                std::string *dom);

// The JSON file, failing the test when it is not valid JSON.
nlohmann::json parse_json(const std::string &path);
// The entry of `domain` in a nameserver's "names"; fails the test when
// there is none.
const nlohmann::json &named(const nlohmann::json &ns,
                            const std::string &domain);

#endif
