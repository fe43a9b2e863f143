// zelkor compare: what changed between two runs of one list, nameserver
// by nameserver, with an exit status a timer or a CI job can act on.
#include "cli/export.h"
#include "cli/output_file.h"
#include "cli/runs_report.h"
#include "cli/text.h"

#include <getopt.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

typedef nlohmann::ordered_json json;

enum {
  EXIT_NEWLY_FAILING = 1,
  EXIT_TROUBLE = 2,
};

// What changed at one nameserver.
struct change {
  std::size_t before, now;                           // columns
  std::vector<std::size_t> newly_failing, recovered; // names
};

struct comparison {
  run_set set;
  std::vector<change> changes;
  int newly_failing = 0;
  int started_redirecting = 0;
};

bool answered(const run_cell &cell) {
  return cell.state == CELL_OK || cell.state == CELL_NEGATIVE;
}

// The nameservers of the new run, each against the old run's column of
// the same address; names asked in both runs alone are compared.
void compare(comparison *c) {
  const run_set &set = c->set;
  for (std::size_t now = 0; now < set.columns.size(); ++now) {
    if (set.columns[now].run != 1)
      continue;
    std::size_t before = 0;
    while (before < set.columns.size() &&
           (set.columns[before].run != 0 ||
            set.columns[before].nameserver != set.columns[now].nameserver))
      ++before;
    if (before == set.columns.size())
      continue; // not tested then
    change ch{before, now, {}, {}};
    for (std::size_t n = 0; n < set.names.size(); ++n) {
      const run_cell &then = cell_at(set.columns[before], n);
      const run_cell &today = cell_at(set.columns[now], n);
      if (answered(then) && today.state == CELL_FAILED)
        ch.newly_failing.push_back(n);
      else if (then.state == CELL_FAILED && answered(today))
        ch.recovered.push_back(n);
    }
    c->newly_failing += static_cast<int>(ch.newly_failing.size());
    if (set.columns[now].nx == "hijack" && set.columns[before].nx != "hijack")
      ++c->started_redirecting;
    c->changes.push_back(ch);
  }
}

std::string percent_text(double rate) {
  if (std::isnan(rate))
    return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", rate);
  return text;
}

void print(const comparison &c) {
  const run_set &set = c.set;
  for (const change &ch : c.changes) {
    const run_column &before = set.columns[ch.before];
    const run_column &now = set.columns[ch.now];
    std::printf("%s\n", terminal_utf8(now.nameserver).c_str());
    for (const std::string &provider : set.providers)
      std::printf("  %-16s %9s -> %s\n", terminal_utf8(provider).c_str(),
                  percent_text(rate_of_provider(before, provider)).c_str(),
                  percent_text(rate_of_provider(now, provider)).c_str());
    std::printf("  %-16s %9s -> %s\n", "total",
                percent_text(before.rate).c_str(),
                percent_text(now.rate).c_str());
    if (!ch.newly_failing.empty())
      std::printf("  newly failing: %zu\n", ch.newly_failing.size());
    for (std::size_t n : ch.newly_failing)
      std::printf("    %s (%s): %s\n", terminal_utf8(set.names[n].name).c_str(),
                  terminal_utf8(set.names[n].provider).c_str(),
                  terminal_utf8(failure_words(set, cell_at(now, n))).c_str());
    if (!ch.recovered.empty())
      std::printf("  resolving again: %zu\n", ch.recovered.size());
    for (std::size_t n : ch.recovered)
      std::printf("    %s (%s)\n", terminal_utf8(set.names[n].name).c_str(),
                  terminal_utf8(set.names[n].provider).c_str());
    const bool hijack_then = before.nx == "hijack";
    const bool hijack_now = now.nx == "hijack";
    if (hijack_now != hijack_then)
      std::printf("  %s redirecting names that do not exist\n",
                  hijack_now ? "started" : "stopped");
  }
}

json run_json(const run_info &run) {
  return json{{"file", run.file},
              {"site", run.site},
              {"started", run.started},
              {"complete", run.complete}};
}

void write_json(std::FILE *out, const void *context) {
  const comparison &c = *static_cast<const comparison *>(context);
  const run_set &set = c.set;
  const auto rate = [](double r) {
    return std::isnan(r) ? json(nullptr) : json(r / 100.0);
  };
  json nameservers = json::array();
  for (const change &ch : c.changes) {
    const run_column &before = set.columns[ch.before];
    const run_column &now = set.columns[ch.now];
    json ns;
    ns["nameserver"] = now.nameserver;
    json rates = json::array();
    for (const std::string &provider : set.providers)
      rates.push_back({{"provider", provider},
                       {"then", rate(rate_of_provider(before, provider))},
                       {"now", rate(rate_of_provider(now, provider))}});
    rates.push_back({{"provider", "total"},
                     {"then", rate(before.rate)},
                     {"now", rate(now.rate)}});
    ns["rates"] = rates;
    json failing = json::array();
    for (std::size_t n : ch.newly_failing) {
      const run_cell &cell = cell_at(now, n);
      failing.push_back(
          {{"name", set.names[n].name},
           {"provider", set.names[n].provider},
           {"cause", set.words[cell.cause]},
           {"verdict",
            cell.verdict ? json(set.words[cell.verdict]) : json(nullptr)}});
    }
    ns["newly_failing"] = failing;
    json recovered = json::array();
    for (std::size_t n : ch.recovered)
      recovered.push_back(
          {{"name", set.names[n].name}, {"provider", set.names[n].provider}});
    ns["resolving_again"] = recovered;
    ns["nx_then"] = before.nx;
    ns["nx_now"] = now.nx;
    nameservers.push_back(ns);
  }
  json j;
  j["then"] = run_json(set.runs[0]);
  j["now"] = run_json(set.runs[1]);
  j["newly_failing"] = c.newly_failing;
  j["started_redirecting"] = c.started_redirecting;
  j["nameservers"] = nameservers;
  const std::string text =
      j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), out);
}

const char COMPARE_USAGE[] =
    "Usage: zelkor compare [--json FILE] OLD.json NEW.json\n"
    "What changed between two runs of one list. Exit status: 0 when nothing\n"
    "newly fails, 1 when a name newly fails or a nameserver starts\n"
    "redirecting names that do not exist, 2 for bad input.\n";

} // namespace

int compare_main(int argc, char **argv) {
  static const option OPTIONS[] = {{"json", required_argument, nullptr, 'J'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const char *json_path = nullptr;
  opterr = 0;
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+h", OPTIONS, nullptr)) != -1) {
    if (c == 'h') {
      std::fputs(COMPARE_USAGE, stdout);
      return 0;
    }
    if (c != 'J')
      return runs_trouble(std::string("compare: option '") + argv[optind - 1] +
                          "' is unknown or needs a value\n" + COMPARE_USAGE);
    json_path = optarg;
  }
  if (argc - optind != 2)
    return runs_trouble(std::string("compare: two runs, the old one first\n") +
                        COMPARE_USAGE);
  std::string reason;
  if (json_path && check_output_path(json_path, OUTPUT_REPLACED, &reason) != 0)
    return runs_trouble(std::string("--json ") + json_path + ": " + reason);
  comparison cmp;
  if (read_runs(optind, argc, argv, &cmp.set) != 0)
    return EXIT_TROUBLE;
  compare(&cmp);
  print(cmp);
  if (json_path && replace_file(json_path, write_json, &cmp) != 0)
    return runs_trouble(std::string("cannot write ") + json_path + ": " +
                        std::strerror(errno));
  if (std::fflush(stdout) != 0)
    return EXIT_TROUBLE;
  return cmp.newly_failing > 0 || cmp.started_redirecting > 0
             ? EXIT_NEWLY_FAILING
             : 0;
}
