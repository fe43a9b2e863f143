// Runs read back from their JSON files, for a report over several sites
// or times and for a comparison of two: each nameserver of each run a
// column, every probed name of every run a row, merged by provider and
// name. What a report needs alone is kept: rates, latency, and each
// name's outcome, cause and verdict in three bytes a column.
#ifndef CLI_RUN_SET_H
#define CLI_RUN_SET_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

enum {
  CELL_NOT_ASKED, // the name was not in that run's list
  CELL_OK,
  CELL_NEGATIVE,
  CELL_FAILED, // failed, redirected or suspect
};

// One name through one nameserver of one run.
struct run_cell {
  std::uint8_t state = CELL_NOT_ASKED;
  std::uint8_t cause = 0;   // into run_set::words: the error, or the outcome
  std::uint8_t verdict = 0; // into run_set::words; 0 for none
};

// A figure the run's file does not have.
const double NO_FIGURE = std::numeric_limits<double>::quiet_NaN();

// A provider's figures in one column.
struct provider_rate {
  int probed = 0;
  int ok = 0;
  double rate = NO_FIGURE; // percent; NaN when nothing was probed
  double median_ms = NO_FIGURE, p95_ms = NO_FIGURE; // NaN when none replied
};

// One nameserver of one run.
struct run_column {
  std::size_t run; // into run_set::runs
  std::string nameserver;
  int ok = 0;    // the log's total
  int count = 0; // both names of every list line
  // Percent; and over the replied probes, in ms: NaN where the run's file
  // has none.
  double rate = NO_FIGURE;
  double median_ms = NO_FIGURE, p95_ms = NO_FIGURE;
  double cold_median_ms = NO_FIGURE, warm_median_ms = NO_FIGURE;
  std::string nx; // "clean", "hijack", "unknown"; "" when not asked
  std::map<std::string, provider_rate> providers;
  std::vector<run_cell> cells; // by name; past its end: not asked
};

struct run_info {
  std::string file;
  std::string site;
  std::string started;
  std::string list;
  bool complete;
};

struct run_name {
  std::string provider;
  std::string name; // as the list wrote it (UTF-8), with "www." for those
};

struct run_set {
  std::vector<run_info> runs;
  std::vector<run_column> columns;
  std::vector<std::string> providers; // in the order first met
  std::vector<run_name> names;
  std::unordered_map<std::string, std::uint32_t> name_index;
  // Causes and verdicts, each kept once; words[0] is "".
  std::vector<std::string> words{""};
};

// Reads the run at `path` into `set`. 0, or -1 with what is wrong with the
// file in a few words ("not JSON", "not a run of zelkor", ...); the set is
// then not to be used.
int read_run(const char *path, run_set *set, std::string *why);
// The column's cell of name `name`.
const run_cell &cell_at(const run_column &column, std::size_t name);
// The provider's rate in the column, in percent; NaN when it probed none.
double rate_of_provider(const run_column &column, const std::string &provider);
// A failed cell's cause and checked verdict: "timeout, resolver".
std::string failure_words(const run_set &set, const run_cell &cell);

#endif
