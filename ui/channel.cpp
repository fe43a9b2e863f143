// The status and output channel, and the texts the dialog makes of a run's
// events. Only the pass's report, on the driver's thread, appends to
// output_text, so it needs no lock.
#include "ui/channel.h"

#include "res/resource.h"
#include "ui/window_ops.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

enum {
  // The progress bar runs from 0 (low half) to 100 (high half).
  PROGRESS_RANGE_0_100 = 0x00640000,
  // Room for "-2147483648%" and its zero.
  PERCENT_TEXT_SIZE = 32,
  // "Testing namserver " and a nameserver's text of at most 31 characters.
  STATUS_TEXT_SIZE = 64,
  // The bar moves for every this many finished domains.
  PROGRESS_EVERY = 10,
};

char output_text[OUTPUT_TEXT_SIZE];

void set_status_text(const char *text) {
  window_set_text(IDC_STATUS, text);
}

void set_percent_text(const char *text) {
  window_set_text(IDC_PERCENT, text);
}

void set_output_text(const char *text) {
  window_set_text(IDC_OUTPUT, text);
}

void set_progress_range(void) {
  window_send(IDC_PROGRESS, PBM_SETRANGE_MSG, 0, PROGRESS_RANGE_0_100);
}

void post_progress(int percent) {
  window_post(WM_TEST_PROGRESS, static_cast<std::uintptr_t>(percent), 0);
}

void set_controls_enabled(bool enabled) {
  window_enable(IDC_START, enabled);
  window_enable(IDC_READ_DOMAINS, enabled);
  window_enable(IDC_VIEW_LOG, enabled);
}

void append_output(const char *fmt, ...) {
  if (!fmt)
    return;
  char piece[OUTPUT_PIECE_SIZE] = {};
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(piece, sizeof piece, fmt, args);
  va_end(args);
  std::size_t used = std::strlen(output_text);
  std::size_t add = std::strlen(piece);
  // A piece that does not fit whole is dropped whole, never cut.
  if (used + add <= OUTPUT_TEXT_SIZE - 1)
    std::memcpy(output_text + used, piece, add + 1);
  window_set_text(IDC_OUTPUT, output_text);
}

void show_progress(int percent) {
  window_send(IDC_PROGRESS, PBM_SETPOS_MSG,
              static_cast<std::uintptr_t>(percent), 0);
  char label[PERCENT_TEXT_SIZE] = {};
  std::snprintf(label, sizeof label, "%d%%", percent);
  window_set_text(IDC_PERCENT, label);
}

void run_started(const run_facts *) {
  set_controls_enabled(false);
  set_progress_range();
  set_output_text("\r\n努力工作中...");
}

void pass_started(int, int, const char *ns) {
  set_percent_text("0%");
  char status[STATUS_TEXT_SIZE] = {};
  std::snprintf(status, sizeof status, "Testing namserver %s", ns);
  set_status_text(status);
}

void domain_probed(const domain_result *, int done, int total) {
  if (done % PROGRESS_EVERY == 0)
    post_progress(total > 0 ? done * 100 / total : 0);
}

void pass_ended(const pass_summary *pass) {
  post_progress(100);
  append_output("===========================================\r\n"
                "对 %s 进行 DNS 查询结果如下：\r\n",
                pass->ns);
  for (int i = 0; i < pass->row_count; ++i)
    append_output("%-20s成功率: %3.4f%%\r\n", pass->rows[i].tag,
                  pass->rows[i].rate);
  append_output("-------------------------------------------\r\n"
                "DNS %-16s成功率: %3.4f%%\r\n"
                "===========================================\r\n\r\n\r\n",
                pass->ns, pass->rate);
}

void run_ended(void) {
  set_status_text("Finish.");
  set_controls_enabled(true);
}

// The program has no console: its diagnostics are seen only when standard
// error is redirected.
void run_diagnostic(const char *line) {
  std::fputs(line, stderr);
}
