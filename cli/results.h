// What the terminal program keeps of a run: every finished pass, copied out
// of the result table before the next pass clears it, and the figures made
// of it (rates, median and 95th percentile latency).
#ifndef CLI_RESULTS_H
#define CLI_RESULTS_H

#include "net/probe.h"
#include "run/domain_list.h"
#include "run/local_dns.h"
#include "run/test_driver.h"

#include <cstdint>

enum {
  MAX_PASSES = MAX_CHOSEN_SERVERS,
  NO_ROW = -1,
  TOTAL_ROW = PROVIDER_TAG_COUNT, // all rows together
};

struct probe_record {
  std::int32_t outcome; // PROBE_OK, PROBE_NEGATIVE, PROBE_FAILED
  probe_timing timing;  // reply_us is -1 for a failed probe
};

// One list line in one pass: its provider row, or NO_ROW when it took no
// slot (no colon, no tag, or its worker never ran).
struct line_record {
  std::int32_t row;
  probe_record bare;
  probe_record www;
};

struct pass_record {
  char ns[LOCAL_DNS_ADDR_SIZE];
  double seconds; // from the pass's start to its report
  line_record lines[MAX_DOMAINS];
};

// A row's figures in one pass, or all rows' (TOTAL_ROW).
struct row_figures {
  int lines; // domains probed
  int ok;    // names
  int negative;
  int failed;
  int unsent;       // of `failed`: names never sent (no wire form)
  int probed;       // names: twice `lines`
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
};

extern pass_record passes[MAX_PASSES];
extern int passes_done;

// Copies the result table of the pass just reported into passes[index].
void keep_pass(int index, const char *ns, double seconds);
void row_figures_of(const pass_record *pass, int row, row_figures *out);
// The total as the log has it: resolved names over twice the stored lines.
double total_rate(const pass_record *pass, int *ok, int *count);

// The domain lines a run probes: a colon and a known tag.
int usable_lines(void);

#endif
