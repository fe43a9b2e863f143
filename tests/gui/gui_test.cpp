// The real zelkor.exe, driven from outside under Wine as a user would drive
// it: started with CreateProcess in a fresh directory with standard output
// and error redirected to files, its dialog found by class, title and
// process, its controls read with WM_GETTEXT and clicked with BM_CLICK (posted
// for anything that opens a modal box, which a sent click would wait for).
// The nameservers it tests are fakes on the sandbox's loopback addresses.
//
// tests/gui/run-gui-test starts this program on a display of its own and
// passes the programs under test in ZELKOR_EXE and ZELKOR_NOSOCK_EXE.
#include "res/resource.h"
#include "run/test_driver.h"
#include "tests/gui/remote_window.h"
#include "tests/support/fake_ns.h"
#include "tests/support/files.h"
#include "ui/channel.h"
#include "ui/window_win32.h"
#include "version.h"

#include <commctrl.h>
#include <psapi.h>
#include <windowsx.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// A run over a handful of names against fakes that answer within 400 ms.
const int RUN_MS = 60000;
const int SHORT_MS = 10000;

const char WORKING_TEXT[] = "\r\n努力工作中...";
const char READ_DONE_TEXT[] = "读取域名列表完成, 请点击“开始执行”";
const char NO_LIST_FILE_TEXT[] =
    "读取当前目录 domains.txt 失败，请点击\"读取域名\"选择文件";
const char NO_NAMES_TEXT[] = "无域名列表";
const char NO_SOCKETS_TEXT[] = "网络初始化失败，无法开始执行";
const char LOG_HEADER[] =
    "该文件记录每次检查dns的成功率，以及查询失败的域名\r\n\r\n";

std::string windows_path_of(const char *unix_path) {
  std::string path = "Z:";
  for (const char *p = unix_path; *p; p++) {
    path += *p == '/' ? '\\' : *p;
  }
  return path;
}

std::string program_path(const char *variable) {
  const char *value = std::getenv(variable);
  if (value == nullptr || value[0] == '\0') {
    return "";
  }
  return value[0] == '/' ? windows_path_of(value) : value;
}

void write_file(const std::string &path, const std::string &bytes) {
  ASSERT_TRUE(write_bytes(path, bytes)) << path;
}

bool file_exists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void remove_tree(const std::string &dir) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") {
        continue;
      }
      std::string path = dir + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(h, &found));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

// --- What a run over the lists below reports ---------------------------------

struct row_report {
  const char *tag;
  int resolved;
  int probed;
  std::vector<std::string> failed; // as the log lists them
};

double rate(int resolved, int probed) {
  return 100.0 * resolved / probed;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

struct pass_report {
  std::string ns;
  std::vector<row_report> rows;
  int domain_count;

  int total() const {
    int sum = 0;
    for (const row_report &r : rows) {
      sum += r.resolved;
    }
    return sum;
  }
  double total_rate() const {
    return 100.0 * total() / (2.0 * domain_count);
  }
  std::string total_line() const {
    return format("----------------------------------\n%-20s total: %d/%d, "
                  "%3.4f%%\r\n",
                  ns.c_str(), total(), 2 * domain_count, total_rate());
  }
  std::string log() const {
    std::string text;
    for (const row_report &r : rows) {
      text += format("%-20s\n", r.tag);
      for (const std::string &name : r.failed) {
        text += std::string(20, ' ') + name + "\n";
      }
      text += format("%-20s%d/%d, %3.4f%%\r\n", r.tag, r.resolved, r.probed,
                     rate(r.resolved, r.probed));
    }
    return text + total_line() +
           "==================================================\r\n\r\n\r\n";
  }
  std::string console() const {
    std::string text = "begin to test " + ns + "\n";
    for (const row_report &r : rows) {
      text += format("%-20s%d/%d, %3.4f%%\r\n", r.tag, r.resolved, r.probed,
                     rate(r.resolved, r.probed));
    }
    return text + total_line() +
           "==================================================\r\n\r\n\r\n";
  }
  std::string pane() const {
    std::string text = format("===========================================\r\n"
                              "对 %s 进行 DNS 查询结果如下：\r\n",
                              ns.c_str());
    for (const row_report &r : rows) {
      text +=
          format("%-20s成功率: %3.4f%%\r\n", r.tag, rate(r.resolved, r.probed));
    }
    return text + format("-------------------------------------------\r\n"
                         "DNS %-16s成功率: %3.4f%%\r\n"
                         "===========================================\r\n"
                         "\r\n\r\n",
                         ns.c_str(), total_rate());
  }
};

// Standard output and error are files in text mode: every "\n" the program
// writes becomes "\r\n" on its way out.
std::string text_mode(const std::string &bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

// The nameservers of a run, in order: the sandbox's resolver file names
// 127.0.0.2 and 127.0.0.3, then the public resolvers.
const char *const LOCAL_1 = "127.0.0.2";
const char *const LOCAL_2 = "127.0.0.3";
std::vector<std::string> run_nameservers() {
  return {LOCAL_1, LOCAL_2, public_dns_1, public_dns_2};
}
const int RUN_PASSES = 4;

// Every kind of line: two that resolve, a negative bare name, a name whose
// two probes both get no records, one that only the first local nameserver
// refuses, a tag matched by its prefix, an unknown tag, a line without a
// colon and a short line. One usable line per row but the first, so that the
// failure lines of a row have one order only.
const char MIXED_LIST[] = "zelkor:alpha.example\r\n"
                          "zelkor:beta.example\r\n"
                          "quarin:gone.example\r\n"
                          "tovessa:empty.test\r\n"
                          "brelm:picky.example\r\n"
                          "other:skip.example\r\n"
                          "nocolon.example\r\n"
                          "ab\r\n"
                          "9pel-cn:prefix.example\r\n";
const int MIXED_COUNT = 8;

pass_report mixed_report(const std::string &ns) {
  pass_report p;
  p.ns = ns;
  p.domain_count = MIXED_COUNT;
  p.rows.push_back({"zelkor", 4, 4, {}});
  p.rows.push_back({"quarin", 1, 2, {"gone.example"}});
  p.rows.push_back({"tovessa", 0, 2, {"empty.test", "www.empty.test"}});
  if (ns == LOCAL_1) {
    p.rows.push_back({"brelm", 1, 2, {"picky.example"}});
  } else {
    p.rows.push_back({"brelm", 2, 2, {}});
  }
  p.rows.push_back({"9pel", 2, 2, {}});
  return p;
}

// Twenty names that every fake answers 400 ms late: ten workers of two lines,
// progress at 50 and 100, about 1.6 s per nameserver.
const int SLOW_COUNT = 20;
const int SLOW_DELAY_MS = 400;
std::string slow_name(int i) {
  return format("slow%02d.example", i);
}
std::string slow_list() {
  std::string text;
  for (int i = 0; i < SLOW_COUNT; i++) {
    text += "zelkor:" + slow_name(i) + "\n";
  }
  return text;
}

// --- The fakes ---------------------------------------------------------------

std::vector<fake_ns *> fakes;

void start_fakes() {
  for (const std::string &ip : run_nameservers()) {
    fake_ns *ns = fake_ns_start(ip.c_str(), FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr) << "cannot serve on " << ip;
    fake_ns_rule(ns, "alpha.example", FAKE_DELAYED, 300);
    fake_ns_rule(ns, "gone.example", FAKE_NXDOMAIN);
    fake_ns_rule(ns, "empty.test", FAKE_NODATA);
    fake_ns_rule(ns, "www.empty.test", FAKE_NODATA);
    if (ip == LOCAL_1) {
      fake_ns_rule(ns, "picky.example", FAKE_REFUSED);
    }
    for (int i = 0; i < SLOW_COUNT; i++) {
      fake_ns_rule(ns, slow_name(i).c_str(), FAKE_DELAYED, SLOW_DELAY_MS);
      fake_ns_rule(ns, ("www." + slow_name(i)).c_str(), FAKE_DELAYED,
                   SLOW_DELAY_MS);
    }
    fakes.push_back(ns);
  }
}

void stop_fakes() {
  for (fake_ns *ns : fakes) {
    fake_ns_stop(ns);
  }
  fakes.clear();
}

// --- One zelkor.exe ----------------------------------------------------------

class app {
public:
  ~app() {
    if (process_ == nullptr) {
      return;
    }
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      if (dialog_ != nullptr) {
        PostMessageA(dialog_, WM_CLOSE, 0, 0);
      }
      if (WaitForSingleObject(process_, SHORT_MS) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, SHORT_MS);
      }
    }
    CloseHandle(process_);
  }

  // Starts `exe` in `dir` with its output in `out` and `err`; waits for the
  // dialog to be shown (the platform shows it once initialised) and, unless
  // told otherwise, for the percent label its initialisation sets.
  bool start(const std::string &exe, const std::string &dir,
             const std::string &out, const std::string &err,
             bool fully_initialised = true) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err_file = CreateFileA(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in_file = CreateFileA("NUL", GENERIC_READ, 0, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_file;
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION info = {};
    std::string command = "\"" + exe + "\"";
    BOOL started =
        CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                       nullptr, dir.c_str(), &startup, &info);
    CloseHandle(out_file);
    CloseHandle(err_file);
    CloseHandle(in_file);
    if (!started) {
      return false;
    }
    CloseHandle(info.hThread);
    out_ = out;
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    dialog_ = wait_for_window(id_, "#32770", "Zelkor");
    if (dialog_ == nullptr) {
      return false;
    }
    return !fully_initialised ||
           wait_until(APPEAR_MS, [&] { return percent() == "0%"; });
  }

  HWND dialog() const {
    return dialog_;
  }
  DWORD id() const {
    return id_;
  }
  HWND item(int id) const {
    return GetDlgItem(dialog_, id);
  }
  std::string status() const {
    return text_of(item(IDC_STATUS));
  }
  std::string percent() const {
    return text_of(item(IDC_PERCENT));
  }
  std::string pane() const {
    return text_of(item(IDC_OUTPUT));
  }
  int bar() const {
    return static_cast<int>(send_to(item(IDC_PROGRESS), PBM_GETPOS));
  }
  bool enabled(int id) const {
    return IsWindowEnabled(item(id)) != 0;
  }
  // Start, read-domains and view-log, as "SSS" with E or D for each.
  std::string run_buttons() const {
    std::string s;
    for (int id : {IDC_START, IDC_READ_DOMAINS, IDC_VIEW_LOG}) {
      s += enabled(id) ? 'E' : 'D';
    }
    return s;
  }
  // A command as the dialog receives it from a button, whatever the button's
  // state; returns once the dialog has handled it.
  void command(int id) const {
    send_to(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
            reinterpret_cast<LPARAM>(item(id)));
  }
  // A click on a button that opens a modal box: posted, since a sent one
  // would return only when the box closes.
  void post_click(int id) const {
    PostMessageA(item(id), BM_CLICK, 0, 0);
  }
  // The passes begun so far, by their "begin to test" lines on stdout.
  int passes_begun() const {
    std::string console = read_file(out_);
    int begun = 0;
    for (std::size_t at = console.find("begin to test ");
         at != std::string::npos; at = console.find("begin to test ", at + 1)) {
      begun++;
    }
    return begun;
  }
  // Start, and wait until a new run has ended: "Finish." and the buttons
  // back are already there before a start that is refused.
  bool run_to_finish() const {
    int begun = passes_begun();
    command(IDC_START);
    return wait_for_finish(begun + RUN_PASSES);
  }
  // The run has ended, with `passes` begun in all unless that is -1.
  bool wait_for_finish(int passes = -1) const {
    return wait_until(RUN_MS, [&] {
      return status() == "Finish." && run_buttons() == "EEE" &&
             (passes < 0 || passes_begun() == passes);
    });
  }
  bool exited(int timeout_ms) const {
    return WaitForSingleObject(process_, static_cast<DWORD>(timeout_ms)) ==
           WAIT_OBJECT_0;
  }
  DWORD exit_code() const {
    DWORD code = 1234;
    GetExitCodeProcess(process_, &code);
    return code;
  }
  // Every message posted so far to the dialog's thread has been handled
  // once the marker (a pressed look of "关于", harmless) shows.
  bool drain_posted() const {
    HWND marker = item(IDC_ABOUT);
    PostMessageA(marker, BM_SETSTATE, TRUE, 0);
    bool seen = wait_until(SHORT_MS, [&] {
      return (send_to(marker, BM_GETSTATE) & BST_PUSHED) != 0;
    });
    send_to(marker, BM_SETSTATE, FALSE);
    return seen;
  }

private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
  HWND dialog_ = nullptr;
  std::string out_;
};

// --- Fixture -----------------------------------------------------------------

class GuiTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    start_fakes();
  }
  static void TearDownTestSuite() {
    stop_fakes();
  }

  void SetUp() override {
    exe_ = program_path("ZELKOR_EXE");
    ASSERT_FALSE(exe_.empty()) << "ZELKOR_EXE names no program";
    static int serial;
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    base_ =
        format("%szelkor-gui-%lu-%d", temp, GetCurrentProcessId(), serial++);
    work_ = base_ + "\\work";
    // Process ids repeat under Wine: a directory an earlier failure left for
    // a look goes now.
    remove_tree(base_);
    ASSERT_TRUE(CreateDirectoryA(base_.c_str(), nullptr)) << base_;
    ASSERT_TRUE(CreateDirectoryA(work_.c_str(), nullptr)) << work_;
    out_ = base_ + "\\stdout.txt";
    err_ = base_ + "\\stderr.txt";
  }

  void TearDown() override {
    if (!HasFailure()) {
      remove_tree(base_);
    } else {
      std::printf("left for a look: %s\n", base_.c_str());
    }
  }

  void start(app &a, const std::string &exe = "") {
    ASSERT_TRUE(a.start(exe.empty() ? exe_ : exe, work_, out_, err_))
        << "no initialised Zelkor dialog appeared";
  }

  std::string in_work(const char *name) const {
    return work_ + "\\" + name;
  }

  std::string exe_, base_, work_, out_, err_;
};

std::string whole_log(const std::vector<pass_report> &passes) {
  std::string text = LOG_HEADER;
  for (const pass_report &p : passes) {
    text += p.log();
  }
  return text;
}

std::string whole_console(const std::vector<pass_report> &passes) {
  std::string text;
  for (const pass_report &p : passes) {
    text += p.console();
  }
  return text_mode(text);
}

std::string whole_pane(const std::vector<pass_report> &passes) {
  std::string text;
  for (const pass_report &p : passes) {
    text += p.pane();
  }
  return text;
}

std::vector<pass_report> mixed_run() {
  std::vector<pass_report> passes;
  for (const std::string &ns : run_nameservers()) {
    passes.push_back(mixed_report(ns));
  }
  return passes;
}

// --- The templates and the icon, read back from the program file -------------

struct template_reader {
  const BYTE *p;

  WORD word() {
    WORD w;
    std::memcpy(&w, p, sizeof w);
    p += sizeof w;
    return w;
  }
  DWORD dword() {
    DWORD d;
    std::memcpy(&d, p, sizeof d);
    p += sizeof d;
    return d;
  }
  short coordinate() {
    return static_cast<short>(word());
  }
  BYTE byte() {
    return *p++;
  }
  // A zero-terminated UTF-16 text, or an ordinal written as "#n".
  std::wstring text_or_ordinal() {
    WORD first = word();
    if (first == 0xFFFF) {
      return L"#" + std::to_wstring(word());
    }
    std::wstring s;
    for (WORD w = first; w != 0; w = word()) {
      s += static_cast<wchar_t>(w);
    }
    return s;
  }
  void align_dword(const BYTE *start) {
    while ((p - start) % 4 != 0) {
      p++;
    }
  }
};

struct control_template {
  DWORD style, ex_style, help_id;
  short x, y, cx, cy;
  DWORD id;
  std::wstring class_name, text;
  WORD extra;
};

struct dialog_template {
  bool extended;
  DWORD style, ex_style, help_id;
  short x, y, cx, cy;
  std::wstring menu, class_name, title;
  WORD point_size, weight;
  BYTE italic, charset;
  std::wstring face;
  std::vector<control_template> controls;
};

dialog_template read_dialog(const BYTE *start) {
  dialog_template d = {};
  template_reader r = {start};
  WORD version = r.word();
  WORD signature = r.word();
  d.extended = version == 1 && signature == 0xFFFF;
  WORD count;
  if (d.extended) {
    d.help_id = r.dword();
    d.ex_style = r.dword();
    d.style = r.dword();
  } else {
    r.p = start;
    d.style = r.dword();
    d.ex_style = r.dword();
  }
  count = r.word();
  d.x = r.coordinate();
  d.y = r.coordinate();
  d.cx = r.coordinate();
  d.cy = r.coordinate();
  d.menu = r.text_or_ordinal();
  d.class_name = r.text_or_ordinal();
  d.title = r.text_or_ordinal();
  if (d.style & DS_SETFONT) {
    d.point_size = r.word();
    if (d.extended) {
      d.weight = r.word();
      d.italic = r.byte();
      d.charset = r.byte();
    }
    d.face = r.text_or_ordinal();
  }
  for (WORD i = 0; i < count; i++) {
    r.align_dword(start);
    control_template c = {};
    if (d.extended) {
      c.help_id = r.dword();
      c.ex_style = r.dword();
      c.style = r.dword();
    } else {
      c.style = r.dword();
      c.ex_style = r.dword();
    }
    c.x = r.coordinate();
    c.y = r.coordinate();
    c.cx = r.coordinate();
    c.cy = r.coordinate();
    c.id = d.extended ? r.dword() : r.word();
    c.class_name = r.text_or_ordinal();
    c.text = r.text_or_ordinal();
    c.extra = r.word();
    r.p += c.extra;
    d.controls.push_back(c);
  }
  return d;
}

// The program file as data: its resources without running it.
class ResourceTest : public testing::Test {
protected:
  void SetUp() override {
    std::string exe = program_path("ZELKOR_EXE");
    module_ = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << exe;
  }
  void TearDown() override {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }
  const BYTE *resource(int id, LPCSTR type, DWORD *size = nullptr) const {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) {
      return nullptr;
    }
    if (size != nullptr) {
      *size = SizeofResource(module_, found);
    }
    return static_cast<const BYTE *>(
        LockResource(LoadResource(module_, found)));
  }
  HMODULE module_ = nullptr;
};

void expect_control(const control_template &c, DWORD id,
                    const wchar_t *class_name, const wchar_t *text, DWORD style,
                    short x, short y, short cx, short cy, DWORD ex_style = 0) {
  SCOPED_TRACE(testing::Message() << "control " << id);
  EXPECT_EQ(c.id, id);
  EXPECT_TRUE(c.class_name == class_name);
  EXPECT_TRUE(c.text == text);
  EXPECT_EQ(c.style, style);
  EXPECT_EQ(c.ex_style, ex_style);
  EXPECT_EQ(c.help_id, 0u);
  EXPECT_EQ(c.x, x);
  EXPECT_EQ(c.y, y);
  EXPECT_EQ(c.cx, cx);
  EXPECT_EQ(c.cy, cy);
  EXPECT_EQ(c.extra, 0);
}

TEST_F(ResourceTest, MainTemplateIsTheExtendedDialogWithItsEightControls) {
  const BYTE *bytes = resource(IDD_MAIN, MAKEINTRESOURCEA(5));
  ASSERT_NE(bytes, nullptr);
  dialog_template d = read_dialog(bytes);
  EXPECT_TRUE(d.extended);
  EXPECT_EQ(d.help_id, 0u);
  EXPECT_EQ(d.style, 0x10CA0844u);
  EXPECT_EQ(d.ex_style, 0u);
  EXPECT_EQ(d.x, 6);
  EXPECT_EQ(d.y, 5);
  EXPECT_EQ(d.cx, 358);
  EXPECT_EQ(d.cy, 338);
  EXPECT_TRUE(d.menu.empty());
  EXPECT_TRUE(d.class_name.empty());
  EXPECT_TRUE(d.title == L"Zelkor");
  EXPECT_EQ(d.point_size, 8);
  EXPECT_TRUE(d.face == L"Tahoma");
  EXPECT_EQ(d.weight, 0);
  EXPECT_EQ(d.italic, 0);
  EXPECT_EQ(d.charset, 1);
  ASSERT_EQ(d.controls.size(), 8u);
  expect_control(d.controls[0], 1005, L"BUTTON", L"开始执行", 0x50010000, 283,
                 85, 62, 22);
  expect_control(d.controls[1], 1000, L"MSCTLS_PROGRESS32", L"", 0x50000001, 13,
                 12, 265, 17);
  expect_control(d.controls[2], 1006, L"STATIC", L"", 0x50000000, 283, 16, 22,
                 13);
  expect_control(d.controls[3], 1003, L"STATIC", L"", 0x50000000, 13, 39, 224,
                 17);
  expect_control(d.controls[4], 1008, L"EDIT", L"", 0x50210884, 13, 58, 265,
                 263, 0x20000);
  expect_control(d.controls[5], 1002, L"BUTTON", L"读取域名", 0x50010000, 283,
                 58, 62, 22);
  expect_control(d.controls[6], 1004, L"BUTTON", L"关于", 0x50010000, 283, 299,
                 62, 22);
  expect_control(d.controls[7], 1007, L"BUTTON", L"查看日志", 0x50010000, 283,
                 272, 62, 22);
}

TEST_F(ResourceTest, AboutTemplateIsTheClassicDialogWithTextAndClose) {
  const BYTE *bytes = resource(IDD_ABOUT, MAKEINTRESOURCEA(5));
  ASSERT_NE(bytes, nullptr);
  dialog_template d = read_dialog(bytes);
  EXPECT_FALSE(d.extended);
  EXPECT_EQ(d.style, 0x90C808CCu);
  EXPECT_EQ(d.ex_style, 0u);
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_EQ(d.cx, 278);
  EXPECT_EQ(d.cy, 95);
  EXPECT_TRUE(d.menu.empty());
  EXPECT_TRUE(d.class_name.empty());
  EXPECT_TRUE(d.title == L"关于");
  EXPECT_EQ(d.point_size, 8);
  EXPECT_TRUE(d.face == L"Ms Shell Dlg");
  ASSERT_EQ(d.controls.size(), 2u);
  expect_control(d.controls[0], 1000, L"STATIC", L"", 0x50000001, 26, 19, 226,
                 29);
  expect_control(d.controls[1], 1004, L"BUTTON", L"关闭", 0x50010000, 216, 53,
                 36, 14);
}

BOOL CALLBACK count_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR count) {
  EXPECT_TRUE(IS_INTRESOURCE(name));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(name), 1u);
  ++*reinterpret_cast<int *>(count);
  return TRUE;
}

TEST_F(ResourceTest, IconGroupHoldsOneThirtyTwoBitImageOfItsOwn) {
  DWORD size = 0;
  const BYTE *group = resource(IDI_APP, MAKEINTRESOURCEA(14), &size);
  ASSERT_NE(group, nullptr);
  // GRPICONDIR and one 14-byte GRPICONDIRENTRY.
  ASSERT_EQ(size, 6u + 14u);
  template_reader g = {group};
  EXPECT_EQ(g.word(), 0);
  EXPECT_EQ(g.word(), 1);
  EXPECT_EQ(g.word(), 1);
  EXPECT_EQ(g.byte(), 32);
  EXPECT_EQ(g.byte(), 32);
  EXPECT_EQ(g.byte(), 0);
  EXPECT_EQ(g.byte(), 0);
  EXPECT_EQ(g.word(), 1);
  EXPECT_EQ(g.word(), 32);
  EXPECT_EQ(g.dword(), 4264u);
  EXPECT_EQ(g.word(), 1);

  int images = 0;
  EnumResourceNamesA(module_, MAKEINTRESOURCEA(3), count_name,
                     reinterpret_cast<LONG_PTR>(&images));
  EXPECT_EQ(images, 1);
  const BYTE *image = resource(1, MAKEINTRESOURCEA(3), &size);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(size, 4264u);
  BITMAPINFOHEADER header;
  std::memcpy(&header, image, sizeof header);
  EXPECT_EQ(header.biSize, 40u);
  EXPECT_EQ(header.biWidth, 32);
  EXPECT_EQ(header.biHeight, 64); // colour rows and mask rows
  EXPECT_EQ(header.biBitCount, 32);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
}

TEST_F(ResourceTest, ManifestAsksForCommonControls6SystemDpiAndNoElevation) {
  DWORD size = 0;
  // The manifest Windows reads at process start: RT_MANIFEST, id 1.
  const BYTE *bytes = resource(1, MAKEINTRESOURCEA(24), &size);
  ASSERT_NE(bytes, nullptr);
  std::string manifest(reinterpret_cast<const char *>(bytes), size);
  const char *const wanted[] = {
      "<assemblyIdentity type=\"win32\" name=\"Zelkor.Zelkor\" "
      "version=\"" ZELKOR_VERSION ".0\"",
      "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
      "WindowsSettings\">true</dpiAware>",
      // Windows 7, 8, 8.1, and 10 and 11.
      "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",
      "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",
      "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",
      "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
  };
  for (const char *want : wanted) {
    EXPECT_NE(manifest.find(want), std::string::npos) << want;
  }
}

std::wstring version_text(const std::vector<BYTE> &info, const wchar_t *name) {
  std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  void *value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &length)) {
    return L"<none>";
  }
  return static_cast<const wchar_t *>(value);
}

TEST_F(ResourceTest, VersionResourceNamesTheProgramAndTheBuildsVersion) {
  std::string exe = program_path("ZELKOR_EXE");
  DWORD size = GetFileVersionInfoSizeA(exe.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\",
                             reinterpret_cast<void **>(&fixed), &length));
  const DWORD high = MAKELONG(ZELKOR_VERSION_MINOR, ZELKOR_VERSION_MAJOR);
  const DWORD low = MAKELONG(0, ZELKOR_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);

  std::string version = ZELKOR_VERSION;
  std::wstring wide_version(version.begin(), version.end());
  EXPECT_TRUE(version_text(info, L"ProductName") == L"Zelkor");
  EXPECT_TRUE(version_text(info, L"FileDescription") == L"DNS 解析成功率测试");
  EXPECT_TRUE(version_text(info, L"OriginalFilename") == L"zelkor.exe");
  EXPECT_TRUE(version_text(info, L"FileVersion") == wide_version);
  EXPECT_TRUE(version_text(info, L"ProductVersion") == wide_version);
}

// --- The about box in this process, on the program's own template ------------

struct about_box_result {
  INT_PTR result = -2;
  std::string text;
  bool closed_by_escape = false;
};

// Runs the about box modally here while another thread reads its text,
// presses Esc, then closes it with `close`.
about_box_result run_about_box(const DLGTEMPLATE *tmpl,
                               void (*close)(HWND box)) {
  about_box_result out;
  HWND box = nullptr;
  std::thread helper([&] {
    wait_until(APPEAR_MS, [&] {
      box = find_window(GetCurrentProcessId(), "#32770", "关于");
      return box != nullptr;
    });
    if (box == nullptr) {
      return;
    }
    out.text = text_of(GetDlgItem(box, IDC_ABOUT_TEXT));
    HWND button = GetDlgItem(box, IDC_ABOUT_CLOSE);
    PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(button, BM_SETSTATE, TRUE, 0);
    wait_until(SHORT_MS, [&] {
      return (send_to(button, BM_GETSTATE) & BST_PUSHED) != 0;
    });
    out.closed_by_escape = !IsWindow(box);
    close(box);
  });
  out.result = DialogBoxIndirectParamA(GetModuleHandleA(nullptr), tmpl, nullptr,
                                       about_dialog_proc, 0);
  helper.join();
  return out;
}

std::string about_text() {
  return std::string("Zelkor 的一个小工具\r\n\r\n对本机设置DNS 和 ") +
         public_dns_1 + "、" + public_dns_2 + "进行查询，对比";
}

TEST_F(ResourceTest, AboutBoxShowsItsTextAndBothClosesGiveZero) {
  const BYTE *bytes = resource(IDD_ABOUT, MAKEINTRESOURCEA(5));
  ASSERT_NE(bytes, nullptr);
  const DLGTEMPLATE *tmpl = reinterpret_cast<const DLGTEMPLATE *>(bytes);

  about_box_result by_button = run_about_box(tmpl, [](HWND box) {
    PostMessageA(GetDlgItem(box, IDC_ABOUT_CLOSE), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(by_button.result, 0);
  EXPECT_EQ(by_button.text, about_text());
  EXPECT_FALSE(by_button.closed_by_escape);

  about_box_result by_title_bar = run_about_box(
      tmpl, [](HWND box) { PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0); });
  EXPECT_EQ(by_title_bar.result, 0);
  EXPECT_FALSE(by_title_bar.closed_by_escape);
}

TEST(AboutProcedure, OtherCommandsAreNotHandled) {
  HWND nowhere = nullptr;
  EXPECT_EQ(about_dialog_proc(nowhere, WM_COMMAND, IDCANCEL, 0), 0);
  EXPECT_EQ(about_dialog_proc(nowhere, WM_COMMAND, IDOK, 0), 0);
  EXPECT_EQ(about_dialog_proc(nowhere, WM_COMMAND, IDC_ABOUT_TEXT, 0), 0);
  EXPECT_EQ(about_dialog_proc(nowhere, WM_TIMER, 0, 0), 0);
}

// --- The running program -----------------------------------------------------

// The height of a text line in `font` on the screen; the font is released.
int cell_height(HFONT font) {
  HDC screen = GetDC(nullptr);
  HGDIOBJ old = SelectObject(screen, font);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(screen, &metrics);
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  DeleteObject(font);
  return metrics.tmHeight;
}

TEST_F(GuiTest, OpensWithViewLogDisabledAndEmptyTexts) {
  app a;
  start(a);
  EXPECT_EQ(a.run_buttons(), "EED");
  EXPECT_TRUE(a.enabled(IDC_ABOUT));
  EXPECT_EQ(a.percent(), "0%");
  EXPECT_EQ(a.status(), "");
  EXPECT_EQ(a.pane(), "");
  EXPECT_EQ(a.bar(), 0);

  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  ASSERT_TRUE(
      GetGUIThreadInfo(GetWindowThreadProcessId(a.dialog(), nullptr), &gui));
  EXPECT_EQ(gui.hwndFocus, a.item(IDC_START));

  // Its font handle does not cross processes, but its line height does:
  // that of the pane's font, made here alike, not the template's Tahoma 8.
  int pane_height =
      cell_height(CreateFontA(12, 6, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                              ANSI_CHARSET, 0, 0, 0, 0, "新宋体"));
  int template_height = cell_height(
      CreateFontA(-MulDiv(8, 96, 72), 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                  DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma"));
  ASSERT_NE(pane_height, template_height);
  HWND pane = a.item(IDC_OUTPUT);
  send_to(pane, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x\r\ny"));
  LRESULT first_line = send_to(pane, EM_POSFROMCHAR, 0);
  LRESULT second_line = send_to(pane, EM_POSFROMCHAR, 3);
  EXPECT_EQ(GET_Y_LPARAM(second_line) - GET_Y_LPARAM(first_line), pane_height);
}

// The screen's DPI that Wine gives every process started from now on (the
// prefix's LogPixels); back to 96 at the end.
struct screen_dpi {
  explicit screen_dpi(DWORD dpi) {
    set(dpi);
  }
  ~screen_dpi() {
    set(96);
  }
  static void set(DWORD dpi) {
    RegSetKeyValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels",
                    REG_DWORD, &dpi, sizeof dpi);
  }
};

struct window_scale {
  int client_width, client_height, pane_line;
};

// The dialog's client area and the pane's line height, in the program's own
// pixels: Wine maps no sizes between programs of different DPIs.
window_scale measure(const app &a) {
  RECT client = {};
  GetClientRect(a.dialog(), &client);
  HWND pane = a.item(IDC_OUTPUT);
  send_to(pane, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x\r\ny"));
  LRESULT first_line = send_to(pane, EM_POSFROMCHAR, 0);
  LRESULT second_line = send_to(pane, EM_POSFROMCHAR, 3);
  return {client.right, client.bottom,
          GET_Y_LPARAM(second_line) - GET_Y_LPARAM(first_line)};
}

TEST_F(GuiTest, WindowAndPaneFontScaleTogetherWithTheScreensDpi) {
  window_scale at[2];
  const DWORD dpis[2] = {96, 144};
  for (int i = 0; i < 2; i++) {
    screen_dpi dpi(dpis[i]);
    app a;
    start(a);
    at[i] = measure(a);
  }
  // The pane's font: 12 x 6 pixels at 96 DPI, 18 x 9 at 144.
  EXPECT_EQ(at[0].pane_line, cell_height(CreateFontA(
                                 12, 6, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                                 ANSI_CHARSET, 0, 0, 0, 0, "新宋体")));
  EXPECT_EQ(at[1].pane_line, cell_height(CreateFontA(
                                 18, 9, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                                 ANSI_CHARSET, 0, 0, 0, 0, "新宋体")));
  // The dialog units follow the template's font, whose size in pixels is
  // rounded: about one and a half times as big.
  EXPECT_NEAR(1.0 * at[1].client_width / at[0].client_width, 1.5, 0.05);
  EXPECT_NEAR(1.0 * at[1].client_height / at[0].client_height, 1.5, 0.05);
}

// The manifest at work: version 6 of the common controls, which Wine keeps
// in its winsxs folder. (The DPI awareness it declares cannot be seen under
// Wine, which counts every window as per-monitor aware.)
TEST_F(GuiTest, ProgramLoadsCommonControls6) {
  app a;
  start(a);
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, a.id());
  ASSERT_NE(process, nullptr);
  HMODULE modules[256];
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcessModules(process, modules, sizeof modules, &needed));
  std::string loaded;
  for (DWORD i = 0; i < needed / sizeof modules[0] && i < 256; i++) {
    char path[MAX_PATH] = {};
    GetModuleFileNameExA(process, modules[i], path, sizeof path);
    loaded += path;
    loaded += "\n";
  }
  CloseHandle(process);
  for (char &c : loaded) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  EXPECT_NE(loaded.find("common-controls_6595b64144ccf1df_6."),
            std::string::npos)
      << loaded;
}

TEST_F(GuiTest, StartWithoutListOrDefaultFileStartsNoRun) {
  app a;
  start(a);
  a.command(IDC_START);
  EXPECT_EQ(a.status(), NO_LIST_FILE_TEXT);
  EXPECT_EQ(a.run_buttons(), "EED");
  EXPECT_EQ(a.pane(), "");
  EXPECT_EQ(a.bar(), 0);
  EXPECT_FALSE(file_exists(in_work("log.txt")));
  PostMessageA(a.dialog(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(a.exited(SHORT_MS));
  EXPECT_EQ(a.exit_code(), 0u);
  EXPECT_EQ(read_file(out_), "");
  EXPECT_EQ(read_file(err_).rfind("./domains.txt\r\nfopen failed: ", 0), 0u)
      << read_file(err_);
}

TEST_F(GuiTest, DefaultFileOfShortLinesRunsOverNoName) {
  write_file(in_work("domains.txt"), "a\r\n\r\nab\n\nzz");
  app a;
  start(a);
  a.command(IDC_START);
  // The driver sets its own status only after several calls into the
  // window, each queued behind this read.
  EXPECT_EQ(a.status(), NO_NAMES_TEXT);
  ASSERT_TRUE(a.wait_for_finish()) << a.status();
  EXPECT_EQ(a.bar(), 100);
  EXPECT_EQ(a.percent(), "100%");

  std::string log = read_file(in_work("log.txt"));
  EXPECT_EQ(log.rfind(LOG_HEADER, 0), 0u);
  std::string console = read_file(out_);
  std::size_t at = 0;
  for (const std::string &ns : run_nameservers()) {
    std::string begin = "begin to test " + ns + "\r\n";
    std::string total = format("%-20s total: 0/0, ", ns.c_str());
    at = console.find(begin, at);
    ASSERT_NE(at, std::string::npos) << console;
    EXPECT_NE(console.find(total, at), std::string::npos) << ns;
    EXPECT_NE(log.find(total), std::string::npos) << ns;
  }
}

TEST_F(GuiTest, RunReportsToPaneLogAndConsoleThenRunsAgainOnTheSameList) {
  write_file(in_work("domains.txt"), MIXED_LIST);
  app a;
  start(a);
  a.command(IDC_START);
  // The start command itself disables the three buttons; the run lasts
  // over a second (one name answers 300 ms late on each nameserver).
  EXPECT_EQ(a.run_buttons(), "DDD");
  EXPECT_TRUE(a.enabled(IDC_ABOUT));
  ASSERT_TRUE(a.wait_for_finish()) << a.status();

  std::vector<pass_report> passes = mixed_run();
  EXPECT_EQ(a.bar(), 100);
  EXPECT_EQ(a.percent(), "100%");
  EXPECT_EQ(a.pane(), whole_pane(passes));
  EXPECT_EQ(read_file(in_work("log.txt")), whole_log(passes));
  EXPECT_EQ(read_file(out_), whole_console(passes));
  EXPECT_EQ(read_file(err_), "");

  // The loaded list is used again: a changed default file is not read.
  write_file(in_work("domains.txt"), "zelkor:other.example\n");
  ASSERT_TRUE(a.run_to_finish()) << a.status();
  EXPECT_EQ(a.pane(), whole_pane(passes));
  EXPECT_EQ(read_file(in_work("log.txt")), whole_log(passes));
  EXPECT_EQ(read_file(out_), whole_console(passes) + whole_console(passes));
}

TEST_F(GuiTest, CommandsDuringRunAreRefusedAndAboutKeepsTheBarMoving) {
  write_file(in_work("domains.txt"), slow_list());
  app a;
  start(a);
  a.command(IDC_START);
  ASSERT_TRUE(wait_until(SHORT_MS, [&] {
    return a.status() == std::string("Testing namserver ") + LOCAL_1;
  })) << a.status();
  EXPECT_EQ(a.run_buttons(), "DDD");

  // Commands as a stray click or a key would send them, buttons or not.
  a.command(IDC_START);
  EXPECT_EQ(a.status(), std::string("Testing namserver ") + LOCAL_1);
  DWORD_PTR ignored = 0;
  // A chooser, had it opened, would hold this call until it closed.
  EXPECT_NE(SendMessageTimeoutA(a.dialog(), WM_COMMAND,
                                MAKEWPARAM(IDC_READ_DOMAINS, BN_CLICKED), 0,
                                SMTO_ABORTIFHUNG, MESSAGE_MS, &ignored),
            0);
  EXPECT_EQ(find_window(a.id(), "#32770", nullptr, a.dialog()), nullptr);

  // The about box, with its close button; the bar goes on meanwhile.
  a.post_click(IDC_ABOUT);
  HWND box = wait_for_window(a.id(), "#32770", "关于");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(text_of(GetDlgItem(box, IDC_ABOUT_TEXT)), about_text());
  std::set<int> positions;
  std::set<std::string> labels;
  EXPECT_TRUE(wait_until(RUN_MS, [&] {
    positions.insert(a.bar());
    labels.insert(a.percent());
    return positions.size() >= 2 && labels.size() >= 2;
  })) << "the progress display stood still while the about box was open";
  // Esc is no close command.
  PostMessageA(GetDlgItem(box, IDC_ABOUT_CLOSE), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(a.drain_posted());
  EXPECT_TRUE(IsWindow(box));
  PostMessageA(GetDlgItem(box, IDC_ABOUT_CLOSE), BM_CLICK, 0, 0);
  EXPECT_TRUE(wait_until(SHORT_MS, [&] { return !IsWindow(box); }));

  // Again, closed from its title bar.
  a.post_click(IDC_ABOUT);
  box = wait_for_window(a.id(), "#32770", "关于");
  ASSERT_NE(box, nullptr);
  PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(wait_until(SHORT_MS, [&] { return !IsWindow(box); }));

  ASSERT_TRUE(a.wait_for_finish()) << a.status();
  // One run only: four passes, each begun once, the pane never emptied.
  EXPECT_EQ(a.passes_begun(), RUN_PASSES) << read_file(out_);
  EXPECT_EQ(a.pane().rfind("===========================================\r\n"
                           "对 127.0.0.2 进行 DNS 查询结果如下：\r\n",
                           0),
            0u);
}

TEST_F(GuiTest, StartPostedAsTheButtonsComeBackIsCarriedOut) {
  write_file(in_work("domains.txt"), "zelkor:beta.example\n");
  app a;
  start(a);
  a.command(IDC_START);
  // The moment is short: several runs, each started by a click that comes
  // as soon as the start button is enabled again.
  const int runs = 5;
  for (int run = 1; run <= runs; run++) {
    DWORD begin = GetTickCount();
    // Spun, not polled, to be in time.
    while (!a.enabled(IDC_START) && GetTickCount() - begin < RUN_MS) {
    }
    ASSERT_TRUE(a.enabled(IDC_START)) << "run " << run << " did not end";
    PostMessageA(a.dialog(), WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                 reinterpret_cast<LPARAM>(a.item(IDC_START)));
    ASSERT_TRUE(a.drain_posted());
    ASSERT_TRUE(wait_until(SHORT_MS,
                           [&] { return a.passes_begun() > run * RUN_PASSES; }))
        << "the start after run " << run << " was refused";
  }
  ASSERT_TRUE(a.wait_for_finish((runs + 1) * RUN_PASSES)) << a.status();
}

TEST_F(GuiTest, EscapeClosesNeitherWindowAndCancelIsIgnored) {
  app a;
  start(a);
  PostMessageA(a.item(IDC_START), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(a.dialog(), WM_COMMAND, IDCANCEL, 0);
  PostMessageA(a.dialog(), WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(a.drain_posted());
  EXPECT_TRUE(IsWindow(a.dialog()));
  EXPECT_FALSE(a.exited(0));
  EXPECT_EQ(a.run_buttons(), "EED");
}

TEST_F(GuiTest, ClosingDuringRunEndsTheProgramAtOnce) {
  write_file(in_work("domains.txt"), slow_list());
  app a;
  start(a);
  a.command(IDC_START);
  ASSERT_TRUE(wait_until(SHORT_MS, [&] {
    return a.status() == std::string("Testing namserver ") + LOCAL_1;
  })) << a.status();
  PostMessageA(a.dialog(), WM_CLOSE, 0, 0);
  // Well before the run's own end, which is over six seconds away.
  ASSERT_TRUE(a.exited(3000));
  EXPECT_EQ(a.exit_code(), 0u);
  // Unbuffered: what the run had written is in the file.
  EXPECT_EQ(read_file(out_).rfind("begin to test 127.0.0.2\r\n", 0), 0u);
  // The sockets were left to the process's end: no pass was cut short into
  // a report of failures.
  EXPECT_EQ(read_file(in_work("log.txt")), LOG_HEADER);
}

TEST_F(GuiTest, ViewLogOpensTheEditorOnTheRunsLog) {
  write_file(in_work("domains.txt"), "zelkor:beta.example\n");
  app a;
  start(a);
  ASSERT_TRUE(a.run_to_finish()) << a.status();
  EXPECT_TRUE(a.enabled(IDC_VIEW_LOG));
  std::set<HWND> before;
  for (HWND w = FindWindowA("Notepad", nullptr); w != nullptr;
       w = FindWindowExA(nullptr, w, "Notepad", nullptr)) {
    before.insert(w);
  }
  a.command(IDC_VIEW_LOG);
  HWND editor = nullptr;
  ASSERT_TRUE(wait_until(APPEAR_MS, [&] {
    for (HWND w = FindWindowA("Notepad", nullptr); w != nullptr;
         w = FindWindowExA(nullptr, w, "Notepad", nullptr)) {
      if (before.count(w) == 0) {
        editor = w;
      }
    }
    return editor != nullptr;
  }));
  DWORD editor_process = 0;
  GetWindowThreadProcessId(editor, &editor_process);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, editor_process);
  HWND edit = FindWindowExA(editor, nullptr, "Edit", nullptr);
  ASSERT_NE(edit, nullptr);
  std::string shown;
  EXPECT_TRUE(wait_until(SHORT_MS, [&] {
    shown = text_of(edit);
    return !shown.empty();
  }));
  EXPECT_EQ(shown.rfind(LOG_HEADER, 0), 0u) << shown;
  EXPECT_NE(shown.find("127.0.0.2            total: 2/2, 100.0000%"),
            std::string::npos)
      << shown;
  EXPECT_NE(text_of(editor).find("log.txt"), std::string::npos);
  PostMessageA(editor, WM_CLOSE, 0, 0);
  if (process != nullptr) {
    EXPECT_EQ(WaitForSingleObject(process, SHORT_MS), WAIT_OBJECT_0);
    CloseHandle(process);
  }
}

// Types into the chooser's file name box and presses its open button: a
// folder is browsed into, a file is chosen. Wine's box is an edit inside the
// combo box cmb13 (0x47c).
void type_into_chooser(HWND chooser, const std::string &text) {
  HWND combo = GetDlgItem(chooser, 0x47c);
  ASSERT_NE(combo, nullptr);
  HWND edit = FindWindowExA(combo, nullptr, "Edit", nullptr);
  send_to(edit != nullptr ? edit : combo, WM_SETTEXT, 0,
          reinterpret_cast<LPARAM>(text.c_str()));
  PostMessageA(GetDlgItem(chooser, IDOK), BM_CLICK, 0, 0);
}

// Picks `name` in `folder` as a user would: browses into the folder first,
// or, with no folder, types the whole path at once.
void choose_file(const app &a, const std::string &folder,
                 const std::string &name) {
  a.post_click(IDC_READ_DOMAINS);
  HWND chooser = wait_for_window(a.id(), "#32770", nullptr, a.dialog());
  ASSERT_NE(chooser, nullptr) << "no file chooser";
  EXPECT_FALSE(IsWindowEnabled(a.dialog()));
  if (!folder.empty()) {
    type_into_chooser(chooser, folder);
    ASSERT_TRUE(a.drain_posted());
  }
  type_into_chooser(chooser, name);
  EXPECT_TRUE(wait_until(SHORT_MS, [&] { return !IsWindow(chooser); }));
}

void cancel_chooser(const app &a) {
  a.post_click(IDC_READ_DOMAINS);
  HWND chooser = wait_for_window(a.id(), "#32770", nullptr, a.dialog());
  ASSERT_NE(chooser, nullptr) << "no file chooser";
  PostMessageA(GetDlgItem(chooser, IDCANCEL), BM_CLICK, 0, 0);
  EXPECT_TRUE(wait_until(SHORT_MS, [&] { return !IsWindow(chooser); }));
  EXPECT_TRUE(
      wait_until(SHORT_MS, [&] { return IsWindowEnabled(a.dialog()); }));
}

TEST_F(GuiTest, ChosenListIsRunAndTheCurrentDirectoryFollowsTheChooser) {
  std::string other = base_ + "\\other";
  CreateDirectoryA(other.c_str(), nullptr);
  write_file(other + "\\list.txt", MIXED_LIST);
  app a;
  start(a);
  choose_file(a, other, "list.txt");
  EXPECT_TRUE(wait_until(SHORT_MS, [&] {
    return a.status() == READ_DONE_TEXT;
  })) << a.status();
  EXPECT_EQ(a.run_buttons(), "EED");
  ASSERT_TRUE(a.run_to_finish()) << a.status();
  std::vector<pass_report> passes = mixed_run();
  EXPECT_EQ(a.pane(), whole_pane(passes));
  // "./log.txt" is now in the chooser's folder.
  EXPECT_EQ(read_file(other + "\\log.txt"), whole_log(passes));
  EXPECT_FALSE(file_exists(in_work("log.txt")));

  // Cancelled: list, status and buttons stay as they were.
  cancel_chooser(a);
  EXPECT_EQ(a.status(), "Finish.");
  EXPECT_EQ(a.run_buttons(), "EEE");
  ASSERT_TRUE(a.run_to_finish()) << a.status();
  EXPECT_EQ(a.pane(), whole_pane(passes));
}

// Item `index` of another process's combo box. Wine hands it over as UTF-16
// whichever way it is asked.
std::wstring combo_item(HWND combo, int index) {
  wchar_t text[256] = {};
  DWORD_PTR length = 0;
  SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                      reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      MESSAGE_MS, &length);
  return text;
}

// What the chooser shows of the record the program fills in. Its default
// extension cannot be seen under Wine, which looks for a typed name without
// extension as it is ("文件不存在") before it would add one.
TEST_F(GuiTest, ChooserOpensInTheCurrentFolderWithTextFilesSelected) {
  app a;
  start(a);
  a.post_click(IDC_READ_DOMAINS);
  HWND chooser = wait_for_window(a.id(), "#32770", nullptr, a.dialog());
  ASSERT_NE(chooser, nullptr) << "no file chooser";
  // The file type box, cmb1 (0x470): both filters, the first selected.
  HWND types = GetDlgItem(chooser, 0x470);
  EXPECT_EQ(send_to(types, CB_GETCOUNT), 2);
  EXPECT_TRUE(combo_item(types, 0) == L"文本文件 (*.txt)");
  EXPECT_TRUE(combo_item(types, 1) == L"All Files (*.*)");
  EXPECT_EQ(send_to(types, CB_GETCURSEL), 0);
  // The look-in box, cmb2 (0x471): no initial directory, so the current one.
  EXPECT_EQ(text_of(GetDlgItem(chooser, 0x471)), "work");
  // The read-only box, chx1 (0x410), is hidden.
  HWND read_only = GetDlgItem(chooser, 0x410);
  EXPECT_TRUE(read_only == nullptr || !IsWindowVisible(read_only));
  PostMessageA(GetDlgItem(chooser, IDCANCEL), BM_CLICK, 0, 0);
  EXPECT_TRUE(wait_until(SHORT_MS, [&] { return !IsWindow(chooser); }));
}

TEST_F(GuiTest, ChosenListWithoutNamesSendsStartBackToTheDefaultFile) {
  write_file(in_work("domains.txt"), "zelkor:beta.example\n");
  write_file(in_work("short.txt"), "x\nyy\n");
  app a;
  start(a);
  ASSERT_TRUE(a.run_to_finish()) << a.status();
  std::string report = a.pane();
  ASSERT_NE(report, "");

  choose_file(a, "", in_work("short.txt"));
  EXPECT_TRUE(wait_until(SHORT_MS, [&] {
    return a.status() == READ_DONE_TEXT;
  })) << a.status();
  // The list is empty, so a start reads "./domains.txt", which is gone now.
  DeleteFileA(in_work("domains.txt").c_str());
  a.command(IDC_START);
  EXPECT_EQ(a.status(), NO_LIST_FILE_TEXT);
  EXPECT_EQ(a.run_buttons(), "EEE");
  EXPECT_EQ(a.pane(), report);
  EXPECT_NE(read_file(err_).find("./domains.txt\r\nfopen failed: "),
            std::string::npos);
}

TEST_F(GuiTest, WithoutSocketsStartSaysSoAndRunsNothing) {
  std::string nosock = program_path("ZELKOR_NOSOCK_EXE");
  ASSERT_FALSE(nosock.empty()) << "ZELKOR_NOSOCK_EXE names no program";
  write_file(in_work("domains.txt"), "zelkor:beta.example\n");
  app a;
  ASSERT_TRUE(a.start(nosock, work_, out_, err_, false))
      << "no Zelkor dialog appeared";
  // The rest of the initialisation did not run.
  EXPECT_EQ(read_file(err_), text_mode("init win sock failed\n"));
  EXPECT_EQ(a.percent(), "");
  EXPECT_EQ(a.run_buttons(), "EEE");
  a.command(IDC_START);
  EXPECT_EQ(a.status(), NO_SOCKETS_TEXT);
  EXPECT_EQ(a.run_buttons(), "EEE");
  EXPECT_EQ(a.pane(), "");
  EXPECT_FALSE(file_exists(in_work("log.txt")));
  PostMessageA(a.dialog(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(a.exited(SHORT_MS));
  EXPECT_EQ(a.exit_code(), 0u);
  EXPECT_EQ(read_file(out_), "");
}

} // namespace
