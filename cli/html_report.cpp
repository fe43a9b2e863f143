// The page is built as one string and written at once. Every text that
// comes from the list or the command line goes through html_escape.
#include "cli/html_report.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/dns_message.h"
#include "net/probe.h"
#include "version.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Sequential and safe for colour-blind readers (viridis), dark for bad
// rates; the thresholds are the terminal table's (99% and 90%) and finer.
struct rate_band {
  double from; // percent, inclusive
  const char *fill;
  const char *ink;
  const char *label;
};

const rate_band RATE_BANDS[] = {
    {99.0, "#fde725", "#000", "99% and up"},
    {95.0, "#addc30", "#000", "95% to 99%"},
    {90.0, "#5ec962", "#000", "90% to 95%"},
    {80.0, "#21918c", "#fff", "80% to 90%"},
    {50.0, "#3b528b", "#fff", "50% to 80%"},
    {0.0, "#440154", "#fff", "below 50%"},
};

// Failure kinds, in the Okabe-Ito palette.
struct failure_kind {
  const char *fill;
  const char *label;
  const char *column;
};

enum {
  KIND_NEGATIVE,
  KIND_TIMEOUT,
  KIND_SERVFAIL,
  KIND_REFUSED,
  KIND_OTHER_RCODE,
  KIND_TRUNCATED,
  KIND_UNSENT,
  KIND_NETWORK,
  KIND_REDIRECTED,
  KIND_SUSPECT,
  KIND_COUNT,
};

const failure_kind FAILURE_KINDS[KIND_COUNT] = {
    {"#e69f00", "negative answer (no such name, or no record of the type)",
     "negative"},
    {"#56b4e9", "timeout", "timeout"},
    {"#d55e00", "SERVFAIL", "SERVFAIL"},
    {"#0072b2", "REFUSED", "REFUSED"},
    {"#009e73", "another error reply, or one with no answer", "other reply"},
    {"#f0e442", "truncated reply", "truncated"},
    {"#cc79a7", "not sent (no wire form, or no ASCII form)", "not sent"},
    {"#000000", "not sent, no connection, TLS, HTTP or malformed reply",
     "network"},
    {"#882255", "redirected (answered where names that do not exist go)",
     "redirected"},
    {"#44aa99", "suspect (replies to one query that disagree)", "suspect"},
};

void failure_counts(const row_figures &f, int counts[KIND_COUNT]) {
  counts[KIND_NEGATIVE] = f.negative;
  counts[KIND_TIMEOUT] = f.errors[PROBE_ERROR_TIMEOUT];
  counts[KIND_SERVFAIL] = f.failed_rcodes[DNS_RCODE_SERVFAIL];
  counts[KIND_REFUSED] = f.failed_rcodes[DNS_RCODE_REFUSED];
  counts[KIND_OTHER_RCODE] = f.errors[PROBE_ERROR_RCODE] -
                             counts[KIND_SERVFAIL] - counts[KIND_REFUSED] +
                             f.errors[PROBE_ERROR_NOANSWER];
  counts[KIND_TRUNCATED] = f.errors[PROBE_ERROR_TRUNCATED];
  counts[KIND_UNSENT] =
      f.errors[PROBE_ERROR_UNSENDABLE] + f.errors[RUN_ERROR_IDNA];
  counts[KIND_NETWORK] =
      f.errors[PROBE_ERROR_NETWORK] + f.errors[PROBE_ERROR_CONNECT] +
      f.errors[PROBE_ERROR_TLS] + f.errors[PROBE_ERROR_HTTP] +
      f.errors[PROBE_ERROR_FORMAT] + f.errors[PROBE_ERROR_QUIC];
  counts[KIND_REDIRECTED] = f.errors[RUN_ERROR_REDIRECTED];
  counts[KIND_SUSPECT] = f.errors[RUN_ERROR_SUSPECT];
}

enum {
  PLOT_WIDTH = 800,
  PLOT_LEFT = 120, // room for an address
  PLOT_RIGHT = 20,
  PLOT_ROW = 34,
  PLOT_TOP = 10,
  PLOT_AXIS = 30,
};

const char STYLE[] =
    "body{margin:0 auto;max-width:1200px;padding:12px;font:15px/1.45 "
    "system-ui,-apple-system,'Segoe UI','PingFang SC','Hiragino Sans GB',"
    "'Microsoft YaHei','Noto Sans CJK SC','WenQuanYi Micro Hei',sans-serif;"
    "color:#111;background:#fff}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em}"
    "h3{font-size:1em}"
    ".note{padding:8px 12px;border:2px solid #b35806;background:#fee0b6}"
    "dl.facts{display:grid;grid-template-columns:max-content 1fr;"
    "gap:2px 12px}dl.facts dt{font-weight:600}dl.facts dd{margin:0}"
    ".scroll{overflow-x:auto}"
    "table{border-collapse:collapse}th,td{padding:4px 8px;text-align:left;"
    "border:1px solid #ccc;vertical-align:top}"
    "table.heat td{text-align:right;font-variant-numeric:tabular-nums;"
    "min-width:5em}table.heat td.none{background:#eee;color:#555}"
    "tr.total th,tr.total td{border-top:3px solid #111;font-weight:600}"
    "td.num{text-align:right;font-variant-numeric:tabular-nums;"
    "white-space:nowrap}"
    "ul.legend{list-style:none;padding:0;display:flex;flex-wrap:wrap;"
    "gap:4px 16px}ul.legend span{display:inline-block;width:1em;"
    "height:1em;margin-right:4px;vertical-align:-2px;border:1px solid #999}"
    "svg{width:100%;height:auto;max-width:900px;min-width:560px}svg "
    "text{font-size:12px;"
    "fill:#111}"
    "ul.names{margin:0;padding-left:1.2em;min-width:14em}"
    "ul.names span{white-space:nowrap}ul.names small{color:#555}"
    "@media (max-width:600px){body{font-size:14px;padding:8px}"
    "dl.facts{grid-template-columns:1fr}}";

const rate_band &band_of(double rate) {
  for (const rate_band &band : RATE_BANDS) {
    if (rate >= band.from)
      return band;
  }
  return RATE_BANDS[sizeof RATE_BANDS / sizeof RATE_BANDS[0] - 1];
}

const kept_pass &pass_at(const run_results &r, int p) {
  return r.passes[static_cast<std::size_t>(p)];
}

void add_facts(std::string *page, const export_run *run, const run_results &r) {
  const int done = r.done();
  page->append("<dl class=\"facts\"><dt>Site</dt><dd>")
      .append(html_escape(run->site))
      .append("</dd><dt>Started</dt><dd>")
      .append(html_escape(run->started))
      .append("</dd><dt>List</dt><dd>")
      .append(html_escape(run->list_path ? run->list_path : ""))
      .append("</dd>");
  std::vector<bool> used(r.list->providers.size());
  for (const list_line &line : r.list->lines)
    if (line.row >= 0)
      used[static_cast<std::size_t>(line.row)] = true;
  append_printf(
      page,
      "<dt>Lines</dt><dd>%zu counted, %zu probed, %zu providers "
      "(%s rules)</dd>",
      r.list->lines.size(), r.list->probed,
      static_cast<std::size_t>(std::count(used.begin(), used.end(), true)),
      run->rules);
  page->append("<dt>Nameservers</dt><dd>");
  for (int p = 0; p < done; ++p)
    page->append(p ? ", " : "").append(html_escape(pass_at(r, p).result.ns));
  append_printf(page, "%s(%d of %d tested)</dd>", done ? " " : "", done,
                run->passes_planned);
  char rate[48] = "no rate limit";
  if (run->rate > 0)
    std::snprintf(rate, sizeof rate, "at most %g queries a second", run->rate);
  append_printf(page,
                "<dt>Settings</dt><dd>the %s record of every domain and of "
                "www.domain over UDP, %d in flight, %d attempts of %d ms, "
                "%s</dd>",
                run->type, run->concurrency, run->attempts, run->timeout_ms,
                rate);
  // What each nameserver did with names that cannot exist.
  for (int p = 0; p < done; ++p) {
    const nx_result &nx = pass_at(r, p).result.nx;
    const int redirected = pass_at(r, p).total.errors[RUN_ERROR_REDIRECTED];
    if (nx.verdict == NX_NONE)
      continue;
    page->append("<dt>Names that do not exist at ")
        .append(html_escape(pass_at(r, p).result.ns))
        .append("</dt><dd class=\"nx\">");
    if (nx.verdict == NX_HIJACK) {
      append_printf(page, "redirected to %s: %d probe%s judged redirected</dd>",
                    html_escape(joined(nx.addrs, ", ")).c_str(), redirected,
                    redirected == 1 ? "" : "s");
    } else {
      page->append(nx.verdict == NX_CLEAN
                       ? "answered as not existing</dd>"
                       : "unknown: the probes of them failed</dd>");
    }
  }
  append_printf(page,
                "<dt>Duration</dt><dd>%.1f s</dd><dt>Made by</dt><dd>zelkor "
                "%s</dd></dl>\n",
                run->seconds, ZELKOR_VERSION);
}

// A column head for each nameserver, and the table's body begun.
void add_nameserver_columns(std::string *page, const run_results &r) {
  for (int p = 0; p < r.done(); ++p)
    page->append("<th scope=\"col\">")
        .append(html_escape(pass_at(r, p).result.ns))
        .append("</th>");
  page->append("</tr></thead><tbody>\n");
}

// Some nameserver probed a line of the provider's.
bool row_probed(int row, const run_results &r) {
  for (int p = 0; p < r.done(); ++p) {
    if (figures_of(&pass_at(r, p), row).lines > 0)
      return true;
  }
  return false;
}

// Providers × nameservers, each cell the rate as the terminal table has it.
void add_heat_map(std::string *page, const run_results &r) {
  const int done = r.done();
  page->append("<section id=\"rates\"><h2>Success rate by provider and "
               "nameserver</h2><div class=\"scroll\"><table class=\"heat\">"
               "<thead><tr><th scope=\"col\">provider</th>");
  add_nameserver_columns(page, r);
  for (int row = 0; row <= provider_rows(r); ++row) {
    const bool total = row == provider_rows(r);
    const int at = total ? TOTAL_ROW : row;
    if (!total && !row_probed(row, r))
      continue;
    const std::string &tag = provider_name(r, at);
    page->append(total ? "<tr class=\"total\">" : "<tr>")
        .append("<th scope=\"row\">")
        .append(html_escape(tag))
        .append("</th>");
    for (int p = 0; p < done; ++p) {
      double rate = figures_of(&pass_at(r, p), at).rate;
      if (total) {
        int ok, count;
        rate = total_rate(r, &pass_at(r, p), &ok, &count);
      }
      page->append(html_rate_cell(
          rate, " data-ns=\"" + html_escape(pass_at(r, p).result.ns) +
                    "\" data-provider=\"" + html_escape(tag) + "\""));
    }
    page->append("</tr>\n");
  }
  page->append("</tbody></table></div>")
      .append(html_rate_legend())
      .append("<p>The total row is the log's total: resolved names over both "
              "names of every list line, probed or not.</p></section>\n");
}

struct log_axis {
  double low;  // log10 of the axis' first ms
  double high; // and of its last
};

double axis_x(const log_axis &axis, double ms) {
  const double width = PLOT_WIDTH - PLOT_LEFT - PLOT_RIGHT;
  double v = std::log10(ms > 0.0 ? ms : 0.001);
  return PLOT_LEFT + (v - axis.low) / (axis.high - axis.low) * width;
}

std::string decade_text(int exponent) {
  static const char *const TEXTS[] = {"0.001 ms", "0.01 ms", "0.1 ms",
                                      "1 ms",     "10 ms",   "100 ms",
                                      "1 s",      "10 s",    "100 s"};
  int i = exponent + 3;
  return i >= 0 && i < 9 ? TEXTS[i] : "";
}

// One box per nameserver on a logarithmic ms axis: whiskers at the extremes,
// the box from the first to the third quartile, a bar at the median, a
// diamond at the 95th percentile. A table below gives the figures.
// The opening of a plot with a row a nameserver, `extra` pixels under
// the rows (for an axis).
void open_plot(std::string *page, int extra, const char *label,
               const run_results &r) {
  append_printf(page,
                "<div class=\"scroll\"><svg viewBox=\"0 0 %d %d\" role=\"img\" "
                "aria-label=\"%s\">\n",
                PLOT_WIDTH, PLOT_TOP + r.done() * PLOT_ROW + extra, label);
}

// A nameserver's name at the left of its row.
void row_label(std::string *page, int p, const run_results &r) {
  page->append("<text x=\"4\" y=\"")
      .append(std::to_string(PLOT_TOP + p * PLOT_ROW + PLOT_ROW / 2 + 4))
      .append("\">")
      .append(html_escape(pass_at(r, p).result.ns))
      .append("</text>");
}

void add_latency(std::string *page, const run_results &r) {
  page->append("<section id=\"latency\"><h2>Latency of answered "
               "probes</h2>\n");
  const int done = r.done();
  double low = INFINITY, high = -INFINITY;
  for (int p = 0; p < done; ++p) {
    const row_figures &f = pass_at(r, p).total;
    if (f.replied > 0) {
      low = std::fmin(low, f.min_ms);
      high = std::fmax(high, f.max_ms);
    }
  }
  if (!(high >= low)) {
    page->append("<p>No probe got a reply.</p></section>\n");
    return;
  }
  log_axis axis;
  axis.low = std::floor(std::log10(std::fmax(low, 0.001)));
  axis.high = std::ceil(std::log10(std::fmax(high, 0.001)));
  if (axis.high <= axis.low)
    axis.high = axis.low + 1;
  open_plot(page, PLOT_AXIS, "Latency per nameserver, logarithmic axis", r);
  const int bottom = PLOT_TOP + done * PLOT_ROW;
  for (int e = static_cast<int>(axis.low); e <= static_cast<int>(axis.high);
       ++e) {
    double x = axis_x(axis, std::pow(10.0, e));
    append_printf(
        page,
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ccc\"/>"
        "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
        x, PLOT_TOP, x, bottom, x, bottom + 18, decade_text(e).c_str());
  }
  for (int p = 0; p < done; ++p) {
    const row_figures &f = pass_at(r, p).total;
    const int mid = PLOT_TOP + p * PLOT_ROW + PLOT_ROW / 2;
    row_label(page, p, r);
    if (f.replied == 0)
      continue;
    const double x0 = axis_x(axis, f.min_ms), x1 = axis_x(axis, f.q1_ms),
                 xm = axis_x(axis, f.median_ms), x3 = axis_x(axis, f.q3_ms),
                 x4 = axis_x(axis, f.max_ms), x95 = axis_x(axis, f.p95_ms);
    append_printf(
        page,
        "<g><title>median %s, 95th percentile %s</title>"
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#555\"/>"
        "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" "
        "fill=\"#56b4e9\" stroke=\"#555\"/>"
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#000\" "
        "stroke-width=\"3\"/>"
        "<path d=\"M%.1f %dl6 6l-6 6l-6 -6z\" fill=\"#d55e00\"/></g>\n",
        ms_text(f.median_ms).c_str(), ms_text(f.p95_ms).c_str(), x0, mid, x4,
        mid, x1, mid - 9, std::fmax(x3 - x1, 1.0), 18, xm, mid - 11, xm,
        mid + 11, x95, mid - 6);
  }
  page->append("</svg></div>\n<ul class=\"legend\"><li><span "
               "style=\"background:#56b4e9\"></span>first to third quartile, "
               "whiskers to the extremes</li><li><span "
               "style=\"background:#000\"></span>median</li><li><span "
               "style=\"background:#d55e00\"></span>95th percentile</li></ul>"
               "<div class=\"scroll\"><table><thead><tr><th>nameserver</th>"
               "<th>answered</th><th>fastest</th><th>median</th>"
               "<th>95th percentile</th><th>slowest</th></tr></thead><tbody>");
  for (int p = 0; p < done; ++p) {
    const row_figures &f = pass_at(r, p).total;
    page->append("<tr><th scope=\"row\">")
        .append(html_escape(pass_at(r, p).result.ns));
    append_printf(page,
                  "</th><td class=\"num\">%d</td><td class=\"num\">%s</td>"
                  "<td class=\"num\">%s</td><td class=\"num\">%s</td>"
                  "<td class=\"num\">%s</td></tr>",
                  f.replied, ms_text(f.min_ms).c_str(),
                  ms_text(f.median_ms).c_str(), ms_text(f.p95_ms).c_str(),
                  ms_text(f.max_ms).c_str());
  }
  page->append("</tbody></table></div></section>\n");
}

// Stacked bars of each nameserver's failed names, by kind.
void add_failures(std::string *page, const run_results &r) {
  page->append("<section id=\"failures\"><h2>Failures by kind</h2>\n");
  const int done = r.done();
  int most = 0;
  for (int p = 0; p < done; ++p)
    most = std::max(most,
                    pass_at(r, p).total.negative + pass_at(r, p).total.failed);
  if (most == 0) {
    page->append("<p>No probed name failed.</p></section>\n");
    return;
  }
  open_plot(page, 10, "Failures per nameserver by kind", r);
  const double width = PLOT_WIDTH - PLOT_LEFT - PLOT_RIGHT - 60;
  for (int p = 0; p < done; ++p) {
    const row_figures &f = pass_at(r, p).total;
    int counts[KIND_COUNT];
    failure_counts(f, counts);
    const int top = PLOT_TOP + p * PLOT_ROW;
    row_label(page, p, r);
    double x = PLOT_LEFT;
    for (int k = 0; k < KIND_COUNT; ++k) {
      if (counts[k] == 0)
        continue;
      double w = width * counts[k] / most;
      append_printf(page,
                    "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" "
                    "fill=\"%s\"><title>%d: %s</title></rect>",
                    x, top + 6, w, PLOT_ROW - 12, FAILURE_KINDS[k].fill,
                    counts[k], FAILURE_KINDS[k].label);
      x += w;
    }
    append_printf(page, "<text x=\"%.1f\" y=\"%d\">%d</text>\n", x + 6,
                  top + PLOT_ROW / 2 + 4, f.negative + f.failed);
  }
  page->append("</svg></div>\n<ul class=\"legend\">");
  for (const failure_kind &kind : FAILURE_KINDS)
    append_printf(page, "<li><span style=\"background:%s\"></span>%s</li>",
                  kind.fill, kind.label);
  page->append("</ul><div class=\"scroll\"><table><thead><tr>"
               "<th>nameserver</th>");
  for (const failure_kind &kind : FAILURE_KINDS)
    append_printf(page, "<th>%s</th>", kind.column);
  page->append("<th>names probed</th></tr></thead><tbody>");
  for (int p = 0; p < done; ++p) {
    const row_figures &f = pass_at(r, p).total;
    int counts[KIND_COUNT];
    failure_counts(f, counts);
    page->append("<tr><th scope=\"row\">")
        .append(html_escape(pass_at(r, p).result.ns))
        .append("</th>");
    for (int count : counts)
      append_printf(page, "<td class=\"num\">%d</td>", count);
    append_printf(page, "<td class=\"num\">%d</td></tr>", f.probed);
  }
  page->append("</tbody></table></div></section>\n");
}

struct failed_name {
  std::string name;
  std::string cause; // "timeout", "SERVFAIL", "NXDOMAIN", ...
};

// One pass's failed names by row: the first HTML_NAMES_PER_CELL of each, and
// how many more there were.
struct failed_cells {
  std::vector<std::vector<failed_name>> names;
  std::vector<int> rest;
};

// Why a probe failed, in the words of the JSON: the response code when the
// nameserver answered with one, else the error.
std::string failure_cause(const stored_probe &probe) {
  if (probe.outcome == PROBE_NEGATIVE ||
      (probe.error == PROBE_ERROR_RCODE && probe.rcode >= 0))
    return probe.rcode == 0 ? std::string("NODATA") // NOERROR, no data
                            : rcode_name(probe.rcode);
  return error_name(probe.error);
}

// A name that breaks only after its dots: each label (with its dot) kept
// whole, a break allowed between them.
std::string name_html(const std::string &name) {
  std::string html;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    const std::size_t end = dot == std::string::npos ? name.size() : dot + 1;
    if (start > 0)
      html += "<wbr>";
    html += "<span>" + html_escape(name.substr(start, end - start)) + "</span>";
    start = end;
  }
  return html;
}

// The names of one stability among a pass's probes: the first
// HTML_NAMES_PER_CELL, then how many more.
std::string names_of_stability(const pass_result &pass, int stability,
                               const run_results &r) {
  std::string html;
  std::size_t shown = 0, more = 0;
  const std::vector<list_line> &lines = r.list->lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (bool www : {false, true}) {
      if (lines[i].row < 0 || stability_of(pass, i, www) != stability)
        continue;
      if (shown++ >= HTML_NAMES_PER_CELL) {
        ++more;
        continue;
      }
      const std::string name = (www ? "www." : "") + domain_text(r, i);
      html.append(html.empty() ? "" : ", ").append(name_html(name));
    }
  }
  if (more > 0)
    append_printf(&html, " and %zu more", more);
  return html.empty() ? "none" : html;
}

// With rounds: each nameserver's median of the first asks (cold) beside
// the later ones' (warm), and the names that failed in some rounds (flaky)
// apart from those that failed in all (down).
void add_rounds(std::string *page, const run_results &r) {
  const int done = r.done();
  if (done == 0 || pass_at(r, 0).result.rounds.empty())
    return;
  page->append("<section id=\"rounds\"><h2>Cold and warm asks</h2>\n"
               "<p>The first ask of each name is cold, most likely a cache "
               "miss at the nameserver; the later rounds' are warm.</p>\n");
  double most = 0;
  for (int p = 0; p < done; ++p) {
    const row_figures &t = pass_at(r, p).total;
    for (double ms : {t.cold_median_ms, t.warm_median_ms})
      most = std::isnan(ms) ? most : std::max(most, ms);
  }
  open_plot(page, 10, "Median latency, cold and warm, per nameserver", r);
  const double width = PLOT_WIDTH - PLOT_LEFT - PLOT_RIGHT - 80;
  for (int p = 0; p < done; ++p) {
    const row_figures &t = pass_at(r, p).total;
    const int top = PLOT_TOP + p * PLOT_ROW;
    row_label(page, p, r);
    const double values[2] = {t.cold_median_ms, t.warm_median_ms};
    for (int k = 0; k < 2; ++k) {
      const double ms = values[k];
      const double w = std::isnan(ms) || most <= 0 ? 0 : width * ms / most;
      const int y = top + 4 + k * (PLOT_ROW - 8) / 2;
      append_printf(page,
                    "<rect class=\"%s\" x=\"%d\" y=\"%d\" width=\"%.1f\" "
                    "height=\"%d\" fill=\"%s\"><title>%s: %s</title></rect>"
                    "<text x=\"%.1f\" y=\"%d\">%s %s</text>\n",
                    k ? "warm" : "cold", PLOT_LEFT, y, w,
                    (PLOT_ROW - 8) / 2 - 1, k ? "#56b4e9" : "#0072b2",
                    k ? "warm" : "cold", ms_text(ms).c_str(), PLOT_LEFT + w + 4,
                    y + (PLOT_ROW - 8) / 2 - 3, k ? "warm" : "cold",
                    ms_text(ms).c_str());
    }
  }
  page->append("</svg></div>\n<div class=\"scroll\"><table id=\"stability\">"
               "<thead><tr><th>nameserver</th><th>flaky (failed in some "
               "rounds)</th><th>down (failed in every round)</th></tr>"
               "</thead><tbody>");
  for (int p = 0; p < done; ++p) {
    const pass_result &pass = pass_at(r, p).result;
    page->append("<tr><th scope=\"row\">")
        .append(html_escape(pass.ns))
        .append("</th><td class=\"flaky\">")
        .append(names_of_stability(pass, STABILITY_FLAKY, r))
        .append("</td><td class=\"down\">")
        .append(names_of_stability(pass, STABILITY_DOWN, r))
        .append("</td></tr>");
  }
  page->append("</tbody></table></div></section>\n");
}

// A suspect probe's replies, in the order they came: " (198.51.100.66,
// then 192.0.2.1)"; nothing for another probe.
std::string replies_text(const pass_result &pass, std::size_t number) {
  auto race = pass.races.find(number);
  if (race == pass.races.end())
    return "";
  std::string text;
  for (const kept_reply &reply : race->second) {
    const std::string answers = joined(reply.answers.answers, " ");
    text += (text.empty() ? " (" : ", then ") +
            (answers.empty() ? std::string("no answer") : answers);
  }
  return text + ")";
}

void collect_failed(const kept_pass &pass, failed_cells *cells,
                    const run_results &r) {
  const std::size_t rows = r.list->providers.size();
  cells->names.assign(rows, {});
  cells->rest.assign(rows, 0);
  for (std::size_t i = 0; i < r.list->lines.size(); ++i) {
    const int row = r.list->lines[i].row;
    if (row < 0)
      continue;
    const line_probes &line = pass.result.lines[i];
    for (int www = 0; www < 2; ++www) {
      // As the log lists them.
      const stored_probe &probe = www ? line.www : line.bare;
      if (!probe_failed(probe.outcome))
        continue;
      std::vector<failed_name> &names =
          cells->names[static_cast<std::size_t>(row)];
      if (names.size() == HTML_NAMES_PER_CELL)
        ++cells->rest[static_cast<std::size_t>(row)];
      else
        names.push_back(
            failed_name{(www ? "www." : "") + domain_text(r, i),
                        failure_cause(probe) +
                            replies_text(pass.result, probe_number(i, www))});
    }
  }
}

void add_failed_names(std::string *page, const run_results &r) {
  page->append("<section id=\"failed\"><h2>Failed names</h2>\n");
  const int done = r.done();
  std::vector<failed_cells> cells(static_cast<std::size_t>(done));
  for (int p = 0; p < done; ++p)
    collect_failed(pass_at(r, p), &cells[static_cast<std::size_t>(p)], r);
  bool any = false;
  for (int row = 0; row < provider_rows(r); ++row) {
    const std::size_t at = static_cast<std::size_t>(row);
    bool has_failure = false;
    for (const failed_cells &c : cells)
      has_failure = has_failure || !c.names[at].empty();
    if (!has_failure)
      continue;
    any = true;
    page->append("<h3>")
        .append(html_escape(provider_name(r, row)))
        .append("</h3><div class=\"scroll\"><table><thead><tr>");
    for (int p = 0; p < done; ++p)
      page->append("<th>")
          .append(html_escape(pass_at(r, p).result.ns))
          .append("</th>");
    page->append("</tr></thead><tbody><tr>");
    for (const failed_cells &c : cells) {
      page->append("<td>");
      if (c.names[at].empty())
        page->append("none");
      else
        page->append("<ul class=\"names\">");
      for (const failed_name &name : c.names[at])
        page->append("<li>")
            .append(name_html(name.name))
            .append(" <small>")
            .append(html_escape(name.cause))
            .append("</small></li>");
      if (!c.names[at].empty())
        page->append("</ul>");
      if (c.rest[at])
        append_printf(page,
                      "<p>and %d more (all of them are in the JSON and "
                      "CSV)</p>",
                      c.rest[at]);
      page->append("</td>");
    }
    page->append("</tr></tbody></table></div>\n");
  }
  if (!any)
    page->append("<p>None.</p>");
  page->append("</section>\n");
}

// Where the checked failures lie, per provider and nameserver, and the
// authoritative servers that failed.
void add_authority(std::string *page, const run_results &r) {
  if (!r.checks)
    return;
  const int done = r.done();
  page->append("<section id=\"authority\"><h2>Where the failures lie</h2>"
               "<p>Failed and negative probes checked against the "
               "authoritative servers of their names: <b>resolver</b>, the "
               "servers are fine; <b>authority</b>, none is; "
               "<b>partial</b>, some are; <b>confirmed</b>, they too say the "
               "name does not exist.</p><div class=\"scroll\"><table><thead>"
               "<tr><th scope=\"col\">provider</th>");
  add_nameserver_columns(page, r);
  for (int row = 0; row < provider_rows(r); ++row) {
    if (!row_probed(row, r))
      continue;
    page->append("<tr><th scope=\"row\">")
        .append(html_escape(provider_name(r, row)))
        .append("</th>");
    for (int p = 0; p < done; ++p) {
      const int *v = figures_of(&pass_at(r, p), row).verdicts;
      std::string cell;
      for (int k = VERDICT_RESOLVER; k <= VERDICT_NOT_CHECKED; ++k) {
        if (v[k] == 0)
          continue;
        if (!cell.empty())
          cell += ", ";
        cell += std::to_string(v[k]) + " " +
                (k == VERDICT_NOT_CHECKED ? "not checked" : verdict_name(k));
      }
      page->append("<td>").append(cell.empty() ? "-" : cell).append("</td>");
    }
    page->append("</tr>\n");
  }
  page->append("</tbody></table></div>");
  const std::vector<auth_tally> failing = authority_failing(r.checks);
  if (!failing.empty()) {
    page->append("<h3>Authoritative servers that failed</h3><div "
                 "class=\"scroll\"><table><thead><tr><th>address</th>"
                 "<th>name</th><th>zone</th><th>failures</th><th>queries</th>"
                 "<th>last</th></tr></thead><tbody>\n");
    for (const auth_tally &t : failing)
      append_printf(page,
                    "<tr><td>%s</td><td>%s</td><td>%s</td><td>%d</td>"
                    "<td>%d</td><td>%s</td></tr>\n",
                    html_escape(t.address).c_str(), html_escape(t.name).c_str(),
                    html_escape(t.zone).c_str(), t.failures, t.queries,
                    auth_outcome_name(t.last_outcome));
    page->append("</tbody></table></div>");
  }
  page->append("</section>\n");
}

} // namespace

std::string html_escape(const std::string &text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
    case '&':
      escaped += "&amp;";
      break;
    case '<':
      escaped += "&lt;";
      break;
    case '>':
      escaped += "&gt;";
      break;
    case '"':
      escaped += "&quot;";
      break;
    case '\'':
      escaped += "&#39;";
      break;
    default:
      escaped += c;
    }
  }
  return escaped;
}

std::string html_page_start(const char *title) {
  return std::string("<!DOCTYPE html>\n<html lang=\"en\"><head><meta "
                     "charset=\"utf-8\"><meta name=\"viewport\" "
                     "content=\"width=device-width, initial-scale=1\">"
                     "<title>Zelkor: ") +
         title + "</title><style>" + STYLE + "</style></head>\n<body><h1>" +
         title + "</h1>\n";
}

std::string html_rate_cell(double rate, const std::string &attributes) {
  std::string cell = "<td" + attributes;
  if (std::isnan(rate))
    return cell + " class=\"none\">-</td>";
  const rate_band &band = band_of(rate);
  append_printf(&cell, " style=\"background:%s;color:%s\">", band.fill,
                band.ink);
  return cell + rate_text(rate) + "</td>";
}

std::string html_rate_legend(void) {
  std::string legend = "<ul class=\"legend\">";
  for (const rate_band &band : RATE_BANDS)
    append_printf(&legend, "<li><span style=\"background:%s\"></span>%s</li>",
                  band.fill, band.label);
  return legend + "<li><span style=\"background:#eee\"></span>no line of "
                  "this provider</li></ul>";
}

void write_html(std::FILE *out, const export_run *run, const run_results &r) {
  std::string page = html_page_start("DNS resolution report");
  if (!run_complete(run, r))
    append_printf(&page,
                  "<p class=\"note\" id=\"state\">%s: %d of %d nameservers "
                  "tested so far.</p>\n",
                  run->stopped ? "This run was stopped"
                               : "This run is in progress",
                  r.done(), run->passes_planned);
  add_facts(&page, run, r);
  add_heat_map(&page, r);
  add_latency(&page, r);
  add_rounds(&page, r);
  add_failures(&page, r);
  add_authority(&page, r);
  add_failed_names(&page, r);
  page.append("</body></html>\n");
  std::fwrite(page.data(), 1, page.size(), out);
}
