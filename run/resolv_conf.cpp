#include "run/resolv_conf.h"

#include <cstdio>
#include <cstring>

namespace {

enum {
  // Longer lines are read in pieces; only a piece that starts a line counts.
  RESOLV_LINE_SIZE = 256,
  // Keeps the read bounded whatever the file is.
  MAX_RESOLV_LINES = 4096,
};

// The address of a "nameserver" line; false for any other line.
bool nameserver_address(const char *line, std::string *address) {
  static const char keyword[] = "nameserver";
  const std::size_t keyword_length = sizeof keyword - 1;
  if (std::strncmp(line, keyword, keyword_length) != 0)
    return false;
  const char *p = line + keyword_length;
  if (*p != ' ' && *p != '\t')
    return false;
  while (*p == ' ' || *p == '\t')
    ++p;
  // The resolver's own reading: the address ends at a blank or a comment.
  const std::size_t length = std::strcspn(p, " \t\r\n#;");
  if (length == 0)
    return false;
  address->assign(p, length);
  return true;
}

} // namespace

void resolv_conf_nameservers(const char *path, std::vector<std::string> *out) {
  out->clear();
  std::FILE *file = std::fopen(path, "r");
  if (!file)
    return;
  char line[RESOLV_LINE_SIZE];
  bool at_line_start = true;
  std::string address;
  for (int i = 0; i < MAX_RESOLV_LINES && std::fgets(line, sizeof line, file);
       ++i) {
    const bool starts_line = at_line_start;
    at_line_start = std::strchr(line, '\n') != nullptr;
    if (starts_line && nameserver_address(line, &address))
      out->push_back(address);
  }
  std::fclose(file);
}
