// The passes kept, and their figures.
#include "cli/results.h"

#include "net/probe.h"
#include "run/result_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

pass_record passes[MAX_PASSES];
int passes_done;

namespace {

// Room for every replied probe of a pass: two per line.
typedef std::int32_t latency_table[2 * MAX_DOMAINS];

void count_probe(const probe_record &probe, row_figures *out,
                 latency_table latencies, int *replied) {
  if (probe.outcome == PROBE_OK)
    ++out->ok;
  else if (probe.outcome == PROBE_NEGATIVE)
    ++out->negative;
  else
    ++out->failed;
  if (probe.outcome != PROBE_OK && probe.outcome != PROBE_NEGATIVE &&
      probe.timing.attempts == 0)
    ++out->unsent;
  if (probe.timing.reply_us >= 0) {
    latencies[(*replied)++] = probe.timing.reply_us;
    out->sum_ms += probe.timing.reply_us / 1000.0;
  }
}

// Nearest rank: the smallest value with at least `percent` of the values at
// or below it.
double rank_ms(const latency_table latencies, int n, double percent) {
  int rank = static_cast<int>(std::ceil(percent / 100.0 * n));
  rank = std::max(1, std::min(n, rank));
  return latencies[rank - 1] / 1000.0;
}

} // namespace

void keep_pass(int index, const char *ns, double seconds) {
  pass_record *pass = &passes[index];
  std::memset(pass, 0, sizeof *pass);
  std::strncpy(pass->ns, ns, sizeof pass->ns - 1);
  pass->seconds = seconds;
  for (line_record &line : pass->lines)
    line.row = NO_ROW;
  for (int row = 0; row < PROVIDER_TAG_COUNT; ++row) {
    for (int i = 0; i < provider_count[row] && i < RESULT_SLOTS; ++i) {
      const domain_result &slot = result_table[row][i];
      if (slot.line < 0 || slot.line >= MAX_DOMAINS)
        continue;
      line_record &line = pass->lines[slot.line];
      line.row = row;
      line.bare = probe_record{slot.bare_status, slot.bare_timing};
      line.www = probe_record{slot.www_status, slot.www_timing};
    }
  }
  if (index + 1 > passes_done)
    passes_done = index + 1;
}

void row_figures_of(const pass_record *pass, int row, row_figures *out) {
  *out = row_figures{};
  // On the stack: the driver's thread and the main thread both ask.
  latency_table latencies;
  int replied = 0;
  for (int i = 0; i < domain_count && i < MAX_DOMAINS; ++i) {
    const line_record &line = pass->lines[i];
    if (line.row == NO_ROW || (row != TOTAL_ROW && line.row != row))
      continue;
    ++out->lines;
    count_probe(line.bare, out, latencies, &replied);
    count_probe(line.www, out, latencies, &replied);
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  out->probed = 2 * out->lines;
  out->rate = out->lines > 0 ? 100.0 * out->ok / out->probed : nan;
  out->replied = replied;
  out->median_ms = out->p95_ms = nan;
  out->min_ms = out->q1_ms = out->q3_ms = out->max_ms = nan;
  if (replied > 0) {
    std::sort(latencies, latencies + replied);
    // The middle value, or the mean of the two middle ones.
    out->median_ms =
        (latencies[(replied - 1) / 2] + latencies[replied / 2]) / 2000.0;
    out->p95_ms = rank_ms(latencies, replied, 95.0);
    out->min_ms = latencies[0] / 1000.0;
    out->q1_ms = rank_ms(latencies, replied, 25.0);
    out->q3_ms = rank_ms(latencies, replied, 75.0);
    out->max_ms = latencies[replied - 1] / 1000.0;
  }
}

double total_rate(const pass_record *pass, int *ok, int *count) {
  row_figures all;
  row_figures_of(pass, TOTAL_ROW, &all);
  *ok = all.ok;
  *count = 2 * domain_count;
  return *count > 0 ? 100.0 * *ok / *count
                    : std::numeric_limits<double>::quiet_NaN();
}

int usable_lines(void) {
  int n = 0;
  for (int i = 0; i < domain_count; ++i) {
    char copy[LINE_COPY_SIZE] = {};
    int row;
    n += usable_domain(domain_list[i], copy, &row) != nullptr;
  }
  return n;
}
