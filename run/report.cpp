// One nameserver's report, written after every worker of the pass has ended,
// so the table is read without the lock.
#include "run/report.h"

#include "run/console.h"
#include "net/probe.h"
#include "run/domain_list.h"
#include "run/result_table.h"
#include "run/log_block.h"

namespace {

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
    log_row_tag(log, tag);
    // Failed names in slot order, the order the workers finished them.
    int ok = 0;
    for (int i = 0; i < n; ++i) {
      const domain_result &slot = result_table[r][i];
      // A negative answer is a failure like no answer; PROBE_NONE is
      // neither counted nor listed.
      if (slot.bare_status == PROBE_OK)
        ++ok;
      else if (probe_failed(slot.bare_status))
        log_failed_name(log, slot.name, false);
      if (slot.www_status == PROBE_OK)
        ++ok;
      else if (probe_failed(slot.www_status))
        log_failed_name(log, slot.name, true);
    }
    total_ok += ok;
    log_row_rate(log, put_stdout, tag, ok, 2 * n);
    pass->rows[pass->row_count++] =
        row_summary{tag, ok, 2 * n, 100.0 * ok / (2 * n)};
  }
  pass->resolved = total_ok;
  pass->probed = 2 * lines;
  pass->rate = 100.0 * total_ok / (2.0 * lines);
  log_block_end(log, put_stdout, ns, total_ok, lines);
}
