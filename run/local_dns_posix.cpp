// The native build's nameservers: the first two IPv4 "nameserver" lines of
// the resolver configuration, in file order.
#include "run/local_dns.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

const char *resolv_conf_path = "/etc/resolv.conf";

namespace {

enum {
  // Longer lines are read in pieces; only a piece that starts a line counts.
  RESOLV_LINE_SIZE = 256,
  // Keeps the read bounded whatever the file is.
  MAX_RESOLV_LINES = 4096,
};

// The address of a "nameserver" line when it is a dotted IPv4 text; IPv6
// and malformed addresses are skipped.
bool nameserver_address(const char *line, char address[LOCAL_DNS_ADDR_SIZE]) {
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
  std::size_t length = std::strcspn(p, " \t\r\n#;");
  if (length == 0 || length >= LOCAL_DNS_ADDR_SIZE)
    return false;
  std::memcpy(address, p, length);
  address[length] = '\0';
  in_addr parsed;
  return inet_pton(AF_INET, address, &parsed) == 1;
}

} // namespace

int get_local_dns(char *text, int size) {
  std::memset(text, 0, static_cast<std::size_t>(size));
  char found[2][LOCAL_DNS_ADDR_SIZE] = {};
  int count = 0;
  std::FILE *file = std::fopen(resolv_conf_path, "r");
  if (file) {
    char line[RESOLV_LINE_SIZE];
    bool at_line_start = true;
    for (int i = 0; count < 2 && i < MAX_RESOLV_LINES &&
                    std::fgets(line, sizeof line, file);
         ++i) {
      bool starts_line = at_line_start;
      at_line_start = std::strchr(line, '\n') != nullptr;
      if (starts_line && nameserver_address(line, found[count]))
        ++count;
    }
    std::fclose(file);
  }
  join_local_dns(text, size, found[0], count == 2 ? found[1] : nullptr);
  return 0;
}
