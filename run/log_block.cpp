// The log's formats and the engine run's block, which lists names in list
// order (the classic workers list them in the order they took slots).
#include "run/log_block.h"

#include "net/probe.h"
#include "run/run_list.h"
#include "run/run_passes.h"

#include <vector>

const char LOG_HEADER[] = "该文件记录每次检查dns的成功率，以及查询失败的域名";
const char LOG_RATE_LINE[] = "%-20s%d/%d, %3.4f%%\r\n";
const char LOG_RULE_AND_TOTAL[] =
    "----------------------------------\n%-20s total: %d/%d, %3.4f%%\r\n";
const char CLOSING_SEPARATOR[] =
    "==================================================\r\n\r\n\r\n";

void write_log_block(std::FILE *log, const char *ns, const run_list *list,
                     const pass_result *pass) {
  const std::size_t rows = list->providers.size();
  // Per row: its lines, in list order, and the names resolved.
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
    std::fprintf(log, "%-20s\n", tag);
    int ok = 0;
    for (std::size_t i : members[r]) {
      const line_probes &probes = pass->lines[i];
      const char *domain = written_domain(list, i).c_str();
      if (probes.bare.outcome == PROBE_OK)
        ++ok;
      else if (probe_failed(probes.bare.outcome))
        std::fprintf(log, "%-20c%s\n", ' ', domain);
      if (probes.www.outcome == PROBE_OK)
        ++ok;
      else if (probe_failed(probes.www.outcome))
        std::fprintf(log, "%-20cwww.%s\n", ' ', domain);
    }
    total_ok += ok;
    const int names = 2 * static_cast<int>(members[r].size());
    std::fprintf(log, LOG_RATE_LINE, tag, ok, names, 100.0 * ok / names);
  }
  const int lines = static_cast<int>(list->lines.size());
  std::fprintf(log, LOG_RULE_AND_TOTAL, ns, total_ok, 2 * lines,
               100.0 * total_ok / (2.0 * lines));
  std::fprintf(log, "%s", CLOSING_SEPARATOR);
  std::fflush(log);
}
