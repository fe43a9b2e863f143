// Through Debian's libidn2, the library glibc and curl use for this.
#include "cli/idna.h"

#include "cli/text.h"

#include <idn2.h>

#include <cstdlib>

namespace {

bool is_ascii(const std::string &text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  return true;
}

} // namespace

void convert_names(run_list *list, idna_report *report) {
  *report = idna_report{0, "", ""};
  for (std::size_t i = 0; i < list->lines.size(); ++i) {
    list_line &line = list->lines[i];
    if (line.row == NO_ROW || is_ascii(line.domain))
      continue;
    std::string utf8;
    const bool decoded = utf8_text(line.domain.c_str(), &utf8);
    char *ascii = nullptr;
    int rc = decoded ? idn2_to_ascii_8z(utf8.c_str(), &ascii,
                                        IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT)
                     : IDN2_ENCODING_ERROR;
    if (rc == IDN2_OK) {
      list->written[i] = line.domain;
      line.domain = ascii;
    } else {
      line.unconvertible = true;
      if (report->failed++ == 0) {
        report->first = utf8;
        report->reason =
            decoded ? idn2_strerror(rc) : "its bytes are neither UTF-8 nor GBK";
      }
    }
    idn2_free(ascii);
  }
}
