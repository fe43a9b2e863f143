// The status and output channel. Only the report, on the driver's thread,
// appends to output_text, so it needs no lock.
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

// The window shows a pass through the texts and the bar above; the report's
// pane lines carry its results.
void pass_started(int, int, const char *) {}
void domain_probed(const domain_result *) {}
void pass_reported(int, const char *) {}
