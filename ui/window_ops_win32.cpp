// The channel's window calls on the real dialog. The calls' results are not
// examined: a control that cannot be reached takes nothing, and the caller
// carries on.
#include "ui/window_ops.h"
#include "ui/window_win32.h"

HWND main_window;

void window_set_text(int id, const char *text) {
  SetWindowTextA(GetDlgItem(main_window, id), text);
}

// Applied by the window on its own thread (main_window.cpp).
void window_enable(int id, bool enabled) {
  SendMessageA(main_window, WM_RUN_BUTTON, static_cast<WPARAM>(id),
               enabled ? 1 : 0);
}

void window_send(int id, unsigned message, std::uintptr_t wparam,
                 std::intptr_t lparam) {
  SendMessageA(GetDlgItem(main_window, id), message, wparam, lparam);
}

void window_post(unsigned message, std::uintptr_t wparam,
                 std::intptr_t lparam) {
  PostMessageA(main_window, message, wparam, lparam);
}
