// The terminal program's progress on standard error, and its messages
// between the progress lines. The run's threads tell it their events; the
// main thread draws.
#ifndef CLI_PROGRESS_H
#define CLI_PROGRESS_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

enum {
  PROGRESS_NONE,  // --quiet
  PROGRESS_PLAIN, // a line as each pass starts and ends
  PROGRESS_LIVE,  // one line per pass, redrawn in place (a terminal)
};

struct line_probes;
struct run_results;

class progress {
public:
  // How progress shows, the number of domains a pass probes, whether the
  // passes run side by side, and where the passes are kept.
  progress(int mode, int usable, bool side_by_side, const run_results *r);
  // Called often by the main thread while the run goes on: draws what
  // changed.
  void tick();
  // After the run or its stop: draws the last state and ends a live line.
  void end();

  // A message (a query that cannot be sent, an export that cannot be
  // written), from any thread: each distinct one is shown once, between
  // the progress lines, and its repeats are counted for end(), so that a
  // machine without a route does not flood the terminal.
  void say(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

  // The run's events (run/run_passes.h): a pass begins, a line's probes of
  // a pass have ended; a pass's probes have ended and `checked` of its
  // `total` checks have too; a pass is kept (cli/results.h), in order,
  // though a stop may leave gaps.
  void pass_started(int index, int count, const char *ns);
  void line_done(int index, const line_probes *line);
  void checking(int index, int checked, int total);
  void pass_kept(int index);

  // The number of passes of the run, once the first has begun; else 0.
  int pass_count();

private:
  typedef std::chrono::steady_clock clock_type;
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
  struct diagnostic {
    std::string text;
    int repeats;
  };
  enum {
    // Distinct diagnostics kept; any further ones are shown and not
    // counted.
    MAX_DIAGNOSTICS = 16,
  };

  pass_state *state_of(int index);
  void note_diagnostic(const std::string &text);
  void format_line(char *line, int index, int count, const char *ns, int d,
                   int ok, double seconds);
  void plain_start(int index, int count, const char *ns);
  int index_of_slot(int slot);
  void plain_end(int slot, int count);
  void erase_block();
  void pass_line(char *line, int index, int count);
  void draw_side_by_side(int now_started, int now_finished, int count);
  void draw_progress();

  const int mode;
  const int domains_per_pass;
  // The passes run side by side: one line each, all moving.
  const bool side_by_side;
  const run_results &r;

  std::mutex state_lock;
  int pass_total = 0;                        // under state_lock
  std::unique_ptr<pass_state[]> pass_states; // pass_total; under state_lock
  std::atomic<int> started{0};               // passes begun
  std::atomic<int> finished{0};              // passes kept

  // Standard error: the main thread's progress lines, and diagnostics from
  // any thread.
  std::mutex draw_lock;
  // What the main thread has drawn.
  int shown_started = 0;
  int shown_finished = 0;
  bool line_open = false; // a live line without its newline yet; draw_lock
  int block_shown = 0;    // side by side, the lines of the block on screen
  diagnostic diagnostics[MAX_DIAGNOSTICS]; // under draw_lock
  int diagnostic_count = 0;                // under draw_lock
};

#endif
