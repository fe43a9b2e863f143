// The log's formats and its one block writer, for the Windows program's
// report and the terminal program's runs.
#include "run/log_block.h"

#include "net/probe.h"
#include "run/run_list.h"
#include "run/run_passes.h"

#include <cstdarg>
#include <string>
#include <vector>

const char LOG_HEADER[] = "该文件记录每次检查dns的成功率，以及查询失败的域名";

namespace {

const char LOG_RATE_LINE[] = "%-20s%d/%d, %3.4f%%\r\n";
const char LOG_RULE_AND_TOTAL[] =
    "----------------------------------\n%-20s total: %d/%d, %3.4f%%\r\n";
const char CLOSING_SEPARATOR[] =
    "==================================================\r\n\r\n\r\n";

// printf's text whole, however long the tag (the terminal program's lists
// have tags of any length).
std::string formatted(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0)
    std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

void put(std::FILE *log, void (*echo)(const char *line),
         const std::string &line) {
  if (echo)
    echo(line.c_str());
  if (log)
    std::fputs(line.c_str(), log);
}

} // namespace

void log_row_tag(std::FILE *log, const char *tag) {
  if (log)
    std::fprintf(log, "%-20s\n", tag);
}

void log_failed_name(std::FILE *log, const char *name, bool www) {
  if (log)
    std::fprintf(log, "%-20c%s%s\n", ' ', www ? "www." : "", name);
}

void log_row_rate(std::FILE *log, void (*echo)(const char *line),
                  const char *tag, int ok, int names) {
  put(log, echo, formatted(LOG_RATE_LINE, tag, ok, names, 100.0 * ok / names));
}

void log_block_end(std::FILE *log, void (*echo)(const char *line),
                   const char *ns, int total_ok, int lines) {
  put(log, echo,
      formatted(LOG_RULE_AND_TOTAL, ns, total_ok, 2 * lines,
                100.0 * total_ok / (2.0 * lines)));
  put(log, echo, CLOSING_SEPARATOR);
  if (log)
    std::fflush(log);
}

void write_log_block(std::FILE *log, const char *ns, const run_list *list,
                     const pass_result *pass) {
  const std::size_t rows = list->providers.size();
  // Per row: its lines, in list order.
  std::vector<std::vector<std::size_t>> members(rows);
  for (std::size_t i = 0; i < list->lines.size(); i++) {
    const int row = list->lines[i].row;
    if (row >= 0 && static_cast<std::size_t>(row) < rows)
      members[static_cast<std::size_t>(row)].push_back(i);
  }
  int total_ok = 0;
  for (std::size_t r = 0; r < rows; r++) {
    if (members[r].empty())
      continue;
    const char *tag = list->providers[r].c_str();
    log_row_tag(log, tag);
    int ok = 0;
    for (std::size_t i : members[r]) {
      const line_probes &probes = pass->lines[i];
      const char *domain = written_domain(list, i).c_str();
      if (probes.bare.outcome == PROBE_OK)
        ++ok;
      else if (probe_failed(probes.bare.outcome))
        log_failed_name(log, domain, false);
      if (probes.www.outcome == PROBE_OK)
        ++ok;
      else if (probe_failed(probes.www.outcome))
        log_failed_name(log, domain, true);
    }
    total_ok += ok;
    log_row_rate(log, nullptr, tag, ok,
                 2 * static_cast<int>(members[r].size()));
  }
  log_block_end(log, nullptr, ns, total_ok,
                static_cast<int>(list->lines.size()));
}
