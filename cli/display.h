// The terminal program's side of the run's front-end port: it follows the
// passes for the progress display on standard error, and keeps each
// finished pass (cli/results.h) and rewrites the export files after it.
#ifndef CLI_DISPLAY_H
#define CLI_DISPLAY_H

#include <cstdio>

enum {
  PROGRESS_NONE,  // --quiet
  PROGRESS_PLAIN, // a line as each pass starts and ends
  PROGRESS_LIVE,  // one line per pass, redrawn in place (a terminal)
};

// Before the run: how progress shows, and the number of domains a pass
// probes.
void display_begin(int mode, int usable);
// Called often by the main thread while the run goes on: draws what changed.
void display_tick(void);
// After the run or its stop: draws the last state and ends a live line.
void display_end(void);

// A stream for the core's diagnostics (a socket that failed, a name with no
// wire form): each distinct line is shown once, between the progress lines,
// and its repeats are counted for display_end, so that a machine without a
// route does not flood the terminal. Null when it cannot be made.
std::FILE *open_diagnostics(void);

// A message of the program's own (an export that cannot be written), from
// any thread: shown as the core's diagnostics are.
void display_say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The number of passes of the run, once the first has begun; else 0.
int display_pass_count(void);

// Called after every kept pass, on the driver's thread (the report guard is
// held, so a stop never cuts it short); set by the program.
extern void (*after_pass)(int index);

// The results table: providers by nameserver, success rate and median
// latency, a total row, and the exact totals in the report's words.
void print_table(std::FILE *out, bool colour);

#endif
