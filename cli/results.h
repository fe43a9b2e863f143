// What the terminal program keeps of a run: the list, every finished pass,
// and the figures made of each (rates, latency spread, failure causes),
// computed once when the pass is kept.
#ifndef CLI_RESULTS_H
#define CLI_RESULTS_H

#include "net/engine.h"
#include "run/authority.h"
#include "run/run_list.h"
#include "run/run_passes.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

enum {
  TOTAL_ROW = -2, // all rows together
  ERROR_KINDS = PROBE_ERROR_NOANSWER + 1,
  VERDICT_KINDS = VERDICT_NOT_CHECKED + 1,
};

// A row's figures in one pass, or all rows' (TOTAL_ROW).
struct row_figures {
  int lines; // domains probed
  int ok;    // names
  int negative;
  int failed;
  int errors[ERROR_KINDS];     // failed names by cause (PROBE_ERROR_)
  int failed_rcodes[16];       // of errors[PROBE_ERROR_RCODE], by response code
  int verdicts[VERDICT_KINDS]; // probes by the verdict of their check
  int probed;                  // asks: twice `lines`, in every round
  double rate;      // percent of `probed` that resolved; NaN with no line
  int replied;      // probes decided by a reply, which have a latency
  double sum_ms;    // of their latencies
  double median_ms; // over the replied probes; NaN when none replied
  double p95_ms;
  // The spread of those latencies, for plots: extremes and quartiles (by
  // nearest rank); NaN when none replied.
  double min_ms;
  double q1_ms;
  double q3_ms;
  double max_ms;
  // With rounds: the median of the first asks (cold) and of the later
  // ones (warm), NaN when none replied; probes that failed in some rounds
  // but not all (flaky), and in every round (down).
  double cold_median_ms;
  double warm_median_ms;
  int warm_replied;
  int flaky;
  int down;
};

// How a probe's outcomes went over the rounds.
enum {
  STABILITY_NONE,   // one round only
  STABILITY_STABLE, // the same outcome in every round
  STABILITY_FLAKY,  // not the same in every round
  STABILITY_DOWN,   // failed in every round
};
int stability_of(const pass_result &pass, std::size_t line, bool www);
// "stable", "flaky" or "down"; "" for STABILITY_NONE.
const char *stability_name(int stability);
// The rounds of a pass: 1, and one for each later round it kept.
int rounds_of(const pass_result &pass);

struct kept_pass {
  pass_result result;
  std::vector<row_figures> rows; // by provider row
  row_figures total;
  bool any_reply; // some query got a reply that counted
};

// What a run keeps: its list, its checks, and every pass kept so far.
// Room for every pass is made before the run, so that keeping one never
// moves the others: passes[i] for i < done() may be read from any thread.
struct run_results {
  const run_list *list = nullptr;
  authority *checks = nullptr; // null when none were asked for
  std::vector<kept_pass> passes;
  std::atomic<int> kept{0};
  int done() const {
    return kept.load();
  }
};

void prepare_results(run_results *results, const run_list *list,
                     authority *checks, std::size_t passes_planned);
// Keeps a finished pass (moved from), with its figures.
void keep_pass(run_results *results, pass_result *pass);

const std::string &provider_name(const run_results &r, int row);
int provider_rows(const run_results &r);
const row_figures &figures_of(const kept_pass *pass, int row);
// The total as the log has it: resolved names over twice the counted lines.
double total_rate(const run_results &r, const kept_pass *pass, int *ok,
                  int *count);
// The text of list line `line` as the exports write it: UTF-8 kept, else
// read as GBK, else U+FFFD for each byte that fits neither; *exact is then
// false.
std::string domain_text(const run_results &r, std::size_t line,
                        bool *exact = nullptr);
// A percentile (nearest rank) of connection set-up times, in ms; NaN for
// none.
double setup_ms(const std::vector<std::int32_t> &setup_us, double percent);

#endif
