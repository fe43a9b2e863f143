// One nameserver's report, written after every worker of the pass has ended,
// so the table is read without the lock.
#include "run/report.h"

#include "run/console.h"
#include "net/probe.h"
#include "run/domain_list.h"
#include "run/result_table.h"
#include "run/log_block.h"

#include <cstring>

namespace {

// Holds the longest line formatted into it: a rate or total line of at most
// ~80 characters; names never pass through it (they go to the log directly).
enum { REPORT_LINE_SIZE = 256 };

// Rows 8 and 9 have no tag; they never hold slots, but a row is never read
// past the tag table either way.
const char *row_tag(int row) {
  return row < PROVIDER_TAG_COUNT ? provider_tags[row] : "";
}

void put_stdout(const char *line) {
  console_printf("%s", line);
}

} // namespace

void write_report(const char *ns, int lines, std::FILE *log,
                  pass_summary *pass) {
  char line[REPORT_LINE_SIZE];
  pass->ns = ns;
  pass->row_count = 0;

  int total_ok = 0;
  for (int r = 0; r < RESULT_ROWS; ++r) {
    int n = provider_count[r];
    if (n <= 0)
      continue;
    if (n > RESULT_SLOTS)
      n = RESULT_SLOTS;
    const char *tag = row_tag(r);
    if (log)
      std::fprintf(log, "%-20s\n", tag);

    int bare_ok = 0;
    int www_ok = 0;
    for (int i = 0; i < n; ++i) {
      const domain_result &slot = result_table[r][i];
      // A negative answer is a failure like no answer; PROBE_NONE is
      // neither counted nor listed.
      if (slot.bare_status == PROBE_OK)
        ++bare_ok;
      else if (probe_failed(slot.bare_status) && log)
        std::fprintf(log, "%-20c%s\n", ' ', slot.name);
      if (slot.www_status == PROBE_OK)
        ++www_ok;
      else if (probe_failed(slot.www_status) && log)
        std::fprintf(log, "%-20cwww.%s\n", ' ', slot.name);
    }
    total_ok += bare_ok + www_ok;

    int s = bare_ok + www_ok;
    int d = 2 * n;
    double rate = 100.0 * s / d;
    std::memset(line, 0, sizeof line);
    std::snprintf(line, sizeof line, LOG_RATE_LINE, tag, s, d, rate);
    put_stdout(line);
    if (log)
      std::fprintf(log, "%s", line);
    pass->rows[pass->row_count++] = row_summary{tag, s, d, rate};
  }

  double total = 100.0 * total_ok / (2.0 * lines);
  pass->resolved = total_ok;
  pass->probed = 2 * lines;
  pass->rate = total;
  std::memset(line, 0, sizeof line);
  std::snprintf(line, sizeof line, LOG_RULE_AND_TOTAL, ns, total_ok, 2 * lines,
                total);
  put_stdout(line);
  if (log)
    std::fprintf(log, "%s", line);

  std::memset(line, 0, sizeof line);
  std::snprintf(line, sizeof line, "%s", CLOSING_SEPARATOR);
  put_stdout(line);
  if (log) {
    std::fprintf(log, "%s", line);
    std::fflush(log);
  }
}
