// The few window calls the channel makes, on children of the main window by
// control id. window_ops_win32.cpp makes them on the real dialog; the tests
// link a recording double instead, so the channel's logic is tested natively.
#ifndef UI_WINDOW_OPS_H
#define UI_WINDOW_OPS_H

#include <cstdint>

// The progress bar's messages, as the platform numbers them (WM_USER + n).
enum {
  PBM_SETRANGE_MSG = 0x0401,
  PBM_SETPOS_MSG = 0x0402,
};

// SetWindowTextA on the child `id`.
void window_set_text(int id, const char *text);
// Enables or disables the child `id`; on the real dialog the window applies
// it on its own thread.
void window_enable(int id, bool enabled);
// SendMessageA to the child `id`; waits until the window has taken it in.
void window_send(int id, unsigned message, std::uintptr_t wparam,
                 std::intptr_t lparam);
// PostMessageA to the main window itself; returns at once.
void window_post(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);

#endif
