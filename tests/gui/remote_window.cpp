// Reaching the windows of another process from outside, as the GUI suite
// and the demo's driver do.
#include "tests/gui/remote_window.h"

#include <cstring>
#include <vector>

bool wait_until(int timeout_ms, const std::function<bool()> &done) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) {
      return true;
    }
    if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) {
      return done();
    }
    Sleep(POLL_MS);
  }
}

namespace {

struct window_search {
  DWORD process;
  const char *class_name;
  const char *title; // null: any
  HWND owner;        // null: any
  HWND found;
};

} // namespace

// The text of another process's control. GetWindowTextA would not ask the
// control itself; WM_GETTEXT does, converted to this process's code page.
std::string text_of(HWND control) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG,
                           MESSAGE_MS, &length)) {
    return "<no answer>";
  }
  // The length counts UTF-16 units; a GBK character takes up to two bytes.
  std::vector<char> buffer(2 * length + 2, '\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutA(control, WM_GETTEXT, buffer.size(),
                      reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                      MESSAGE_MS, &copied);
  return std::string(buffer.data());
}

LRESULT send_to(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG,
                      MESSAGE_MS, &result);
  return static_cast<LRESULT>(result);
}

static BOOL CALLBACK match_window(HWND window, LPARAM arg) {
  window_search *s = reinterpret_cast<window_search *>(arg);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char class_name[64] = {};
  GetClassNameA(window, class_name, sizeof class_name);
  if ((s->process != 0 && process != s->process) ||
      std::strcmp(class_name, s->class_name) != 0 || !IsWindowVisible(window)) {
    return TRUE;
  }
  if (s->title != nullptr && text_of(window) != s->title) {
    return TRUE;
  }
  if (s->owner != nullptr && GetWindow(window, GW_OWNER) != s->owner) {
    return TRUE;
  }
  s->found = window;
  return FALSE;
}

HWND find_window(DWORD process, const char *class_name, const char *title,
                 HWND owner) {
  window_search s = {process, class_name, title, owner, nullptr};
  EnumWindows(match_window, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND wait_for_window(DWORD process, const char *class_name, const char *title,
                     HWND owner) {
  HWND found = nullptr;
  wait_until(APPEAR_MS, [&] {
    found = find_window(process, class_name, title, owner);
    return found != nullptr;
  });
  return found;
}
