// The program's entry and the main dialog: read a list, start a run, open
// the log and the about box. A run itself reaches the window only through
// the channel (ui/channel.h).
#include "res/resource.h"
#include "run/domain_list.h"
#include "run/local_dns.h"
#include "run/test_driver.h"
#include "ui/channel.h"
#include "ui/window_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>

HINSTANCE app_instance;

// The chooser's path buffer: MAX_PATH, as the chooser's narrow record has it.
enum { CHOSEN_PATH_SIZE = 260 };

// OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
// OFN_NOCHANGEDIR is left out, so the current directory follows the chooser.
static const DWORD CHOOSER_FLAGS = 0x81804;

static const char CHOOSER_FILTER[] =
    "文本文件 (*.txt)\0*.txt\0All Files (*.*)\0*.*\0\0";

// Set when Winsock started at initialisation; without it no run can work.
static bool socket_library_ready;

// From a start command that went ahead until the driver thread's routine has
// returned: two runs never overlap, and no list is read while one goes on.
// Only the window's thread reads and writes it.
static bool run_going;

// Sent by the driver's thread once test_driver has returned.
enum { WM_RUN_ENDED = WM_APP + 2 };

static const int RUN_BUTTONS[] = {IDC_START, IDC_READ_DOMAINS, IDC_VIEW_LOG};
static const std::size_t RUN_BUTTON_COUNT =
    sizeof RUN_BUTTONS / sizeof RUN_BUTTONS[0];

// The settings of the run going: one run at a time, and the driver reads
// them until it returns.
static driver_settings run_settings;

static DWORD WINAPI driver_thread(LPVOID settings) {
  test_driver(static_cast<const driver_settings *>(settings));
  SendMessageA(main_window, WM_RUN_ENDED, 0, 0);
  return 0;
}

static void enable_control(HWND window, int id, bool enabled) {
  EnableWindow(GetDlgItem(window, id), enabled ? TRUE : FALSE);
}

// The channel's enabling of a run button (WM_RUN_BUTTON). The driver enables
// them as its last step, while its run still counts as going: they come back
// with run_ended instead, in one step with the flag, so that a command that
// finds its button enabled is never refused.
static INT_PTR set_run_button(HWND window, int id, bool enabled) {
  if (!(enabled && run_going)) {
    enable_control(window, id, enabled);
  }
  return 1;
}

static INT_PTR run_ended(HWND window) {
  run_going = false;
  for (int id : RUN_BUTTONS) {
    enable_control(window, id, true);
  }
  return 1;
}

// The pane's font is given in pixels at 96 DPI; scaled to the screen's DPI,
// as the template's dialog units are, it keeps its size and stays sharp.
enum {
  PANE_FONT_HEIGHT = 12,
  PANE_FONT_WIDTH = 6,
  DESIGN_DPI = 96,
};

static HFONT create_pane_font(HWND window) {
  HDC screen = GetDC(window);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(window, screen);
  return CreateFontA(MulDiv(PANE_FONT_HEIGHT, dpi, DESIGN_DPI),
                     MulDiv(PANE_FONT_WIDTH, dpi, DESIGN_DPI), 0, 0,
                     FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0, 0,
                     "新宋体");
}

static INT_PTR init_dialog(HWND window) {
  if (start_socket_library() != 0) {
    std::fputs("init win sock failed\n", stderr);
    return -1;
  }
  socket_library_ready = true;
  main_window = window;
  enable_control(window, IDC_VIEW_LOG, false);
  split_local_dns();
  // Kept for the life of the program: the pane uses it until the end.
  HFONT pane_font = create_pane_font(window);
  SendMessageA(GetDlgItem(window, IDC_OUTPUT), WM_SETFONT,
               reinterpret_cast<WPARAM>(pane_font), 0);
  set_percent_text("0%");
  return 1;
}

static INT_PTR read_domains(HWND window) {
  if (run_going) {
    return 1;
  }
  char path[CHOSEN_PATH_SIZE] = {};
  OPENFILENAMEA chooser = {};
  // The record without the members later platform versions appended.
  chooser.lStructSize = static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A);
  chooser.hwndOwner = window;
  chooser.lpstrFilter = CHOOSER_FILTER;
  chooser.lpstrFile = path;
  chooser.nMaxFile = CHOSEN_PATH_SIZE;
  chooser.Flags = CHOOSER_FLAGS;
  chooser.lpstrDefExt = "txt";
  if (GetOpenFileNameA(&chooser) == 0) {
    return 1;
  }
  // The chooser's modal loop dispatches messages: a start may have slipped
  // in meanwhile, and its driver owns the list now.
  if (run_going) {
    return 1;
  }
  enable_control(window, IDC_START, false);
  if (load_domain_list(path) == 0) {
    set_status_text("读取域名列表完成, 请点击“开始执行”");
  }
  enable_control(window, IDC_START, true);
  return 1;
}

static INT_PTR start_run(HWND window) {
  if (!socket_library_ready) {
    // main_window was never set, so the channel cannot reach the status line.
    SetDlgItemTextA(window, IDC_STATUS, "网络初始化失败，无法开始执行");
    return 1;
  }
  if (run_going) {
    return 1;
  }
  if (domain_count <= 0) {
    if (load_domain_list("./domains.txt") != 0) {
      set_status_text(
          "读取当前目录 domains.txt 失败，请点击\"读取域名\"选择文件");
      return 1;
    }
    if (domain_count <= 0) {
      set_status_text("无域名列表");
    }
  }
  std::memset(output_text, 0, sizeof output_text);
  // Disabled here already, not only by the driver once its thread runs, so
  // that no command slips in between.
  bool was_enabled[RUN_BUTTON_COUNT];
  for (std::size_t i = 0; i < RUN_BUTTON_COUNT; i++) {
    was_enabled[i] = IsWindowEnabled(GetDlgItem(window, RUN_BUTTONS[i])) != 0;
    enable_control(window, RUN_BUTTONS[i], false);
  }
  run_going = true;
  run_settings = classic_driver_settings(domain_list, domain_count);
  HANDLE driver =
      CreateThread(nullptr, 0, driver_thread, &run_settings, 0, nullptr);
  if (driver == nullptr) {
    run_going = false;
    for (std::size_t i = 0; i < RUN_BUTTON_COUNT; i++) {
      enable_control(window, RUN_BUTTONS[i], was_enabled[i]);
    }
    return 1;
  }
  // Nothing waits for the driver: it ends on its own, or with the process.
  CloseHandle(driver);
  return 1;
}

static INT_PTR view_log(void) {
  WinExec("notepad.exe ./log.txt", SW_SHOW);
  return 1;
}

static INT_PTR open_about(void) {
  return DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_ABOUT), nullptr,
                         about_dialog_proc, 0);
}

static INT_PTR close_dialog(HWND window) {
  // A running driver still reads the nameserver texts and uses its sockets;
  // it ends with the process a moment later, so both are left to that.
  if (!run_going) {
    release_local_dns();
    if (socket_library_ready) {
      stop_socket_library();
    }
  }
  EndDialog(window, 0);
  return 1;
}

static INT_PTR command(HWND window, WPARAM wparam) {
  switch (LOWORD(wparam)) {
  case IDC_READ_DOMAINS:
    return read_domains(window);
  case IDC_ABOUT:
    return open_about();
  case IDC_START:
    return start_run(window);
  case IDC_VIEW_LOG:
    return view_log();
  default:
    // IDOK and IDCANCEL among them: Esc does not close the window.
    return 0;
  }
}

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam) {
  switch (message) {
  case WM_INITDIALOG:
    return init_dialog(window);
  case WM_COMMAND:
    return command(window, wparam);
  case WM_TEST_PROGRESS:
    show_progress(static_cast<int>(wparam));
    return 0;
  case WM_RUN_BUTTON:
    return set_run_button(window, static_cast<int>(wparam), lparam != 0);
  case WM_RUN_ENDED:
    return run_ended(window);
  case WM_CLOSE:
    return close_dialog(window);
  default:
    return 0;
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Without a console the streams are files or pipes, fully buffered by
  // default; unbuffered, a redirected run loses nothing when the window
  // closes with a run still going.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  app_instance = instance;
  domain_count = 0;
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);
  return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN),
                                          nullptr, main_dialog_proc, 0));
}
