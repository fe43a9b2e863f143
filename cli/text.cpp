// Conversions through iconv, the C library's own converter.
#include "cli/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

// Converts all of `in`; on a byte it cannot take, either fails (`replace`
// null) or appends *replace and skips that byte. False when it failed or
// replaced anything.
bool convert(const char *to, const char *from, const char *in, std::string *out,
             const char *replace) {
  out->clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    out->assign(in);
    return false;
  }
  bool exact = true;
  char *src = const_cast<char *>(in);
  std::size_t left = std::strlen(in);
  char buffer[256];
  for (;;) {
    char *dst = buffer;
    std::size_t room = sizeof buffer;
    std::size_t rc = iconv(cd, left ? &src : nullptr, &left, &dst, &room);
    out->append(buffer, static_cast<std::size_t>(dst - buffer));
    // Success means all of it was taken.
    if (rc != static_cast<std::size_t>(-1))
      break;
    if (errno == E2BIG)
      continue;
    // EILSEQ, or EINVAL for a sequence cut short at the end.
    exact = false;
    if (!replace)
      break;
    out->append(replace);
    ++src;
    --left;
    if (left == 0)
      break;
  }
  iconv_close(cd);
  return exact;
}

// RFC 3629's well-formed UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF.
bool is_utf8(const unsigned char *p) {
  while (*p) {
    unsigned c = *p;
    int more = c < 0x80                 ? 0
               : c >= 0xC2 && c <= 0xDF ? 1
               : (c & 0xF0) == 0xE0     ? 2
               : c >= 0xF0 && c <= 0xF4 ? 3
                                        : -1;
    if (more < 0)
      return false;
    unsigned low = 0x80, high = 0xBF;
    if (c == 0xE0)
      low = 0xA0;
    else if (c == 0xED)
      high = 0x9F;
    else if (c == 0xF0)
      low = 0x90;
    else if (c == 0xF4)
      high = 0x8F;
    ++p;
    for (int i = 0; i < more; ++i, ++p) {
      if (*p < (i == 0 ? low : 0x80) || *p > (i == 0 ? high : 0xBF))
        return false;
    }
  }
  return true;
}

// `text`, in the encoding `from`, in the terminal's; '?' for what it lacks.
// The C locale's ASCII would show no Chinese at all: UTF-8 then, as most
// programs write, since most terminals take it.
std::string to_terminal(const char *from, const char *text) {
  std::string out;
  std::string to = nl_langinfo(CODESET);
  if (to == "ANSI_X3.4-1968" || to == "ASCII")
    to = "UTF-8";
  to += "//TRANSLIT";
  convert(to.c_str(), from, text, &out, "?");
  return out;
}

// The length of the UTF-8 character at `p` (well formed, as utf8_text
// makes it), and its code point.
int utf8_char(const unsigned char *p, unsigned long *code) {
  const int length = *p < 0x80 ? 1 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : 4;
  unsigned long c = *p;
  if (length > 1)
    c &= 0x7Fu >> length; // the lead byte's bits of the code point
  for (int i = 1; i < length && p[i]; ++i)
    c = c << 6 | (p[i] & 0x3F);
  *code = c;
  return length;
}

bool is_control(unsigned long c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

bool is_wide(unsigned long c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) ||
         (c >= 0x20000 && c <= 0x3FFFD);
}

} // namespace

std::string terminal_text(const char *gbk) {
  return to_terminal("GBK", gbk);
}

std::string terminal_utf8(const std::string &utf8) {
  return to_terminal("UTF-8", utf8.c_str());
}

bool utf8_text(const char *bytes, std::string *out) {
  // Most names are ASCII or UTF-8: no converter for them.
  if (is_utf8(reinterpret_cast<const unsigned char *>(bytes))) {
    out->assign(bytes);
    return true;
  }
  if (convert("UTF-8", "GBK", bytes, out, nullptr))
    return true;
  convert("UTF-8", "UTF-8", bytes, out, REPLACEMENT);
  return false;
}

void append_printf(std::string *out, const char *fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  *out += text;
}

std::string shown_text(const std::string &bytes, int columns) {
  return to_terminal("UTF-8", escaped_utf8(bytes, columns).c_str());
}

std::string escaped_utf8(const std::string &bytes, int columns) {
  std::string utf8;
  utf8_text(bytes.c_str(), &utf8);
  std::string out;
  int used = 0;
  // Where a cut would end, leaving a column for the ellipsis; a character
  // (an escape too) is never split.
  std::size_t cut_at = 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8.data());
  const unsigned char *const end = p + utf8.size();
  while (p < end) {
    unsigned long c;
    const int length =
        std::min<int>(utf8_char(p, &c), static_cast<int>(end - p));
    if (is_control(c)) {
      for (int i = 0; i < length; ++i)
        append_printf(&out, "\\x%02x", p[i]);
      used += 4 * length;
    } else {
      out.append(reinterpret_cast<const char *>(p),
                 static_cast<std::size_t>(length));
      used += is_wide(c) ? 2 : 1;
    }
    p += length;
    if (used <= columns - 1)
      cut_at = out.size();
  }
  if (columns <= 0 || used <= columns)
    return out;
  return out.substr(0, cut_at) + "\xE2\x80\xA6"; // U+2026
}

int text_columns(const std::string &utf8) {
  int columns = 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8.data());
  const unsigned char *const end = p + utf8.size();
  while (p < end) {
    unsigned long c;
    p += utf8_char(p, &c);
    columns += is_wide(c) ? 2 : 1;
  }
  return columns;
}

int name_columns(int fd) {
  winsize size{};
  if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 40;
}

std::string joined(const std::vector<std::string> &parts, const char *between) {
  std::string text;
  for (const std::string &part : parts)
    text += (text.empty() ? "" : between) + part;
  return text;
}
