// The status and output channel: the Windows program's side of the run's
// events (run/driver_events.h), the only way a run changes the window, and
// the dialog's own texts. Portable (channel.cpp); it reaches the controls
// through window_ops.h.
#ifndef UI_CHANNEL_H
#define UI_CHANNEL_H

#include "run/driver_events.h"

enum {
  WM_TEST_PROGRESS = 8964,
  OUTPUT_TEXT_SIZE = 0x100000,
  OUTPUT_PIECE_SIZE = 1024,
};

extern char output_text[OUTPUT_TEXT_SIZE];

// What the dialog shows: the status line, the percent label, the output
// pane, the progress bar and the state of the start, read-domains and
// view-log buttons. All but post_progress return once the change is shown.
void set_status_text(const char *text);
void set_percent_text(const char *text);
void set_output_text(const char *text);
void set_progress_range(void);
// Queues a progress percentage and returns at once (worker threads call it).
void post_progress(int percent);
void set_controls_enabled(bool enabled);
void append_output(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The window side of WM_TEST_PROGRESS: bar position and "%d%%" label.
void show_progress(int percent);

#endif
