// Texts between the program's GBK bytes and the outside: the terminal's
// encoding for what is shown, UTF-8 for the exported files.
#ifndef CLI_TEXT_H
#define CLI_TEXT_H

#include <string>
#include <vector>

// A GBK text of this program in the terminal's encoding (the locale's, so
// UTF-8 on a UTF-8 locale); what the encoding cannot show becomes '?'.
std::string terminal_text(const char *gbk);
// The same for a UTF-8 text (a name from the list).
std::string terminal_utf8(const std::string &utf8);

// A text from outside (a list line, a tag, a name, a path, a server's
// words) as the terminal may show it: its bytes read as utf8_text reads
// them, every control character written as "\x1b" (so that nothing the
// list holds can move the cursor, clear the screen or ring the bell), in
// the terminal's encoding. Cut with an ellipsis to `columns` when it is
// wider; 0 for no limit.
std::string shown_text(const std::string &bytes, int columns = 0);
// The same, still in UTF-8 (to measure it with text_columns).
std::string escaped_utf8(const std::string &bytes, int columns = 0);
// Columns a UTF-8 text takes on a terminal: two for East Asian wide
// characters, one for the rest.
int text_columns(const std::string &utf8);
// The widest a name may be shown: the width of the terminal that `fd` is,
// or 40 columns when it is none.
int name_columns(int fd);

// Bytes of a list line as UTF-8: kept when they are UTF-8 already, else
// read as GBK (the list's code page on Windows), else each byte that fits
// neither becomes U+FFFD. Returns false in that last case, when the text
// no longer tells the bytes.
bool utf8_text(const char *bytes, std::string *out);

// Appends printf's text to `out` (up to 1023 bytes a call: figures and
// markup; names are appended as strings).
void append_printf(std::string *out, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// The parts in order, `between` each two.
std::string joined(const std::vector<std::string> &parts, const char *between);

#endif
