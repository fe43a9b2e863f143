// The status and output channel: the Windows program's side of the run's
// front-end port (run/front_end.h), the only way a run changes the window.
// Portable (channel.cpp); it reaches the controls through window_ops.h.
#ifndef UI_CHANNEL_H
#define UI_CHANNEL_H

#include "run/front_end.h"

enum {
  WM_TEST_PROGRESS = 8964,
  OUTPUT_TEXT_SIZE = 0x100000,
  OUTPUT_PIECE_SIZE = 1024,
};

extern char output_text[OUTPUT_TEXT_SIZE];

// The window side of WM_TEST_PROGRESS: bar position and "%d%%" label.
void show_progress(int percent);

#endif
