// The status and output channel: the only way a run changes the window.
// Portable (channel.cpp); it reaches the controls through window_ops.h.
#ifndef UI_CHANNEL_H
#define UI_CHANNEL_H

enum {
  WM_TEST_PROGRESS = 8964,
  OUTPUT_TEXT_SIZE = 0x100000,
  OUTPUT_PIECE_SIZE = 1024,
};

extern char output_text[OUTPUT_TEXT_SIZE];

void set_status_text(const char *text);
void set_percent_text(const char *text);
void set_output_text(const char *text);
void set_progress_range(void);
void post_progress(int percent);
void set_controls_enabled(bool enabled);
void append_output(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The window side of WM_TEST_PROGRESS: bar position and "%d%%" label.
void show_progress(int percent);

#endif
