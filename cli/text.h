// Texts between the program's GBK bytes and the outside: the terminal's
// encoding for what is shown, UTF-8 for the exported files.
#ifndef CLI_TEXT_H
#define CLI_TEXT_H

#include <string>

// A GBK text of this program in the terminal's encoding (the locale's, so
// UTF-8 on a UTF-8 locale); what the encoding cannot show becomes '?'.
std::string terminal_text(const char *gbk);
// The same for a UTF-8 text (a name from the list).
std::string terminal_utf8(const std::string &utf8);

// Bytes of a list line as UTF-8: kept when they are UTF-8 already, else
// read as GBK (the list's code page on Windows), else each byte that fits
// neither becomes U+FFFD. Returns false in that last case, when the text
// no longer tells the bytes.
bool utf8_text(const char *bytes, std::string *out);

// Appends printf's text to `out` (up to 1023 bytes a call: figures and
// markup; names are appended as strings).
void append_printf(std::string *out, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

#endif
