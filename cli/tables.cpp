// The end-of-run tables on standard output (or beside an export on it).
#include "cli/tables.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/probe.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

enum {
  LINE_SIZE = 256,
  LABEL_WIDTH = 12,
  CELL_WIDTH = 17, // "100.0%" and " 1234.5 ms"
  CELL_GAP = 2,
};

// Green from 99%, yellow from 90%, red below.
const char *rate_colour(double rate) {
  if (!(rate >= 90.0))
    return "\033[31m";
  return rate >= 99.0 ? "\033[32m" : "\033[33m";
}

// "  100.0%    0.05 ms": the gap, then the cell; colour around the rate
// alone, so that the columns line up either way.
void print_cell(std::FILE *out, double rate, double ms, bool colour) {
  std::fprintf(out, "%*s", CELL_GAP, "");
  char rate_text[16];
  if (std::isnan(rate))
    std::snprintf(rate_text, sizeof rate_text, "%6s", "-");
  else
    std::snprintf(rate_text, sizeof rate_text, "%5.1f%%", rate);
  if (colour && !std::isnan(rate))
    std::fprintf(out, "%s%s\033[0m", rate_colour(rate), rate_text);
  else
    std::fputs(rate_text, out);
  std::fprintf(out, " %10s", ms_text(ms).c_str());
}

// A name for a table cell, as the terminal shows it, and its width.
struct cell_name {
  std::string text; // escaped and cut, still UTF-8
  int columns;
};

cell_name cell_of(const std::string &bytes, int limit) {
  cell_name c;
  c.text = escaped_utf8(bytes, limit);
  c.columns = text_columns(c.text);
  return c;
}

// Every kept nameserver's name whole, and *width widened to the longest
// and a blank.
std::vector<cell_name> nameserver_cells(const run_results &r, int *width) {
  std::vector<cell_name> names;
  for (int p = 0; p < r.done(); ++p) {
    names.push_back(
        cell_of(r.passes[static_cast<std::size_t>(p)].result.ns, 0));
    *width = std::max(*width, names.back().columns + 1);
  }
  return names;
}

// The name, then blanks up to `width` columns.
void put_padded(std::FILE *out, const cell_name &name, int width) {
  std::fputs(terminal_utf8(name.text).c_str(), out);
  std::fprintf(out, "%*s", std::max(0, width - name.columns), "");
}

// The columns: a label as wide as the widest tag, and one column a
// nameserver, as wide as its cells or its name, whichever is wider (the
// last one is not padded).
struct table_layout {
  std::vector<cell_name> labels;
  int label_width;
  std::vector<cell_name> heads;
  std::vector<int> pad;
};

table_layout layout_of(std::FILE *out, const run_results &r) {
  table_layout t;
  const int done_passes = r.done();
  // A name wider than the screen is cut; files keep it whole. On a
  // terminal a tag leaves room for the first column beside it.
  const int limit = name_columns(fileno(out));
  const int label_limit =
      isatty(fileno(out))
          ? std::max<int>(LABEL_WIDTH, limit - CELL_GAP - CELL_WIDTH - 2)
          : limit;
  t.label_width = LABEL_WIDTH;
  for (int row = 0; row < provider_rows(r); ++row) {
    t.labels.push_back(cell_of(provider_name(r, row), label_limit));
    t.label_width = std::max(t.label_width, t.labels.back().columns + 2);
  }
  t.pad.assign(static_cast<std::size_t>(done_passes), 0);
  for (int p = 0; p < done_passes; ++p) {
    t.heads.push_back(
        cell_of(r.passes[static_cast<std::size_t>(p)].result.ns, limit));
    if (p + 1 < done_passes)
      t.pad[static_cast<std::size_t>(p)] =
          std::max(0, t.heads.back().columns - CELL_WIDTH);
  }
  return t;
}

void end_cell(std::FILE *out, const table_layout &t, int p) {
  std::fprintf(out, "%*s", t.pad[static_cast<std::size_t>(p)], "");
}

// The head, a row a provider the list names, and the total row.
void print_rates(std::FILE *out, bool colour, const run_results &r,
                 const table_layout &t) {
  const int done_passes = r.done();
  std::fprintf(out, "%-*s", t.label_width, "provider");
  for (int p = 0; p < done_passes; ++p) {
    std::fprintf(out, "%*s", CELL_GAP, "");
    put_padded(out, t.heads[static_cast<std::size_t>(p)],
               p + 1 < done_passes ? CELL_WIDTH : 0);
  }
  std::fputc('\n', out);
  for (int row = 0; row < provider_rows(r); ++row) {
    bool any = false;
    for (int p = 0; p < done_passes && !any; ++p)
      any = figures_of(&r.passes[static_cast<std::size_t>(p)], row).lines > 0;
    // Providers the list does not name would only be dashes.
    if (!any)
      continue;
    put_padded(out, t.labels[static_cast<std::size_t>(row)], t.label_width);
    for (int p = 0; p < done_passes; ++p) {
      const row_figures &f =
          figures_of(&r.passes[static_cast<std::size_t>(p)], row);
      print_cell(out, f.rate, f.median_ms, colour);
      end_cell(out, t, p);
    }
    std::fputc('\n', out);
  }
  std::fprintf(out, "%-*s", t.label_width, "total");
  for (int p = 0; p < done_passes; ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    int ok, count;
    print_cell(out, total_rate(r, &pass, &ok, &count), pass.total.median_ms,
               colour);
    end_cell(out, t, p);
  }
  std::fputc('\n', out);
}

// A row of medians alone, one under each nameserver.
void print_medians(std::FILE *out, const run_results &r, const table_layout &t,
                   const char *label, double (*ms_of)(const kept_pass &)) {
  std::fprintf(out, "%-*s", t.label_width, label);
  for (int p = 0; p < r.done(); ++p) {
    const std::string ms =
        ms_text(ms_of(r.passes[static_cast<std::size_t>(p)]));
    std::fprintf(out, "%*s%6s %10s", CELL_GAP, "", "", ms.c_str());
    end_cell(out, t, p);
  }
  std::fputc('\n', out);
}

// Each nameserver's total as the window's pane words it, the names whole
// and the figures in line after the longest.
void print_pane_totals(std::FILE *out, const run_results &r) {
  int name_width = 16;
  const std::vector<cell_name> names = nameserver_cells(r, &name_width);
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    int ok, count;
    double rate = total_rate(r, &pass, &ok, &count);
    char figures[LINE_SIZE];
    std::snprintf(figures, sizeof figures, "成功率: %3.4f%% (%d/%d)", rate, ok,
                  count);
    std::fputs("DNS ", out);
    put_padded(out, names[static_cast<std::size_t>(p)], name_width);
    std::fprintf(out, "%s\n", terminal_text(figures).c_str());
  }
  // Those totals are the log's, over every list line; the progress and the
  // provider rows count the probed names alone.
  const std::size_t counted = r.list->lines.size();
  const std::size_t unprobed = counted - r.list->probed;
  if (unprobed > 0)
    std::fprintf(out,
                 "The totals count all %zu list lines; %zu had no known "
                 "provider and were not probed.\n",
                 counted, unprobed);
}

} // namespace

void print_table(std::FILE *out, bool colour, const run_results &r) {
  if (r.done() == 0)
    return;
  const table_layout t = layout_of(out, r);
  print_rates(out, colour, r, t);
  // The median connection set-up (TCP, TLS, HTTP/2) under each nameserver
  // that has connections.
  bool streams = false;
  for (int p = 0; p < r.done(); ++p)
    streams =
        streams ||
        !r.passes[static_cast<std::size_t>(p)].result.stream.setup_us.empty();
  if (streams)
    print_medians(out, r, t, "setup", [](const kept_pass &k) {
      return setup_ms(k.result.stream.setup_us, 50.0);
    });
  // With rounds, the median of the first asks (cold) and of the later ones
  // (warm).
  if (!r.passes[0].result.rounds.empty()) {
    print_medians(out, r, t, "cold",
                  [](const kept_pass &k) { return k.total.cold_median_ms; });
    print_medians(out, r, t, "warm",
                  [](const kept_pass &k) { return k.total.warm_median_ms; });
  }
  std::fputc('\n', out);
  print_pane_totals(out, r);
}

namespace {

enum {
  // Answered names of each kind, cold and warm, before a cache is judged.
  NO_CACHE_SAMPLES = 20,
};
// Warm asks within 20 % of the cold ones' median: no cache serves them.
const double NO_CACHE_RATIO = 0.8;

bool serves_nothing_warm(const row_figures &total) {
  return total.warm_replied >= NO_CACHE_SAMPLES &&
         total.replied - total.warm_replied >= NO_CACHE_SAMPLES &&
         total.warm_median_ms >= NO_CACHE_RATIO * total.cold_median_ms;
}

} // namespace

void print_redirects(std::FILE *out, const run_results &r) {
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &kept = r.passes[static_cast<std::size_t>(p)];
    const pass_result &pass = kept.result;
    const int races = static_cast<int>(pass.races.size());
    if (races > 0)
      std::fprintf(out,
                   "%s gave %d probe%s replies that disagree (suspect: a "
                   "reply may be forged)\n",
                   shown_text(pass.ns).c_str(), races, races == 1 ? "" : "s");
    const int bogons = static_cast<int>(pass.bogons.size());
    if (bogons > 0)
      std::fprintf(out,
                   "%s answered %d probe%s with a private address where the "
                   "name's servers give public ones (suspect: bogon)\n",
                   shown_text(pass.ns).c_str(), bogons, bogons == 1 ? "" : "s");
    if (serves_nothing_warm(kept.total))
      std::fprintf(out,
                   "%s answered the second asks as slowly as the first: no "
                   "cache seems to serve them\n",
                   shown_text(pass.ns).c_str());
    if (pass.nx.verdict != NX_HIJACK)
      continue;
    const int redirected = kept.total.errors[RUN_ERROR_REDIRECTED];
    std::fprintf(out,
                 "%s redirects names that do not exist to %s (%d probe%s "
                 "redirected)\n",
                 shown_text(pass.ns).c_str(),
                 shown_text(joined(pass.nx.addrs, ", ")).c_str(), redirected,
                 redirected == 1 ? "" : "s");
  }
}

void print_authority(std::FILE *out, const run_results &r) {
  const int done_passes = r.done();
  if (!r.checks || done_passes == 0)
    return;
  bool any = false;
  for (int p = 0; p < done_passes; ++p) {
    const int *v = r.passes[static_cast<std::size_t>(p)].total.verdicts;
    for (int k = VERDICT_RESOLVER; k <= VERDICT_NOT_CHECKED; ++k)
      any = any || v[k] > 0;
  }
  if (!any)
    return;
  std::fputs("\nWhere the failures lie (checked against the authoritative "
             "servers):\n",
             out);
  // The names whole, the figures in line after the longest.
  int name_width = 0;
  const std::vector<cell_name> names = nameserver_cells(r, &name_width);
  for (int p = 0; p < done_passes; ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    const int *v = pass.total.verdicts;
    std::fputs("  ", out);
    put_padded(out, names[static_cast<std::size_t>(p)], name_width);
    std::string line = std::to_string(v[VERDICT_RESOLVER]) +
                       " with the nameserver, " +
                       std::to_string(v[VERDICT_AUTHORITY]) +
                       " with the providers' servers, " +
                       std::to_string(v[VERDICT_PARTIAL]) + " partly";
    if (v[VERDICT_CONFIRMED] > 0)
      line += ", " + std::to_string(v[VERDICT_CONFIRMED]) + " confirmed";
    if (v[VERDICT_UNVERIFIABLE] > 0)
      line += ", " + std::to_string(v[VERDICT_UNVERIFIABLE]) + " unverifiable";
    if (v[VERDICT_NOT_CHECKED] > 0)
      line += ", " + std::to_string(v[VERDICT_NOT_CHECKED]) + " not checked";
    std::fprintf(out, "%s\n", line.c_str());
  }
  const std::vector<auth_tally> failing = authority_failing(r.checks);
  if (failing.empty())
    return;
  std::fputs("Authoritative servers that failed:\n", out);
  for (const auth_tally &t : failing)
    std::fprintf(out, "  %s %s (%s): %d failure%s, %s\n",
                 shown_text(t.address).c_str(), shown_text(t.name).c_str(),
                 shown_text(t.zone).c_str(), t.failures,
                 t.failures == 1 ? "" : "s", auth_outcome_name(t.last_outcome));
}
