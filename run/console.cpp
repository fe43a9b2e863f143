// Console lines of a run, to the streams the front end chose.
#include "run/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

std::FILE *console_out = stdout;
std::FILE *console_err = stderr;

void console_printf(const char *fmt, ...) {
  if (!console_out)
    return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(console_out, fmt, args);
  va_end(args);
  std::fflush(console_out);
}

void console_error(const char *fmt, ...) {
  if (!console_err)
    return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(console_err, fmt, args);
  va_end(args);
}

void console_perror(const char *what) {
  int error = errno;
  if (console_err)
    std::fprintf(console_err, "%s: %s\n", what, std::strerror(error));
}
