// Conversions through iconv, the C library's own converter.
#include "cli/text.h"

#include <iconv.h>
#include <langinfo.h>

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
std::string to_terminal(const char *from, const char *text) {
  std::string out;
  std::string to = nl_langinfo(CODESET);
  to += "//TRANSLIT";
  convert(to.c_str(), from, text, &out, "?");
  return out;
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
