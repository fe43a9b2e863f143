// Progress on standard error: a line a pass, plain or redrawn in place.
#include "cli/progress.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/probe.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum {
  BAR_MIN = 10,
  BAR_MAX = 30,
  // The line without its bar: "[16/16] 255.255.255.255 [] 100%
  // 2048/2048  ok 100.0%  9999.9s" and a margin, so it never wraps.
  LINE_FIXED = 66,
  LINE_SIZE = 256,
};

const char *plural(int n) {
  return n == 1 ? "" : "s";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

int bar_width(void) {
  winsize size{};
  int columns = 80;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    columns = size.ws_col;
  int width = columns - LINE_FIXED;
  return width < BAR_MIN ? BAR_MIN : width > BAR_MAX ? BAR_MAX : width;
}

// "[1/3] 127.0.0.22      checking 64 with the authoritative servers  12/64"
void format_checking(char *line, int index, int count, const char *ns,
                     int checked, int total) {
  std::snprintf(line, LINE_SIZE,
                "[%d/%d] %-15s checking %d with the authoritative servers  "
                "%d/%d",
                index + 1, count, shown_text(ns, LINE_SIZE / 2).c_str(), total,
                checked, total);
}

} // namespace

void progress::note_diagnostic(const std::string &text) {
  for (int i = 0; i < diagnostic_count; ++i) {
    if (diagnostics[i].text == text) {
      ++diagnostics[i].repeats;
      return;
    }
  }
  if (diagnostic_count < MAX_DIAGNOSTICS)
    diagnostics[diagnostic_count++] = diagnostic{text, 0};
  std::fprintf(stderr, "%szelkor: %s\n", line_open ? "\r\033[K" : "",
               shown_text(text).c_str());
  line_open = false;
}

// "[2/4] 223.5.5.5       [#####-----]  50%  1024/2048  ok 99.8%  1.2s"
void progress::format_line(char *line, int index, int count, const char *ns,
                           int d, int ok, double seconds) {
  int percent = domains_per_pass > 0 ? d * 100 / domains_per_pass : 100;
  char bar[BAR_MAX + 1] = {};
  int width = bar_width();
  int filled = width * percent / 100;
  for (int i = 0; i < width; ++i)
    bar[i] = i < filled ? '#' : '-';
  char rate[16] = "  --  ";
  if (d > 0)
    std::snprintf(rate, sizeof rate, "%5.1f%%", 100.0 * ok / (2.0 * d));
  std::snprintf(line, LINE_SIZE,
                "[%d/%d] %-15s [%s] %3d%%  %d/%d  ok %s  %.1fs", index + 1,
                count, shown_text(ns, LINE_SIZE / 2).c_str(), bar, percent, d,
                domains_per_pass, rate, seconds);
}

void progress::plain_start(int index, int count, const char *ns) {
  std::fprintf(stderr, "[%d/%d] %s: testing %d domain%s\n", index + 1, count,
               shown_text(ns).c_str(), domains_per_pass,
               plural(domains_per_pass));
}

// The pass kept in `slot`: in order, but a stop may leave gaps.
int progress::index_of_slot(int slot) {
  std::lock_guard<std::mutex> hold(state_lock);
  int index = 0;
  while (index + 1 < pass_total &&
         pass_states[static_cast<std::size_t>(index)].kept_slot.load() != slot)
    ++index;
  return index;
}

void progress::plain_end(int slot, int count) {
  const kept_pass &pass = r.passes[static_cast<std::size_t>(slot)];
  const int index = index_of_slot(slot);
  std::fprintf(stderr,
               "[%d/%d] %s: done, %d of %d probed names resolved in %.1fs\n",
               index + 1, count, shown_text(pass.result.ns).c_str(),
               pass.total.ok, pass.total.probed, pass.result.seconds);
}

// Side by side, the block of live lines is taken off the screen. Under
// draw_lock.
void progress::erase_block() {
  if (block_shown > 0)
    std::fprintf(stderr, "\033[%dA\033[J", block_shown);
  block_shown = 0;
}

void progress::pass_started(int index, int count, const char *ns) {
  {
    std::lock_guard<std::mutex> hold(state_lock);
    if (index == 0) {
      pass_total = count;
      pass_states.reset(new pass_state[static_cast<std::size_t>(count)]);
    }
    pass_state &state = pass_states[static_cast<std::size_t>(index)];
    state.ns = ns;
    state.start = clock_type::now();
  }
  started.store(index + 1);
}

void progress::checking(int index, int checked, int total) {
  pass_state *state = state_of(index);
  state->checks_done.store(checked);
  state->checks_total.store(total);
}

void progress::line_done(int index, const line_probes *line) {
  pass_state *state = state_of(index);
  state->names_ok.fetch_add((line->bare.outcome == PROBE_OK) +
                            (line->www.outcome == PROBE_OK));
  if (state->done.fetch_add(1) + 1 == domains_per_pass)
    state->probed_ms.store(
        static_cast<int>(1000.0 * seconds_since(state->start)));
}

void progress::pass_kept(int index) {
  const int slot = finished.load();
  state_of(index)->kept_slot.store(slot);
  finished.store(slot + 1);
}

void progress::say(const char *fmt, ...) {
  char text[LINE_SIZE];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(draw_lock);
  // What the run has done so far is shown first, so that a message stands
  // under the pass it is about; side by side, above the block, which comes
  // back under it.
  draw_progress();
  erase_block();
  note_diagnostic(text);
  if (side_by_side)
    draw_progress();
  std::fflush(stderr);
}

int progress::pass_count() {
  std::lock_guard<std::mutex> hold(state_lock);
  return pass_total;
}

progress::progress(int progress_mode, int usable, bool all_at_once,
                   const run_results *results)
    : mode(progress_mode), domains_per_pass(usable), side_by_side(all_at_once),
      r(*results) {}

progress::pass_state *progress::state_of(int index) {
  std::lock_guard<std::mutex> hold(state_lock);
  return &pass_states[static_cast<std::size_t>(index)];
}

void progress::tick() {
  std::lock_guard<std::mutex> drawing(draw_lock);
  draw_progress();
}

// A pass's live line: kept, checking, or probing.
void progress::pass_line(char *line, int index, int count) {
  const pass_state *state = state_of(index);
  const char *ns = state->ns.c_str();
  const int slot = state->kept_slot.load();
  if (slot >= 0) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(slot)];
    format_line(line, index, count, ns, pass.total.lines, pass.total.ok,
                pass.result.seconds);
  } else if (state->checks_total.load() >= 0) {
    format_checking(line, index, count, ns, state->checks_done.load(),
                    state->checks_total.load());
  } else {
    const int probed_ms = state->probed_ms.load();
    format_line(
        line, index, count, ns, state->done.load(), state->names_ok.load(),
        probed_ms >= 0 ? probed_ms / 1000.0 : seconds_since(state->start));
  }
}

// Side by side: every start at once and each end as it is kept (plain);
// on a terminal, a line a pass, all redrawn in place.
void progress::draw_side_by_side(int now_started, int now_finished, int count) {
  if (mode == PROGRESS_PLAIN) {
    for (; shown_started < now_started; ++shown_started)
      plain_start(shown_started, count, state_of(shown_started)->ns.c_str());
    for (; shown_finished < now_finished; ++shown_finished)
      plain_end(shown_finished, count);
  } else {
    erase_block();
    char line[LINE_SIZE];
    for (int i = 0; i < now_started; ++i) {
      pass_line(line, i, count);
      std::fprintf(stderr, "%s\n", line);
    }
    block_shown = now_started;
  }
  std::fflush(stderr);
}

// Under draw_lock.
void progress::draw_progress() {
  if (mode == PROGRESS_NONE)
    return;
  // Draw each event in order, even those a fast pass made between two
  // ticks.
  const int now_finished = finished.load();
  const int now_started = started.load();
  int count;
  {
    std::lock_guard<std::mutex> hold(state_lock);
    count = pass_total;
  }
  if (side_by_side) {
    draw_side_by_side(now_started, now_finished, count);
    return;
  }
  char line[LINE_SIZE];
  while (shown_finished < now_finished) {
    const int slot = shown_finished;
    const int i = index_of_slot(slot);
    const kept_pass &pass = r.passes[static_cast<std::size_t>(slot)];
    if (shown_started <= i) {
      if (mode == PROGRESS_PLAIN)
        plain_start(i, count, pass.result.ns.c_str());
      shown_started = i + 1;
    }
    if (mode == PROGRESS_PLAIN) {
      plain_end(slot, count);
    } else {
      format_line(line, i, count, pass.result.ns.c_str(), pass.total.lines,
                  pass.total.ok, pass.result.seconds);
      std::fprintf(stderr, "\r\033[K%s\n", line);
      line_open = false;
    }
    ++shown_finished;
  }
  // The oldest pass not yet kept: its probes, or its checks while a later
  // pass probes, so that the lines stay in order.
  if (now_started > shown_finished) {
    const int i = shown_finished;
    if (mode == PROGRESS_PLAIN) {
      if (shown_started <= i)
        plain_start(i, count, state_of(i)->ns.c_str());
    } else {
      pass_line(line, i, count);
      std::fprintf(stderr, "\r\033[K%s", line);
      line_open = true;
    }
    shown_started = i + 1;
  }
  std::fflush(stderr);
}

void progress::end() {
  tick();
  std::lock_guard<std::mutex> drawing(draw_lock);
  block_shown = 0; // the block stays as it was last drawn
  if (line_open) {
    std::fputc('\n', stderr);
    line_open = false;
  }
  for (int i = 0; i < diagnostic_count; ++i) {
    if (diagnostics[i].repeats > 0)
      std::fprintf(stderr, "zelkor: %s (%d more time%s)\n",
                   shown_text(diagnostics[i].text).c_str(),
                   diagnostics[i].repeats, plural(diagnostics[i].repeats));
  }
  std::fflush(stderr);
}
