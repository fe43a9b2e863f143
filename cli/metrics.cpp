// Every family is written whole, its HELP and TYPE first, as the format
// requires; a provider without a probed line has no samples.
#include "cli/metrics.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"

#include <cmath>

namespace {

void family(std::string *text, const char *name, const char *type,
            const char *help) {
  append_printf(text, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A sample's value: the format spells a missing figure NaN.
std::string value(double v) {
  if (std::isnan(v))
    return "NaN";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

// {nameserver="...",provider="..."}, without the closing brace.
std::string labels(const run_results &r, const kept_pass &pass, int row) {
  return "{nameserver=\"" + metric_label(pass.result.ns) + "\",provider=\"" +
         metric_label(provider_name(r, row)) + "\"";
}

// The rows of a pass that probed at least one line.
template <typename F> void each_row(const run_results &r, F f) {
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    for (int row = 0; row < provider_rows(r); ++row) {
      const row_figures &figures = figures_of(&pass, row);
      if (figures.lines > 0)
        f(pass, row, figures);
    }
  }
}

// A gauge of every nameserver and provider.
void row_gauge(std::string *text, const run_results &r, const char *name,
               const char *help, double (*of)(const row_figures &)) {
  family(text, name, "gauge", help);
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    append_printf(text, "%s%s} %s\n", name, labels(r, pass, row).c_str(),
                  value(of(f)).c_str());
  });
}

// With rounds: the cold and warm medians (in seconds, as every latency
// here: Prometheus' base unit), and the flaky and down probes.
void write_round_metrics(std::string *text, const run_results &r) {
  if (r.done() == 0 || r.passes[0].result.rounds.empty())
    return;
  row_gauge(text, r, "zelkor_latency_cold_seconds",
            "Median latency of the first asks of the names (round 1).",
            [](const row_figures &f) { return f.cold_median_ms / 1000.0; });
  row_gauge(text, r, "zelkor_latency_warm_seconds",
            "Median latency of the later asks of the names (rounds 2 to N).",
            [](const row_figures &f) { return f.warm_median_ms / 1000.0; });
  row_gauge(text, r, "zelkor_flaky_probes",
            "Names that failed in some rounds and not in others.",
            [](const row_figures &f) { return static_cast<double>(f.flaky); });
  row_gauge(text, r, "zelkor_down_probes", "Names that failed in every round.",
            [](const row_figures &f) { return static_cast<double>(f.down); });
}

} // namespace

std::string metric_label(const std::string &value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"')
      escaped += '\\';
    if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

namespace {

// What the probes came to: outcomes and causes, and where the checks
// place the failures.
void write_outcome_metrics(std::string *text, const run_results &r) {
  family(text, "zelkor_probes_total", "counter",
         "Names probed in this run, by nameserver, provider and outcome.");
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    const std::string l = labels(r, pass, row);
    append_printf(text, "zelkor_probes_total%s,outcome=\"ok\"} %d\n", l.c_str(),
                  f.ok);
    append_printf(text, "zelkor_probes_total%s,outcome=\"negative\"} %d\n",
                  l.c_str(), f.negative);
    append_printf(text, "zelkor_probes_total%s,outcome=\"failed\"} %d\n",
                  l.c_str(), f.failed);
  });
  family(text, "zelkor_failures_total", "counter",
         "Failed names of this run, by nameserver, provider and cause, as "
         "the JSON's errors name them.");
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    const std::string l = labels(r, pass, row);
    for (int e = PROBE_ERROR_TIMEOUT; e < ERROR_KINDS; ++e)
      append_printf(text, "zelkor_failures_total%s,cause=\"%s\"} %d\n",
                    l.c_str(), error_name(e), f.errors[e]);
  });
}

// The checks: verdicts, and each authoritative server's queries and
// failures.
void write_authority_metrics(std::string *text, const run_results &r) {
  if (!r.checks)
    return;
  family(text, "zelkor_checked_failures_total", "counter",
         "Checked probes of this run, by nameserver, provider and where "
         "the authoritative servers place the failure.");
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    const std::string l = labels(r, pass, row);
    for (int v = VERDICT_RESOLVER; v <= VERDICT_UNVERIFIABLE; ++v)
      append_printf(text,
                    "zelkor_checked_failures_total%s,verdict=\"%s\"} %d\n",
                    l.c_str(), verdict_name(v), f.verdicts[v]);
  });
  const std::vector<auth_tally> tallies = authority_tallies(r.checks);
  family(text, "zelkor_authority_queries_total", "counter",
         "Queries this run sent to each authoritative server address.");
  for (const auth_tally &t : tallies)
    append_printf(text, "zelkor_authority_queries_total{server=\"%s\"} %d\n",
                  metric_label(t.address).c_str(), t.queries);
  family(text, "zelkor_authority_failures_total", "counter",
         "Checks in which an authoritative server address did not answer "
         "as it should (no answer or negative answer with AA).");
  for (const auth_tally &t : tallies)
    append_printf(text, "zelkor_authority_failures_total{server=\"%s\"} %d\n",
                  metric_label(t.address).c_str(), t.failures);
}

// Rates and latencies, by row and by nameserver.
void write_rate_metrics(std::string *text, const run_results &r) {
  family(text, "zelkor_success_ratio", "gauge",
         "Share of the probed names that resolved, 0 to 1.");
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    append_printf(text, "zelkor_success_ratio%s} %s\n",
                  labels(r, pass, row).c_str(), value(f.rate / 100.0).c_str());
  });
  family(text, "zelkor_latency_seconds", "summary",
         "Latency of the probes that got a reply.");
  each_row(r, [&](const kept_pass &pass, int row, const row_figures &f) {
    const std::string l = labels(r, pass, row);
    // Quantiles of no reply are NaN, as the format allows.
    append_printf(text, "zelkor_latency_seconds%s,quantile=\"0.5\"} %s\n",
                  l.c_str(), value(f.median_ms / 1000.0).c_str());
    append_printf(text, "zelkor_latency_seconds%s,quantile=\"0.95\"} %s\n",
                  l.c_str(), value(f.p95_ms / 1000.0).c_str());
    append_printf(text, "zelkor_latency_seconds_sum%s} %s\n", l.c_str(),
                  value(f.sum_ms / 1000.0).c_str());
    append_printf(text, "zelkor_latency_seconds_count%s} %d\n", l.c_str(),
                  f.replied);
  });
  write_round_metrics(text, r);
  family(text, "zelkor_nameserver_success_ratio", "gauge",
         "The log's total: resolved names over both names of every list "
         "line, 0 to 1.");
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    int ok, count;
    double rate = total_rate(r, &pass, &ok, &count);
    append_printf(
        text, "zelkor_nameserver_success_ratio{nameserver=\"%s\"} %s\n",
        metric_label(pass.result.ns).c_str(), value(rate / 100.0).c_str());
  }
  family(text, "zelkor_nx_hijack", "gauge",
         "1 when the nameserver answered names that cannot exist with "
         "addresses, else 0.");
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    if (pass.result.nx.verdict != NX_NONE)
      append_printf(text, "zelkor_nx_hijack{nameserver=\"%s\"} %d\n",
                    metric_label(pass.result.ns).c_str(),
                    pass.result.nx.verdict == NX_HIJACK ? 1 : 0);
  }
}

// The run itself: when, how long, how far, and the list.
void write_run_metrics(std::string *text, const export_run *run,
                       const run_results &r) {
  family(text, "zelkor_run_start_time_seconds", "gauge",
         "When the run started, in seconds since 1970.");
  append_printf(text, "zelkor_run_start_time_seconds %.3f\n",
                run->started_unix);
  family(text, "zelkor_run_duration_seconds", "gauge",
         "How long the run has taken so far.");
  append_printf(text, "zelkor_run_duration_seconds %.3f\n", run->seconds);
  family(text, "zelkor_run_complete", "gauge",
         "1 when every nameserver was tested, 0 while the run goes on or "
         "after a stop.");
  append_printf(text, "zelkor_run_complete %d\n", run_complete(run, r) ? 1 : 0);
  // Only a complete run has ended: an alert on runs that stopped happening
  // looks for this one.
  if (run_complete(run, r)) {
    family(text, "zelkor_run_completed_time_seconds", "gauge",
           "When the run completed, in seconds since 1970.");
    append_printf(text, "zelkor_run_completed_time_seconds %.3f\n",
                  run->started_unix + run->seconds);
  }
  family(text, "zelkor_run_nameservers", "gauge",
         "Nameservers of the run: planned, and tested so far.");
  append_printf(text, "zelkor_run_nameservers{state=\"planned\"} %d\n",
                run->passes_planned);
  append_printf(text, "zelkor_run_nameservers{state=\"tested\"} %d\n",
                r.done());
  family(text, "zelkor_list_lines", "gauge",
         "Lines of the list: kept, and probed (with a known provider).");
  append_printf(text, "zelkor_list_lines{state=\"kept\"} %zu\n",
                r.list->lines.size());
  append_printf(text, "zelkor_list_lines{state=\"probed\"} %zu\n",
                r.list->probed);
}

} // namespace

void write_metrics(std::FILE *out, const export_run *run,
                   const run_results &r) {
  std::string text;
  write_outcome_metrics(&text, r);
  write_authority_metrics(&text, r);
  write_rate_metrics(&text, r);
  write_run_metrics(&text, run, r);
  std::fwrite(text.data(), 1, text.size(), out);
}
