// zelkor report: runs of several sites or times in one table, CSV, JSON
// or HTML page.
#include "cli/runs_report.h"

#include "cli/export.h"
#include "cli/html_report.h"
#include "cli/names.h"
#include "cli/output_file.h"
#include "cli/text.h"

#include <getopt.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

namespace {

typedef nlohmann::ordered_json json;

enum {
  EXIT_TROUBLE = 2,
  // Failed names the table and the page show; the JSON keeps all.
  SHOWN_FAILED_NAMES = 1000,
  TABLE_FAILED_NAMES = 50,
  CELL_WIDTH = 18,
};

struct report_job {
  run_set set;
  std::vector<std::size_t> order;
  std::vector<failed_name> failed;
};

const run_info &run_of(const run_set &set, std::size_t column) {
  return set.runs[set.columns[column].run];
}

// Milliseconds in a column of figures; `none` for no figure.
std::string ms_number(double ms, const char *none = "-") {
  if (std::isnan(ms))
    return none;
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

json number_or_null(double value) {
  return std::isnan(value) ? json(nullptr) : json(value);
}

// A row of the table: its label, then a cell a column (the last one not
// padded).
template <typename F>
void print_row(const report_job &job, const std::string &label, F cell) {
  std::printf("%-16s", terminal_utf8(label).c_str());
  for (std::size_t i = 0; i < job.order.size(); ++i)
    std::printf("  %-*s", i + 1 < job.order.size() ? CELL_WIDTH : 0,
                cell(job.order[i]).c_str());
  std::printf("\n");
}

void print_table(const report_job &job) {
  const run_set &set = job.set;
  print_row(job, "provider", [&](std::size_t c) {
    return terminal_utf8(set.columns[c].nameserver);
  });
  print_row(job, "",
            [&](std::size_t c) { return terminal_utf8(run_of(set, c).site); });
  for (const std::string &provider : set.providers)
    print_row(job, provider, [&](std::size_t c) {
      return rate_text(rate_of_provider(set.columns[c], provider));
    });
  print_row(job, "total",
            [&](std::size_t c) { return rate_text(set.columns[c].rate); });
  std::printf("\nlatency, ms: median, p95 (cold, warm)\n");
  for (std::size_t c : job.order) {
    const run_column &column = set.columns[c];
    std::printf("  %s at %s: %s, %s", terminal_utf8(column.nameserver).c_str(),
                terminal_utf8(run_of(set, c).site).c_str(),
                ms_number(column.median_ms).c_str(),
                ms_number(column.p95_ms).c_str());
    if (!std::isnan(column.cold_median_ms))
      std::printf(" (%s, %s)", ms_number(column.cold_median_ms).c_str(),
                  ms_number(column.warm_median_ms).c_str());
    std::printf("\n");
  }
  for (const run_info &run : set.runs) {
    if (!run.complete)
      std::printf("%s (%s) is an incomplete run\n",
                  terminal_utf8(run.file).c_str(),
                  terminal_utf8(run.site).c_str());
  }
  if (job.failed.empty())
    return;
  std::printf("\nfailed names: %zu\n", job.failed.size());
  std::size_t shown = 0;
  for (const failed_name &f : job.failed) {
    if (++shown > TABLE_FAILED_NAMES) {
      std::printf("  and %zu more\n", job.failed.size() - TABLE_FAILED_NAMES);
      break;
    }
    const run_name &n = set.names[f.name];
    std::printf("  %s (%s), %s:", terminal_utf8(n.name).c_str(),
                terminal_utf8(n.provider).c_str(), scope_name(f.scope));
    for (std::size_t c : f.failed)
      std::printf(
          " %s via %s (%s);", terminal_utf8(run_of(set, c).site).c_str(),
          terminal_utf8(set.columns[c].nameserver).c_str(),
          terminal_utf8(failure_words(set, cell_at(set.columns[c], f.name)))
              .c_str());
    std::printf("\n");
  }
}

// Each column's figures of each provider it probed, in the report's
// order: f(column, provider, figures).
template <typename F> void each_rate(const report_job &job, F f) {
  for (std::size_t c : job.order) {
    const run_column &column = job.set.columns[c];
    for (const std::string &provider : job.set.providers) {
      auto found = column.providers.find(provider);
      if (found != column.providers.end())
        f(c, provider, found->second);
    }
  }
}

void write_csv(std::FILE *out, const void *context) {
  const report_job &job = *static_cast<const report_job *>(context);
  const run_set &set = job.set;
  std::fputs("site,nameserver,provider,probes,ok,rate,median_ms,p95_ms\r\n",
             out);
  each_rate(job, [&](std::size_t c, const std::string &provider,
                     const provider_rate &p) {
    std::fprintf(out, "%s,%s,%s,%d,%d,%.6g,%s,%s\r\n",
                 csv_field(run_of(set, c).site).c_str(),
                 csv_field(set.columns[c].nameserver).c_str(),
                 csv_field(provider).c_str(), p.probed, p.ok, p.rate / 100.0,
                 ms_number(p.median_ms, "").c_str(),
                 ms_number(p.p95_ms, "").c_str());
  });
}

json where(const run_set &set, std::size_t c) {
  json w;
  w["site"] = run_of(set, c).site;
  w["nameserver"] = set.columns[c].nameserver;
  return w;
}

void write_json(std::FILE *out, const void *context) {
  const report_job &job = *static_cast<const report_job *>(context);
  const run_set &set = job.set;
  json j;
  json runs = json::array();
  for (const run_info &run : set.runs)
    runs.push_back({{"file", run.file},
                    {"site", run.site},
                    {"started", run.started},
                    {"list", run.list},
                    {"complete", run.complete}});
  j["runs"] = runs;
  json rates = json::array();
  each_rate(job, [&](std::size_t c, const std::string &provider,
                     const provider_rate &p) {
    json row = where(set, c);
    row["provider"] = provider;
    row["probes"] = p.probed;
    row["ok"] = p.ok;
    row["rate"] = number_or_null(p.rate / 100.0);
    row["median_ms"] = number_or_null(p.median_ms);
    row["p95_ms"] = number_or_null(p.p95_ms);
    rates.push_back(row);
  });
  json latency = json::array();
  for (std::size_t c : job.order) {
    const run_column &column = set.columns[c];
    json l = where(set, c);
    l["total_rate"] = number_or_null(column.rate / 100.0);
    l["median_ms"] = number_or_null(column.median_ms);
    l["p95_ms"] = number_or_null(column.p95_ms);
    l["cold_median_ms"] = number_or_null(column.cold_median_ms);
    l["warm_median_ms"] = number_or_null(column.warm_median_ms);
    latency.push_back(l);
  }
  j["rates"] = rates;
  j["latency"] = latency;
  json names = json::array();
  for (const failed_name &f : job.failed) {
    json n;
    n["name"] = set.names[f.name].name;
    n["provider"] = set.names[f.name].provider;
    n["scope"] = scope_name(f.scope);
    json failed = json::array();
    for (std::size_t c : f.failed) {
      const run_cell &cell = cell_at(set.columns[c], f.name);
      json w = where(set, c);
      w["cause"] = set.words[cell.cause];
      w["verdict"] = cell.verdict ? json(set.words[cell.verdict]) : json();
      failed.push_back(w);
    }
    n["failed"] = failed;
    json missing = json::array();
    for (std::size_t c : f.missing)
      missing.push_back(where(set, c));
    n["not_asked"] = missing;
    names.push_back(n);
  }
  j["failed_names"] = names;
  const std::string text =
      j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), out);
}

void add_runs(std::string *page, const run_set &set) {
  page->append("<section id=\"runs\"><h2>Runs</h2><div class=\"scroll\">"
               "<table><thead><tr><th>site</th><th>started</th><th>list</th>"
               "<th>file</th></tr></thead><tbody>");
  for (const run_info &run : set.runs) {
    page->append("<tr><td>")
        .append(html_escape(run.site))
        .append("</td><td>")
        .append(html_escape(run.started))
        .append(run.complete ? "" : " <strong>(incomplete)</strong>")
        .append("</td><td>")
        .append(html_escape(run.list))
        .append("</td><td>")
        .append(html_escape(run.file))
        .append("</td></tr>\n");
  }
  page->append("</tbody></table></div></section>\n");
}

void add_rates(std::string *page, const report_job &job) {
  const run_set &set = job.set;
  page->append("<section id=\"rates\"><h2>Success rate by provider, "
               "nameserver and site</h2><div class=\"scroll\"><table "
               "class=\"heat\"><thead><tr><th scope=\"col\">nameserver</th>");
  for (std::size_t c : job.order)
    page->append("<th scope=\"col\">")
        .append(html_escape(set.columns[c].nameserver))
        .append("</th>");
  page->append("</tr><tr><th scope=\"col\">site</th>");
  for (std::size_t c : job.order)
    page->append("<th scope=\"col\">")
        .append(html_escape(run_of(set, c).site))
        .append("</th>");
  page->append("</tr></thead><tbody>");
  const auto row = [&](const std::string &label, bool total) {
    page->append(total ? "<tr class=\"total\">" : "<tr>")
        .append("<th scope=\"row\">")
        .append(html_escape(label))
        .append("</th>");
    for (std::size_t c : job.order) {
      const run_column &column = set.columns[c];
      page->append(html_rate_cell(
          total ? column.rate : rate_of_provider(column, label),
          " data-site=\"" + html_escape(run_of(set, c).site) + "\" data-ns=\"" +
              html_escape(column.nameserver) + "\" data-provider=\"" +
              html_escape(label) + "\""));
    }
    page->append("</tr>\n");
  };
  for (const std::string &provider : set.providers)
    row(provider, false);
  row("total", true);
  page->append("</tbody></table></div>")
      .append(html_rate_legend())
      .append("</section>\n");
}

void add_latency(std::string *page, const report_job &job) {
  const run_set &set = job.set;
  page->append("<section id=\"latency\"><h2>Latency</h2><div "
               "class=\"scroll\"><table><thead><tr><th>nameserver</th>"
               "<th>site</th><th>median</th><th>95th percentile</th>"
               "<th>cold</th><th>warm</th></tr></thead><tbody>");
  for (std::size_t c : job.order) {
    const run_column &column = set.columns[c];
    page->append("<tr><td>")
        .append(html_escape(column.nameserver))
        .append("</td><td>")
        .append(html_escape(run_of(set, c).site))
        .append("</td>");
    for (double ms : {column.median_ms, column.p95_ms, column.cold_median_ms,
                      column.warm_median_ms})
      page->append("<td class=\"num\">").append(ms_text(ms)).append("</td>");
    page->append("</tr>\n");
  }
  page->append("</tbody></table></div></section>\n");
}

void add_failed(std::string *page, const report_job &job) {
  const run_set &set = job.set;
  append_printf(page,
                "<section id=\"failed\"><h2>Failed names (%zu)</h2><div "
                "class=\"scroll\"><table><thead><tr><th>name</th>"
                "<th>provider</th><th>where it lies</th><th>failed at</th>"
                "<th>not asked at</th></tr></thead><tbody>",
                job.failed.size());
  std::size_t shown = 0;
  for (const failed_name &f : job.failed) {
    if (++shown > SHOWN_FAILED_NAMES)
      break;
    const run_name &n = set.names[f.name];
    page->append("<tr data-name=\"")
        .append(html_escape(n.name))
        .append("\" data-scope=\"")
        .append(scope_name(f.scope))
        .append("\"><td>")
        .append(html_escape(n.name))
        .append("</td><td>")
        .append(html_escape(n.provider))
        .append("</td><td>")
        .append(f.scope == SCOPE_PROVIDER ? "the provider's servers"
                : f.scope == SCOPE_SITE   ? "that site's path or resolver"
                                          : "some nameservers")
        .append("</td><td><ul class=\"names\">");
    for (std::size_t c : f.failed)
      page->append("<li>")
          .append(html_escape(
              run_of(set, c).site + " via " + set.columns[c].nameserver + ": " +
              failure_words(set, cell_at(set.columns[c], f.name))))
          .append("</li>");
    page->append("</ul></td><td>");
    for (std::size_t c : f.missing)
      page->append(html_escape(run_of(set, c).site + " via " +
                               set.columns[c].nameserver))
          .append(" ");
    page->append("</td></tr>\n");
  }
  page->append("</tbody></table></div>");
  if (job.failed.size() > SHOWN_FAILED_NAMES)
    append_printf(page, "<p>and %zu more (all of them are in the JSON)</p>",
                  job.failed.size() - SHOWN_FAILED_NAMES);
  page->append("</section>\n");
}

void write_html(std::FILE *out, const void *context) {
  const report_job &job = *static_cast<const report_job *>(context);
  std::string page = html_page_start("DNS resolution across sites and runs");
  add_runs(&page, job.set);
  add_rates(&page, job);
  add_latency(&page, job);
  add_failed(&page, job);
  page.append("</body></html>\n");
  std::fwrite(page.data(), 1, page.size(), out);
}

const char REPORT_USAGE[] =
    "Usage: zelkor report [--html FILE] [--json FILE] [--csv FILE] "
    "RUN.json...\n"
    "One report of runs' JSON files (from several sites, or several times at "
    "one):\nthe table on standard output, or the files asked for.\n";

} // namespace

int runs_trouble(const std::string &text) {
  std::fprintf(stderr, "zelkor: %s\n", text.c_str());
  return EXIT_TROUBLE;
}

int read_runs(int first, int argc, char **argv, run_set *set) {
  for (int i = first; i < argc; ++i) {
    std::string why;
    if (read_run(argv[i], set, &why) != 0)
      return runs_trouble(std::string(argv[i]) + ": " + why);
  }
  return 0;
}

const char *scope_name(int scope) {
  return scope == SCOPE_PROVIDER ? "provider"
         : scope == SCOPE_SITE   ? "site"
                                 : "some";
}

std::vector<std::size_t> report_order(const run_set &set) {
  std::vector<std::size_t> order(set.columns.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  // By the nameserver's first appearance, then by run: stable.
  std::vector<std::string> seen;
  for (const run_column &c : set.columns)
    if (std::find(seen.begin(), seen.end(), c.nameserver) == seen.end())
      seen.push_back(c.nameserver);
  const auto rank = [&](std::size_t c) {
    return std::find(seen.begin(), seen.end(), set.columns[c].nameserver) -
           seen.begin();
  };
  std::stable_sort(
      order.begin(), order.end(),
      [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });
  return order;
}

std::vector<failed_name> failed_names(const run_set &set) {
  std::vector<failed_name> names;
  for (std::size_t n = 0; n < set.names.size(); ++n) {
    failed_name f{n, {}, {}, SCOPE_SOME};
    std::set<std::size_t> asked_sites, failed_sites;
    std::size_t asked = 0;
    for (std::size_t c = 0; c < set.columns.size(); ++c) {
      const run_cell &cell = cell_at(set.columns[c], n);
      const std::size_t run = set.columns[c].run;
      if (cell.state == CELL_NOT_ASKED) {
        f.missing.push_back(c);
        continue;
      }
      ++asked;
      asked_sites.insert(run);
      if (cell.state == CELL_FAILED) {
        f.failed.push_back(c);
        failed_sites.insert(run);
      }
    }
    if (f.failed.empty())
      continue;
    // Sites by name: two runs at one site are one place.
    std::set<std::string> asked_at, failed_at;
    for (std::size_t run : asked_sites)
      asked_at.insert(set.runs[run].site);
    for (std::size_t run : failed_sites)
      failed_at.insert(set.runs[run].site);
    if (f.failed.size() == asked)
      f.scope = SCOPE_PROVIDER;
    else if (failed_at.size() == 1 && asked_at.size() > 1)
      f.scope = SCOPE_SITE;
    names.push_back(f);
  }
  return names;
}

int report_main(int argc, char **argv) {
  static const option OPTIONS[] = {{"html", required_argument, nullptr, 'H'},
                                   {"json", required_argument, nullptr, 'J'},
                                   {"csv", required_argument, nullptr, 'C'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const char *html = nullptr, *json_path = nullptr, *csv = nullptr;
  opterr = 0;
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+h", OPTIONS, nullptr)) != -1) {
    if (c == 'h') {
      std::fputs(REPORT_USAGE, stdout);
      return 0;
    }
    if (c == '?' || c == ':')
      return runs_trouble(std::string("report: option '") + argv[optind - 1] +
                          "' is unknown or needs a value\n" + REPORT_USAGE);
    (c == 'H' ? html : c == 'J' ? json_path : csv) = optarg;
  }
  if (optind >= argc)
    return runs_trouble(std::string("report: which runs? ") + REPORT_USAGE);
  const std::pair<const char *, const char *> outputs[] = {
      {"--html", html}, {"--json", json_path}, {"--csv", csv}};
  for (const auto &o : outputs) {
    std::string reason;
    if (o.second && check_output_path(o.second, OUTPUT_REPLACED, &reason) != 0)
      return runs_trouble(std::string(o.first) + " " + o.second + ": " +
                          reason);
  }
  report_job job;
  if (read_runs(optind, argc, argv, &job.set) != 0)
    return EXIT_TROUBLE;
  job.order = report_order(job.set);
  job.failed = failed_names(job.set);
  void (*const writers[])(std::FILE *, const void *) = {write_html, write_json,
                                                        write_csv};
  bool any = false;
  for (std::size_t k = 0; k < 3; ++k) {
    if (!outputs[k].second)
      continue;
    any = true;
    if (replace_file(outputs[k].second, writers[k], &job) != 0)
      return runs_trouble(std::string("cannot write ") + outputs[k].second +
                          ": " + std::strerror(errno));
  }
  if (!any)
    print_table(job);
  return std::fflush(stdout) == 0 ? 0 : EXIT_TROUBLE;
}
