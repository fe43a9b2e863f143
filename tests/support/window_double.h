// A recording stand-in for the window: every window call in order, with its
// arguments and the calling thread, and the controls' resulting state. A
// posted message is queued, not shown, until the test drains the queue on
// its own thread, as the window's thread would.
#ifndef TESTS_SUPPORT_WINDOW_DOUBLE_H
#define TESTS_SUPPORT_WINDOW_DOUBLE_H

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct window_call {
  std::string op;        // "text", "enable", "send" or "post"
  int id;                // control id; 0 for "post" (the main window itself)
  std::string text;      // "text": the text set
  unsigned message;      // "send", "post"
  std::uintptr_t wparam; // "send", "post"; "enable": 1 or 0
  std::intptr_t lparam;  // "send", "post"
  std::thread::id thread;
};

// Forgets all calls and queued posts and resets every control's state.
void window_double_reset(void);
std::vector<window_call> window_calls(void);
// Delivers the queued WM_TEST_PROGRESS posts, in post order, through the
// channel's window side (show_progress); returns their percentages.
std::vector<int> window_drain(void);
// Number of posts still queued.
std::size_t window_queued(void);

// The controls as the calls left them.
std::string window_text(int id);
bool window_enabled(int id); // controls start enabled
int window_bar_pos(void);
std::intptr_t window_bar_range(void); // lparam of the last PBM_SETRANGE

#endif
