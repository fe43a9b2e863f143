// The terminal program's progress display on standard error, its messages
// between the progress lines, and the results table.
#ifndef CLI_DISPLAY_H
#define CLI_DISPLAY_H

#include <cstdio>

enum {
  PROGRESS_NONE,  // --quiet
  PROGRESS_PLAIN, // a line as each pass starts and ends
  PROGRESS_LIVE,  // one line per pass, redrawn in place (a terminal)
};

// Before the run: how progress shows, the number of domains a pass
// probes, and whether the passes run side by side.
void display_begin(int mode, int usable, bool side_by_side);
// Called often by the main thread while the run goes on: draws what changed.
void display_tick(void);
// After the run or its stop: draws the last state and ends a live line.
void display_end(void);

// A message (a query that cannot be sent, an export that cannot be
// written), from any thread: each distinct one is shown once, between the
// progress lines, and its repeats are counted for display_end, so that a
// machine without a route does not flood the terminal.
void display_say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

struct line_probes;
// The run's events (run/run_passes.h): a pass begins, a line's probes of
// a pass have ended; a pass's probes have ended and `checked` of its
// `total` checks have too; a pass is kept (cli/results.h), in order,
// though a stop may leave gaps.
void display_pass_started(int index, int count, const char *ns);
void display_line_done(int index, const line_probes *line);
void display_checking(int index, int checked, int total);
void display_pass_kept(int index);

// The number of passes of the run, once the first has begun; else 0.
int display_pass_count(void);

// The results table: providers by nameserver, success rate and median
// latency, a total row, and the exact totals in the report's words.
void print_table(std::FILE *out, bool colour);
// A line for each nameserver whose replies to a query disagreed, for each
// whose later asks were as slow as its first (no cache), and for each that
// answers names that do not exist, with where it sends them.
void print_redirects(std::FILE *out);
// Where the checked failures lie, per nameserver, and the authoritative
// servers that failed, most failures first; nothing when none was checked.
void print_authority(std::FILE *out);

#endif
