// The about box: the tool's name and what it compares.
#include "res/resource.h"
#include "run/test_driver.h"
#include "ui/window_win32.h"

#include <cstdio>

// Two fixed pieces of about 40 bytes and two addresses of at most 15.
enum { ABOUT_TEXT_SIZE = 128 };

static void show_about_text(HWND window) {
  char text[ABOUT_TEXT_SIZE] = {};
  std::snprintf(text, sizeof text,
                "Zelkor 的一个小工具\r\n\r\n对本机设置DNS 和 %s、%s进行查询，"
                "对比",
                public_dns_1, public_dns_2);
  SetWindowTextA(GetDlgItem(window, IDC_ABOUT_TEXT), text);
}

INT_PTR CALLBACK about_dialog_proc(HWND window, UINT message, WPARAM wparam,
                                   LPARAM) {
  switch (message) {
  case WM_INITDIALOG:
    show_about_text(window);
    return 1;
  case WM_COMMAND:
    // IDCANCEL (Esc) is not among the handled ids: only "关闭" closes.
    if (LOWORD(wparam) != IDC_ABOUT_CLOSE) {
      return 0;
    }
    EndDialog(window, 0);
    return 1;
  case WM_CLOSE:
    EndDialog(window, 0);
    return 1;
  default:
    return 0;
  }
}
