// zelkor report and zelkor compare: runs read back from their JSON files,
// put side by side (one report from several sites or times) or compared
// (what changed since the last run).
#ifndef CLI_RUNS_REPORT_H
#define CLI_RUNS_REPORT_H

#include "cli/run_set.h"

#include <string>
#include <vector>

// Where a name that failed fails: through every nameserver at every site
// that asked it (the provider's), at one site only (its path or its
// resolver), or some of both.
enum {
  SCOPE_PROVIDER,
  SCOPE_SITE,
  SCOPE_SOME,
};

struct failed_name {
  std::size_t name;                 // into run_set::names
  std::vector<std::size_t> failed;  // columns where it failed
  std::vector<std::size_t> missing; // columns whose run did not ask it
  int scope;
};

// The columns in the report's order: those of one nameserver side by
// side, in the order of the runs.
std::vector<std::size_t> report_order(const run_set &set);
// Every name that failed somewhere, in the set's order of names.
std::vector<failed_name> failed_names(const run_set &set);
const char *scope_name(int scope);

// Reads the runs named by argv[first] to argv[argc - 1] into `set`: 0, or
// exit status 2 after one line naming the file that is no run's JSON.
int read_runs(int first, int argc, char **argv, run_set *set);
// One line on standard error: exit status 2.
int runs_trouble(const std::string &text);

// The subcommands, given their words after "zelkor": the exit status.
int report_main(int argc, char **argv);
int compare_main(int argc, char **argv);

#endif
