// Drives one run of zelkor.exe for scripts/demo, which takes a screenshot at
// each step:   demo_driver.exe MARKER_DIR
// At each step the driver writes MARKER_DIR\STEP.ready holding the screen
// rectangle to photograph ("WxH+X+Y") and waits for MARKER_DIR\STEP.done.
// Steps: running (mid-run, two reports in the pane), finished, about.
#include "res/resource.h"
#include "tests/gui/remote_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

const int RUN_MS = 120000;
const int SHOT_MS = 30000;

std::string marker_dir;

bool fail(const char *what) {
  std::fprintf(stderr, "demo_driver: %s\n", what);
  return false;
}

// Tells the script what to photograph and waits until it has.
bool step(const char *name, RECT r) {
  std::string ready = marker_dir + "\\" + name + ".ready";
  std::string done = marker_dir + "\\" + name + ".done";
  std::FILE *f = std::fopen((ready + ".part").c_str(), "w");
  if (f == nullptr) {
    return fail("cannot write a marker");
  }
  std::fprintf(f, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top,
               r.left, r.top);
  std::fclose(f);
  MoveFileA((ready + ".part").c_str(), ready.c_str());
  return wait_until(SHOT_MS,
                    [&] {
                      return GetFileAttributesA(done.c_str()) !=
                             INVALID_FILE_ATTRIBUTES;
                    }) ||
         fail("no screenshot was taken");
}

RECT rect_of(HWND w) {
  RECT r = {};
  GetWindowRect(w, &r);
  return r;
}

bool drive(void) {
  // A fresh prefix makes the first window wait for Wine's font cache.
  HWND dialog = nullptr;
  wait_until(RUN_MS, [&] {
    dialog = find_window(0, "#32770", "Zelkor");
    return dialog != nullptr;
  });
  if (dialog == nullptr) {
    return fail("no Zelkor window");
  }
  HWND status = GetDlgItem(dialog, IDC_STATUS);
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
  send_to(dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
          reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_START)));
  // The third nameserver under way: two reports in the pane, the bar moving.
  if (!wait_until(RUN_MS, [&] {
        return text_of(status) == "Testing namserver 223.5.5.5" &&
               send_to(bar, PBM_GETPOS) > 0 && send_to(bar, PBM_GETPOS) < 100;
      })) {
    return fail("the run did not reach its third nameserver");
  }
  if (!step("running", rect_of(dialog))) {
    return false;
  }
  if (!wait_until(RUN_MS, [&] { return text_of(status) == "Finish."; })) {
    return fail("the run did not finish");
  }
  if (!step("finished", rect_of(dialog))) {
    return false;
  }
  PostMessageA(GetDlgItem(dialog, IDC_ABOUT), BM_CLICK, 0, 0);
  HWND about = wait_for_window(0, "#32770", "关于");
  if (about == nullptr) {
    return fail("no about box");
  }
  RECT a = rect_of(dialog), b = rect_of(about);
  RECT both = {std::min(a.left, b.left), std::min(a.top, b.top),
               std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
  if (!step("about", both)) {
    return false;
  }
  PostMessageA(GetDlgItem(about, IDC_ABOUT_CLOSE), BM_CLICK, 0, 0);
  wait_until(SHOT_MS, [&] { return !IsWindow(about); });
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: demo_driver.exe MARKER_DIR\n");
    return 2;
  }
  marker_dir = argv[1];
  return drive() ? 0 : 1;
}
