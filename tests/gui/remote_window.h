// Reaching the windows of another process from outside: bounded waits,
// control texts and messages that give up on a hung peer, and top-level
// windows found by process, class, title and owner.
#ifndef TESTS_GUI_REMOTE_WINDOW_H
#define TESTS_GUI_REMOTE_WINDOW_H

#include <windows.h>

#include <functional>
#include <string>

// A fresh Wine process can take a few seconds to show its first window.
const int APPEAR_MS = 30000;
// How long one cross-process message may take before the peer counts as hung.
const UINT MESSAGE_MS = 5000;
const int POLL_MS = 20;

// Polls `done` until it holds or `timeout_ms` has passed; returns whether it
// held, so that the caller can say what did not happen.
bool wait_until(int timeout_ms, const std::function<bool()> &done);

// The text of another process's control, in this process's code page.
std::string text_of(HWND control);
// SendMessage that gives up after MESSAGE_MS; 0 then.
LRESULT send_to(HWND window, UINT message, WPARAM wparam = 0,
                LPARAM lparam = 0);

// A visible top-level window of `process` (0: any) with `class_name`, and
// `title` and `owner` unless they are null.
HWND find_window(DWORD process, const char *class_name, const char *title,
                 HWND owner = nullptr);
// The same, waited for up to APPEAR_MS; null when none appeared.
HWND wait_for_window(DWORD process, const char *class_name, const char *title,
                     HWND owner = nullptr);

#endif
