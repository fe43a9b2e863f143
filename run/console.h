// The core's console lines: "begin to test", the workers' progress lines and
// the report's rate lines on one stream; the probes' and the list's
// diagnostics on the other. Each front end chooses where they go: the
// Windows program keeps standard output and error; the terminal program,
// which says things in its own words, drops both. A null stream drops its
// lines.
#ifndef RUN_CONSOLE_H
#define RUN_CONSOLE_H

#include <cstdio>

extern std::FILE *console_out; // standard output unless a front end says
extern std::FILE *console_err; // standard error unless a front end says

// Writes to console_out, flushed at once so that a redirected run loses
// nothing when the program ends.
void console_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes to console_err; console_perror says `what` and errno's text, as
// perror does.
void console_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void console_perror(const char *what);

#endif
