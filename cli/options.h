// The terminal program's command line.
#ifndef CLI_OPTIONS_H
#define CLI_OPTIONS_H

#include "run/test_driver.h"

#include <cstddef>

enum {
  ACTION_RUN,
  ACTION_HELP,
  ACTION_VERSION,
};

struct cli_options {
  int action;
  const char *list_path;
  const char *servers[MAX_CHOSEN_SERVERS]; // -s, in the order given
  int server_count;
  const char *log_path;  // null with --no-log
  const char *json_path; // null for none; "-" for standard output
  const char *csv_path;
  const char *html_path;    // null for none
  const char *metrics_path; // null for none
  bool has_min_rate;
  double min_rate;
  bool quiet;
};

// 0, or -1 with the reason in `error` (one line, no program name).
int parse_options(int argc, char **argv, cli_options *options, char *error,
                  std::size_t error_size);
// True for four decimal numbers of 0 to 255 joined by dots, nothing else.
bool is_dotted_quad(const char *text);
// What --help prints.
extern const char USAGE_TEXT[];

#endif
