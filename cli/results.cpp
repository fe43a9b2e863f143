// The passes kept, and their figures: one scan of a pass makes every row's.
#include "cli/results.h"

#include "cli/text.h"
#include "net/probe.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// One ask: round 1's record, or a later round's.
template <typename P>
void count_ask(const P &probe, row_figures *out,
               std::vector<std::int32_t> *latencies) {
  ++out->probed;
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
  if (probe.reply_us >= 0) {
    latencies->push_back(probe.reply_us);
    out->sum_ms += probe.reply_us / 1000.0;
  }
}

// A probe over every round: each ask, its check once, and how it went.
struct latency_samples {
  std::vector<std::int32_t> all, cold, warm;
};

void count_probe(const pass_result &pass, std::size_t line, bool www,
                 row_figures *out, latency_samples *samples) {
  const stored_probe &first = probe_at(pass, line, www);
  count_ask(first, out, &samples->all);
  if (first.verdict < VERDICT_KINDS)
    ++out->verdicts[first.verdict];
  if (pass.rounds.empty())
    return;
  if (first.reply_us >= 0)
    samples->cold.push_back(first.reply_us);
  for (const std::vector<round_probe> &round : pass.rounds) {
    const round_probe &later = round[probe_number(line, www)];
    count_ask(later, out, &samples->all);
    if (later.reply_us >= 0)
      samples->warm.push_back(later.reply_us);
  }
  const int stability = stability_of(pass, line, www);
  out->flaky += stability == STABILITY_FLAKY;
  out->down += stability == STABILITY_DOWN;
}

double median_ms(std::vector<std::int32_t> *sorted_or_not) {
  std::vector<std::int32_t> &v = *sorted_or_not;
  if (v.empty())
    return std::numeric_limits<double>::quiet_NaN();
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  // The middle value, or the mean of the two middle ones.
  return (v[(n - 1) / 2] + v[n / 2]) / 2000.0;
}

// Nearest rank: the smallest value with at least `percent` of the values at
// or below it.
double rank_ms(const std::vector<std::int32_t> &sorted, double percent) {
  const int n = static_cast<int>(sorted.size());
  int rank = static_cast<int>(std::ceil(percent / 100.0 * n));
  rank = std::max(1, std::min(n, rank));
  return sorted[static_cast<std::size_t>(rank - 1)] / 1000.0;
}

void finish_figures(row_figures *out, latency_samples *samples) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::int32_t> *latencies = &samples->all;
  out->rate = out->probed > 0 ? 100.0 * out->ok / out->probed : nan;
  out->replied = static_cast<int>(latencies->size());
  out->cold_median_ms = median_ms(&samples->cold);
  out->warm_median_ms = median_ms(&samples->warm);
  out->warm_replied = static_cast<int>(samples->warm.size());
  out->median_ms = out->p95_ms = nan;
  out->min_ms = out->q1_ms = out->q3_ms = out->max_ms = nan;
  if (latencies->empty())
    return;
  out->median_ms = median_ms(latencies);
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

void prepare_results(run_results *results, const run_list *list,
                     authority *checks, std::size_t passes_planned) {
  results->list = list;
  results->checks = checks;
  results->passes.clear();
  results->passes.reserve(passes_planned);
  results->kept.store(0);
}

void keep_pass(run_results *results, pass_result *pass) {
  const run_results &r = *results;
  kept_pass k;
  k.result = std::move(*pass);
  const std::size_t rows = r.list->providers.size();
  k.rows.assign(rows, row_figures{});
  k.total = row_figures{};
  k.any_reply = false;
  std::vector<latency_samples> latencies(rows);
  latency_samples all;
  for (std::size_t i = 0; i < r.list->lines.size(); ++i) {
    const int row = r.list->lines[i].row;
    if (row < 0)
      continue;
    const line_probes &line = k.result.lines[i];
    row_figures &f = k.rows[static_cast<std::size_t>(row)];
    ++f.lines;
    ++k.total.lines;
    for (bool www : {false, true}) {
      count_probe(k.result, i, www, &f,
                  &latencies[static_cast<std::size_t>(row)]);
      count_probe(k.result, i, www, &k.total, &all);
      k.any_reply =
          k.any_reply || (www ? line.www.rcode : line.bare.rcode) >= 0;
    }
  }
  for (std::size_t row = 0; row < rows; ++row)
    finish_figures(&k.rows[row], &latencies[row]);
  finish_figures(&k.total, &all);
  // The reserve made room: no reallocation, so readers of earlier passes
  // are not disturbed.
  results->passes.push_back(std::move(k));
  results->kept.store(static_cast<int>(results->passes.size()));
}

const std::string &provider_name(const run_results &r, int row) {
  static const std::string total = "total";
  return row == TOTAL_ROW ? total
                          : r.list->providers[static_cast<std::size_t>(row)];
}

int provider_rows(const run_results &r) {
  return static_cast<int>(r.list->providers.size());
}

const row_figures &figures_of(const kept_pass *pass, int row) {
  return row == TOTAL_ROW ? pass->total
                          : pass->rows[static_cast<std::size_t>(row)];
}

int rounds_of(const pass_result &pass) {
  return 1 + static_cast<int>(pass.rounds.size());
}

int stability_of(const pass_result &pass, std::size_t line, bool www) {
  if (pass.rounds.empty())
    return STABILITY_NONE;
  const stored_probe &first = probe_at(pass, line, www);
  bool same = true;
  bool all_failed = first.outcome == PROBE_FAILED;
  for (const std::vector<round_probe> &round : pass.rounds) {
    const int outcome = round[probe_number(line, www)].outcome;
    same = same && outcome == first.outcome;
    all_failed = all_failed && outcome == PROBE_FAILED;
  }
  return all_failed ? STABILITY_DOWN
         : same     ? STABILITY_STABLE
                    : STABILITY_FLAKY;
}

const char *stability_name(int stability) {
  switch (stability) {
  case STABILITY_STABLE:
    return "stable";
  case STABILITY_FLAKY:
    return "flaky";
  case STABILITY_DOWN:
    return "down";
  }
  return "";
}

double total_rate(const run_results &r, const kept_pass *pass, int *ok,
                  int *count) {
  *ok = pass->total.ok;
  *count = 2 * static_cast<int>(r.list->lines.size()) * rounds_of(pass->result);
  return *count > 0 ? 100.0 * *ok / *count
                    : std::numeric_limits<double>::quiet_NaN();
}

std::string domain_text(const run_results &r, std::size_t line, bool *exact) {
  std::string text;
  bool same = utf8_text(written_domain(r.list, line).c_str(), &text);
  if (exact)
    *exact = same;
  return text;
}
