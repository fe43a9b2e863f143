#include "tests/support/window_double.h"

#include "res/resource.h"
#include "ui/channel.h"
#include "ui/window_ops.h"

#include <deque>
#include <map>
#include <mutex>

namespace {

std::mutex double_lock;
std::vector<window_call> calls;
std::deque<window_call> queued;
std::map<int, std::string> texts;
std::map<int, bool> enabled;
int bar_pos;
std::intptr_t bar_range;

window_call make_call(const char *op, int id) {
  window_call c{};
  c.op = op;
  c.id = id;
  c.thread = std::this_thread::get_id();
  return c;
}

} // namespace

void window_set_text(int id, const char *text) {
  std::lock_guard<std::mutex> hold(double_lock);
  window_call c = make_call("text", id);
  c.text = text ? text : "";
  texts[id] = c.text;
  calls.push_back(c);
}

void window_enable(int id, bool flag) {
  std::lock_guard<std::mutex> hold(double_lock);
  window_call c = make_call("enable", id);
  c.wparam = flag ? 1 : 0;
  enabled[id] = flag;
  calls.push_back(c);
}

void window_send(int id, unsigned message, std::uintptr_t wparam,
                 std::intptr_t lparam) {
  std::lock_guard<std::mutex> hold(double_lock);
  window_call c = make_call("send", id);
  c.message = message;
  c.wparam = wparam;
  c.lparam = lparam;
  if (id == IDC_PROGRESS && message == PBM_SETPOS_MSG)
    bar_pos = static_cast<int>(wparam);
  if (id == IDC_PROGRESS && message == PBM_SETRANGE_MSG)
    bar_range = lparam;
  calls.push_back(c);
}

void window_post(unsigned message, std::uintptr_t wparam,
                 std::intptr_t lparam) {
  std::lock_guard<std::mutex> hold(double_lock);
  window_call c = make_call("post", 0);
  c.message = message;
  c.wparam = wparam;
  c.lparam = lparam;
  calls.push_back(c);
  queued.push_back(c);
}

void window_double_reset(void) {
  std::lock_guard<std::mutex> hold(double_lock);
  calls.clear();
  queued.clear();
  texts.clear();
  enabled.clear();
  bar_pos = 0;
  bar_range = 0;
}

std::vector<window_call> window_calls(void) {
  std::lock_guard<std::mutex> hold(double_lock);
  return calls;
}

std::vector<int> window_drain(void) {
  std::vector<int> shown;
  for (;;) {
    window_call c;
    {
      std::lock_guard<std::mutex> hold(double_lock);
      if (queued.empty())
        break;
      c = queued.front();
      queued.pop_front();
    }
    if (c.message == WM_TEST_PROGRESS) {
      show_progress(static_cast<int>(c.wparam));
      shown.push_back(static_cast<int>(c.wparam));
    }
  }
  return shown;
}

std::size_t window_queued(void) {
  std::lock_guard<std::mutex> hold(double_lock);
  return queued.size();
}

std::string window_text(int id) {
  std::lock_guard<std::mutex> hold(double_lock);
  auto it = texts.find(id);
  return it == texts.end() ? std::string() : it->second;
}

bool window_enabled(int id) {
  std::lock_guard<std::mutex> hold(double_lock);
  auto it = enabled.find(id);
  return it == enabled.end() ? true : it->second;
}

int window_bar_pos(void) {
  std::lock_guard<std::mutex> hold(double_lock);
  return bar_pos;
}

std::intptr_t window_bar_range(void) {
  std::lock_guard<std::mutex> hold(double_lock);
  return bar_range;
}
