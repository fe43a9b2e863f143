// Progress on standard error, and the results table.
#include "cli/display.h"

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

typedef std::chrono::steady_clock clock_type;

enum {
  BAR_MIN = 10,
  BAR_MAX = 30,
  // The line without its bar: "[16/16] 255.255.255.255 [] 100%
  // 2048/2048  ok 100.0%  9999.9s" and a margin, so it never wraps.
  LINE_FIXED = 66,
  LINE_SIZE = 256,
};

int mode = PROGRESS_NONE;
int domains_per_pass;

// What the run tells of one pass, for the main thread. Its checks may
// run while the next pass probes.
struct pass_state {
  std::string ns;               // set before `started` counts the pass
  clock_type::time_point start; // likewise
  std::atomic<int> done{0};     // domains probed
  std::atomic<int> names_ok{0}; // resolved names
  // Its checks: how many there are (-1 until its probes have ended), and
  // how many have ended.
  std::atomic<int> checks_total{-1};
  std::atomic<int> checks_done{0};
  std::atomic<int> kept_slot{-1}; // where it was kept (cli/results.h)
  std::atomic<int> probed_ms{-1}; // when its probes ended, since start
};

std::mutex state_lock;
int pass_total;                            // under state_lock
std::unique_ptr<pass_state[]> pass_states; // pass_total; under state_lock
std::atomic<int> started{0};               // passes begun
std::atomic<int> finished{0};              // passes kept
// The passes run side by side: one line each, all moving.
bool side_by_side;

pass_state *state_of(int index) {
  std::lock_guard<std::mutex> hold(state_lock);
  return &pass_states[static_cast<std::size_t>(index)];
}

// Standard error: the main thread's progress lines, and diagnostics from
// any thread.
std::mutex draw_lock;

// What the main thread has drawn.
int shown_started;
int shown_finished;
bool line_open;  // a live line without its newline yet; under draw_lock
int block_shown; // side by side, the lines of the block on screen

enum {
  // Distinct diagnostics kept; any further ones are shown and not counted.
  MAX_DIAGNOSTICS = 16,
};

struct diagnostic {
  std::string text;
  int repeats;
};

diagnostic diagnostics[MAX_DIAGNOSTICS]; // under draw_lock
int diagnostic_count;                    // under draw_lock

void note_diagnostic(const std::string &text) {
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

const char *plural(int n) {
  return n == 1 ? "" : "s";
}

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

int bar_width(void) {
  winsize size{};
  int columns = 80;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    columns = size.ws_col;
  int width = columns - LINE_FIXED;
  return width < BAR_MIN ? BAR_MIN : width > BAR_MAX ? BAR_MAX : width;
}

// "[2/4] 223.5.5.5       [#####-----]  50%  1024/2048  ok 99.8%  1.2s"
void format_line(char *line, int index, int count, const char *ns, int d,
                 int ok, double seconds) {
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

// "[1/3] 127.0.0.22      checking 64 with the authoritative servers  12/64"
void format_checking(char *line, int index, int count, const char *ns,
                     int checked, int total) {
  std::snprintf(line, LINE_SIZE,
                "[%d/%d] %-15s checking %d with the authoritative servers  "
                "%d/%d",
                index + 1, count, shown_text(ns, LINE_SIZE / 2).c_str(), total,
                checked, total);
}

void plain_start(int index, int count, const char *ns) {
  std::fprintf(stderr, "[%d/%d] %s: testing %d domain%s\n", index + 1, count,
               shown_text(ns).c_str(), domains_per_pass,
               plural(domains_per_pass));
}

// The pass kept in `slot`: in order, but a stop may leave gaps.
int index_of_slot(int slot) {
  std::lock_guard<std::mutex> hold(state_lock);
  int index = 0;
  while (index + 1 < pass_total &&
         pass_states[static_cast<std::size_t>(index)].kept_slot.load() != slot)
    ++index;
  return index;
}

void plain_end(int slot, int count) {
  const kept_pass &pass = passes[static_cast<std::size_t>(slot)];
  const int index = index_of_slot(slot);
  std::fprintf(stderr,
               "[%d/%d] %s: done, %d of %d probed names resolved in %.1fs\n",
               index + 1, count, shown_text(pass.result.ns).c_str(),
               pass.total.ok, pass.total.probed, pass.result.seconds);
}

void draw_progress(void);

// Side by side, the block of live lines is taken off the screen. Under
// draw_lock.
void erase_block(void) {
  if (block_shown > 0)
    std::fprintf(stderr, "\033[%dA\033[J", block_shown);
  block_shown = 0;
}

} // namespace

void display_pass_started(int index, int count, const char *ns) {
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

void display_checking(int index, int checked, int total) {
  pass_state *state = state_of(index);
  state->checks_done.store(checked);
  state->checks_total.store(total);
}

void display_line_done(int index, const line_probes *line) {
  pass_state *state = state_of(index);
  state->names_ok.fetch_add((line->bare.outcome == PROBE_OK) +
                            (line->www.outcome == PROBE_OK));
  if (state->done.fetch_add(1) + 1 == domains_per_pass)
    state->probed_ms.store(
        static_cast<int>(1000.0 * seconds_since(state->start)));
}

void display_pass_kept(int index) {
  const int slot = finished.load();
  state_of(index)->kept_slot.store(slot);
  finished.store(slot + 1);
}

void display_say(const char *fmt, ...) {
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

int display_pass_count(void) {
  std::lock_guard<std::mutex> hold(state_lock);
  return pass_total;
}

void display_begin(int progress_mode, int usable, bool all_at_once) {
  mode = progress_mode;
  domains_per_pass = usable;
  side_by_side = all_at_once;
}

void display_tick(void) {
  std::lock_guard<std::mutex> drawing(draw_lock);
  draw_progress();
}

namespace {

// A pass's live line: kept, checking, or probing.
void pass_line(char *line, int index, int count) {
  const pass_state *state = state_of(index);
  const char *ns = state->ns.c_str();
  const int slot = state->kept_slot.load();
  if (slot >= 0) {
    const kept_pass &pass = passes[static_cast<std::size_t>(slot)];
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
void draw_side_by_side(int now_started, int now_finished, int count) {
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
void draw_progress(void) {
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
    const kept_pass &pass = passes[static_cast<std::size_t>(slot)];
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

} // namespace

void display_end(void) {
  display_tick();
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

namespace {

enum {
  LABEL_WIDTH = 12,
  CELL_WIDTH = 17, // "100.0%" and " 1234.5 ms"
  CELL_GAP = 2,
};

// Green from 99%, yellow from 90%, red below.
const char *rate_colour(double rate) {
  if (!(rate >= 90.0))
    return "\033[31m";
  return rate >= 99.0 ? "\033[32m" : "\033[33m";
}

// "  100.0%    0.05 ms": the gap, then the cell; colour around the rate
// alone, so that the columns line up either way.
void print_cell(std::FILE *out, double rate, double ms, bool colour) {
  std::fprintf(out, "%*s", CELL_GAP, "");
  char rate_text[16];
  if (std::isnan(rate))
    std::snprintf(rate_text, sizeof rate_text, "%6s", "-");
  else
    std::snprintf(rate_text, sizeof rate_text, "%5.1f%%", rate);
  if (colour && !std::isnan(rate))
    std::fprintf(out, "%s%s\033[0m", rate_colour(rate), rate_text);
  else
    std::fputs(rate_text, out);
  std::fprintf(out, " %10s", ms_text(ms).c_str());
}

// A name for a table cell, as the terminal shows it, and its width.
struct cell_name {
  std::string text; // escaped and cut, still UTF-8
  int columns;
};

cell_name cell_of(const std::string &bytes, int limit) {
  cell_name c;
  c.text = escaped_utf8(bytes, limit);
  c.columns = text_columns(c.text);
  return c;
}

// Every kept nameserver's name whole, and *width widened to the longest
// and a blank.
std::vector<cell_name> nameserver_cells(int *width) {
  std::vector<cell_name> names;
  for (int p = 0; p < passes_done(); ++p) {
    names.push_back(cell_of(passes[static_cast<std::size_t>(p)].result.ns, 0));
    *width = std::max(*width, names.back().columns + 1);
  }
  return names;
}

// The name, then blanks up to `width` columns.
void put_padded(std::FILE *out, const cell_name &name, int width) {
  std::fputs(terminal_utf8(name.text).c_str(), out);
  std::fprintf(out, "%*s", std::max(0, width - name.columns), "");
}

} // namespace

void print_table(std::FILE *out, bool colour) {
  const int done_passes = passes_done();
  if (done_passes == 0)
    return;
  // A name wider than the screen is cut; files keep it whole. On a
  // terminal a tag leaves room for the first column beside it.
  const int limit = name_columns(fileno(out));
  const int label_limit =
      isatty(fileno(out))
          ? std::max<int>(LABEL_WIDTH, limit - CELL_GAP - CELL_WIDTH - 2)
          : limit;
  std::vector<cell_name> labels;
  int label_width = LABEL_WIDTH;
  for (int row = 0; row < provider_rows(); ++row) {
    labels.push_back(cell_of(provider_name(row), label_limit));
    label_width = std::max(label_width, labels.back().columns + 2);
  }
  // A column as wide as its cells or its nameserver's name, whichever is
  // wider; the last one is not padded.
  std::vector<cell_name> heads;
  std::vector<int> pad(static_cast<std::size_t>(done_passes), 0);
  for (int p = 0; p < done_passes; ++p) {
    heads.push_back(
        cell_of(passes[static_cast<std::size_t>(p)].result.ns, limit));
    if (p + 1 < done_passes)
      pad[static_cast<std::size_t>(p)] =
          std::max(0, heads.back().columns - CELL_WIDTH);
  }
  const auto end_cell = [&](int p) {
    std::fprintf(out, "%*s", pad[static_cast<std::size_t>(p)], "");
  };
  std::fprintf(out, "%-*s", label_width, "provider");
  for (int p = 0; p < done_passes; ++p) {
    std::fprintf(out, "%*s", CELL_GAP, "");
    put_padded(out, heads[static_cast<std::size_t>(p)],
               p + 1 < done_passes ? CELL_WIDTH : 0);
  }
  std::fputc('\n', out);
  for (int row = 0; row < provider_rows(); ++row) {
    bool any = false;
    for (int p = 0; p < done_passes && !any; ++p)
      any = figures_of(&passes[static_cast<std::size_t>(p)], row).lines > 0;
    // Providers the list does not name would only be dashes.
    if (!any)
      continue;
    put_padded(out, labels[static_cast<std::size_t>(row)], label_width);
    for (int p = 0; p < done_passes; ++p) {
      const row_figures &f =
          figures_of(&passes[static_cast<std::size_t>(p)], row);
      print_cell(out, f.rate, f.median_ms, colour);
      end_cell(p);
    }
    std::fputc('\n', out);
  }
  std::fprintf(out, "%-*s", label_width, "total");
  for (int p = 0; p < done_passes; ++p) {
    const kept_pass &pass = passes[static_cast<std::size_t>(p)];
    int ok, count;
    print_cell(out, total_rate(&pass, &ok, &count), pass.total.median_ms,
               colour);
    end_cell(p);
  }
  std::fputc('\n', out);
  // The median connection set-up (TCP, TLS, HTTP/2) under each nameserver
  // that has connections.
  bool streams = false;
  for (int p = 0; p < done_passes; ++p)
    streams =
        streams ||
        !passes[static_cast<std::size_t>(p)].result.stream.setup_us.empty();
  // A row of medians alone, one under each nameserver.
  const auto ms_row = [&](const char *label,
                          double (*ms_of)(const kept_pass &)) {
    std::fprintf(out, "%-*s", label_width, label);
    for (int p = 0; p < done_passes; ++p) {
      const std::string ms =
          ms_text(ms_of(passes[static_cast<std::size_t>(p)]));
      std::fprintf(out, "%*s%6s %10s", CELL_GAP, "", "", ms.c_str());
      end_cell(p);
    }
    std::fputc('\n', out);
  };
  if (streams)
    ms_row("setup", [](const kept_pass &k) {
      return setup_ms(k.result.stream.setup_us, 50.0);
    });
  // With rounds, the median of the first asks (cold) and of the later ones
  // (warm).
  if (!passes[0].result.rounds.empty()) {
    ms_row("cold", [](const kept_pass &k) { return k.total.cold_median_ms; });
    ms_row("warm", [](const kept_pass &k) { return k.total.warm_median_ms; });
  }
  std::fputc('\n', out);
  // Each nameserver's total as the window's pane words it, the names whole
  // and the figures in line after the longest.
  int name_width = 16;
  const std::vector<cell_name> names = nameserver_cells(&name_width);
  for (int p = 0; p < done_passes; ++p) {
    const kept_pass &pass = passes[static_cast<std::size_t>(p)];
    int ok, count;
    double rate = total_rate(&pass, &ok, &count);
    char figures[LINE_SIZE];
    std::snprintf(figures, sizeof figures, "成功率: %3.4f%% (%d/%d)", rate, ok,
                  count);
    std::fputs("DNS ", out);
    put_padded(out, names[static_cast<std::size_t>(p)], name_width);
    std::fprintf(out, "%s\n", terminal_text(figures).c_str());
  }
  // Those totals are the log's, over every list line; the progress and the
  // provider rows count the probed names alone.
  const std::size_t counted = results_list->lines.size();
  const std::size_t unprobed = counted - results_list->probed;
  if (unprobed > 0)
    std::fprintf(out,
                 "The totals count all %zu list lines; %zu had no known "
                 "provider and were not probed.\n",
                 counted, unprobed);
}

namespace {

enum {
  // Answered names of each kind, cold and warm, before a cache is judged.
  NO_CACHE_SAMPLES = 20,
};
// Warm asks within 20 % of the cold ones' median: no cache serves them.
const double NO_CACHE_RATIO = 0.8;

bool serves_nothing_warm(const row_figures &total) {
  return total.warm_replied >= NO_CACHE_SAMPLES &&
         total.replied - total.warm_replied >= NO_CACHE_SAMPLES &&
         total.warm_median_ms >= NO_CACHE_RATIO * total.cold_median_ms;
}

} // namespace

void print_redirects(std::FILE *out) {
  for (int p = 0; p < passes_done(); ++p) {
    const kept_pass &kept = passes[static_cast<std::size_t>(p)];
    const pass_result &pass = kept.result;
    const int races = static_cast<int>(pass.races.size());
    if (races > 0)
      std::fprintf(out,
                   "%s gave %d probe%s replies that disagree (suspect: a "
                   "reply may be forged)\n",
                   shown_text(pass.ns).c_str(), races, races == 1 ? "" : "s");
    const int bogons = static_cast<int>(pass.bogons.size());
    if (bogons > 0)
      std::fprintf(out,
                   "%s answered %d probe%s with a private address where the "
                   "name's servers give public ones (suspect: bogon)\n",
                   shown_text(pass.ns).c_str(), bogons, bogons == 1 ? "" : "s");
    if (serves_nothing_warm(kept.total))
      std::fprintf(out,
                   "%s answered the second asks as slowly as the first: no "
                   "cache seems to serve them\n",
                   shown_text(pass.ns).c_str());
    if (pass.nx.verdict != NX_HIJACK)
      continue;
    const int redirected = kept.total.errors[RUN_ERROR_REDIRECTED];
    std::fprintf(out,
                 "%s redirects names that do not exist to %s (%d probe%s "
                 "redirected)\n",
                 shown_text(pass.ns).c_str(),
                 shown_text(joined(pass.nx.addrs, ", ")).c_str(), redirected,
                 redirected == 1 ? "" : "s");
  }
}

void print_authority(std::FILE *out) {
  const int done_passes = passes_done();
  if (!results_checks || done_passes == 0)
    return;
  bool any = false;
  for (int p = 0; p < done_passes; ++p) {
    const int *v = passes[static_cast<std::size_t>(p)].total.verdicts;
    for (int k = VERDICT_RESOLVER; k <= VERDICT_NOT_CHECKED; ++k)
      any = any || v[k] > 0;
  }
  if (!any)
    return;
  std::fputs("\nWhere the failures lie (checked against the authoritative "
             "servers):\n",
             out);
  // The names whole, the figures in line after the longest.
  int name_width = 0;
  const std::vector<cell_name> names = nameserver_cells(&name_width);
  for (int p = 0; p < done_passes; ++p) {
    const kept_pass &pass = passes[static_cast<std::size_t>(p)];
    const int *v = pass.total.verdicts;
    std::fputs("  ", out);
    put_padded(out, names[static_cast<std::size_t>(p)], name_width);
    std::string line = std::to_string(v[VERDICT_RESOLVER]) +
                       " with the nameserver, " +
                       std::to_string(v[VERDICT_AUTHORITY]) +
                       " with the providers' servers, " +
                       std::to_string(v[VERDICT_PARTIAL]) + " partly";
    if (v[VERDICT_CONFIRMED] > 0)
      line += ", " + std::to_string(v[VERDICT_CONFIRMED]) + " confirmed";
    if (v[VERDICT_UNVERIFIABLE] > 0)
      line += ", " + std::to_string(v[VERDICT_UNVERIFIABLE]) + " unverifiable";
    if (v[VERDICT_NOT_CHECKED] > 0)
      line += ", " + std::to_string(v[VERDICT_NOT_CHECKED]) + " not checked";
    std::fprintf(out, "%s\n", line.c_str());
  }
  const std::vector<auth_tally> failing = authority_failing(results_checks);
  if (failing.empty())
    return;
  std::fputs("Authoritative servers that failed:\n", out);
  for (const auth_tally &t : failing)
    std::fprintf(out, "  %s %s (%s): %d failure%s, %s\n",
                 shown_text(t.address).c_str(), shown_text(t.name).c_str(),
                 shown_text(t.zone).c_str(), t.failures,
                 t.failures == 1 ? "" : "s", auth_outcome_name(t.last_outcome));
}
