// The passes kept, and their figures: one scan of a pass makes every row's.
#include "cli/results.h"

#include "cli/text.h"
#include "net/probe.h"

#include <algorithm>
#include <cmath>
#include <limits>

const run_list *results_list;
authority *results_checks;
std::vector<kept_pass> passes;

namespace {

std::atomic<int> kept{0};

void count_probe(const stored_probe &probe, row_figures *out,
                 std::vector<std::int32_t> *latencies) {
  if (probe.outcome == PROBE_OK)
    ++out->ok;
  else if (probe.outcome == PROBE_NEGATIVE)
    ++out->negative;
  else {
    ++out->failed;
    if (probe.error < ERROR_KINDS)
      ++out->errors[probe.error];
    if (probe.error == PROBE_ERROR_RCODE && probe.rcode >= 0 &&
        probe.rcode < 16)
      ++out->failed_rcodes[probe.rcode];
  }
  if (probe.verdict < VERDICT_KINDS)
    ++out->verdicts[probe.verdict];
  if (probe.reply_us >= 0) {
    latencies->push_back(probe.reply_us);
    out->sum_ms += probe.reply_us / 1000.0;
  }
}

// Nearest rank: the smallest value with at least `percent` of the values at
// or below it.
double rank_ms(const std::vector<std::int32_t> &sorted, double percent) {
  const int n = static_cast<int>(sorted.size());
  int rank = static_cast<int>(std::ceil(percent / 100.0 * n));
  rank = std::max(1, std::min(n, rank));
  return sorted[static_cast<std::size_t>(rank - 1)] / 1000.0;
}

void finish_figures(row_figures *out, std::vector<std::int32_t> *latencies) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  out->probed = 2 * out->lines;
  out->rate = out->lines > 0 ? 100.0 * out->ok / out->probed : nan;
  out->replied = static_cast<int>(latencies->size());
  out->median_ms = out->p95_ms = nan;
  out->min_ms = out->q1_ms = out->q3_ms = out->max_ms = nan;
  if (latencies->empty())
    return;
  std::sort(latencies->begin(), latencies->end());
  const std::size_t n = latencies->size();
  // The middle value, or the mean of the two middle ones.
  out->median_ms = ((*latencies)[(n - 1) / 2] + (*latencies)[n / 2]) / 2000.0;
  out->p95_ms = rank_ms(*latencies, 95.0);
  out->min_ms = latencies->front() / 1000.0;
  out->q1_ms = rank_ms(*latencies, 25.0);
  out->q3_ms = rank_ms(*latencies, 75.0);
  out->max_ms = latencies->back() / 1000.0;
}

} // namespace

double setup_ms(const std::vector<std::int32_t> &setup_us, double percent) {
  if (setup_us.empty())
    return std::numeric_limits<double>::quiet_NaN();
  std::vector<std::int32_t> sorted = setup_us;
  std::sort(sorted.begin(), sorted.end());
  return rank_ms(sorted, percent);
}

int passes_done(void) {
  return kept.load();
}

void prepare_results(const run_list *list, std::size_t passes_planned) {
  results_list = list;
  passes.clear();
  passes.reserve(passes_planned);
  kept.store(0);
}

void keep_pass(pass_result *pass) {
  kept_pass k;
  k.result = std::move(*pass);
  const std::size_t rows = results_list->providers.size();
  k.rows.assign(rows, row_figures{});
  k.total = row_figures{};
  k.any_reply = false;
  std::vector<std::vector<std::int32_t>> latencies(rows);
  std::vector<std::int32_t> all;
  for (std::size_t i = 0; i < results_list->lines.size(); ++i) {
    const int row = results_list->lines[i].row;
    if (row < 0)
      continue;
    const line_probes &line = k.result.lines[i];
    row_figures &f = k.rows[static_cast<std::size_t>(row)];
    ++f.lines;
    ++k.total.lines;
    for (const stored_probe *probe : {&line.bare, &line.www}) {
      count_probe(*probe, &f, &latencies[static_cast<std::size_t>(row)]);
      count_probe(*probe, &k.total, &all);
      k.any_reply = k.any_reply || probe->rcode >= 0;
    }
  }
  for (std::size_t r = 0; r < rows; ++r)
    finish_figures(&k.rows[r], &latencies[r]);
  finish_figures(&k.total, &all);
  // The reserve made room: no reallocation, so readers of earlier passes
  // are not disturbed.
  passes.push_back(std::move(k));
  kept.store(static_cast<int>(passes.size()));
}

const std::string &provider_name(int row) {
  static const std::string total = "total";
  return row == TOTAL_ROW
             ? total
             : results_list->providers[static_cast<std::size_t>(row)];
}

int provider_rows(void) {
  return static_cast<int>(results_list->providers.size());
}

const row_figures &figures_of(const kept_pass *pass, int row) {
  return row == TOTAL_ROW ? pass->total
                          : pass->rows[static_cast<std::size_t>(row)];
}

double total_rate(const kept_pass *pass, int *ok, int *count) {
  *ok = pass->total.ok;
  *count = 2 * static_cast<int>(results_list->lines.size());
  return *count > 0 ? 100.0 * *ok / *count
                    : std::numeric_limits<double>::quiet_NaN();
}

std::string domain_text(std::size_t line, bool *exact) {
  std::string text;
  bool same = utf8_text(written_domain(results_list, line).c_str(), &text);
  if (exact)
    *exact = same;
  return text;
}
