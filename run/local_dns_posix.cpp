// The native build's nameservers: the first two IPv4 "nameserver" lines of
// the resolver configuration, in file order.
#include "run/local_dns.h"

#include "run/resolv_conf.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

const char *resolv_conf_path = "/etc/resolv.conf";

int get_local_dns(char *text, int size) {
  std::memset(text, 0, static_cast<std::size_t>(size));
  std::vector<std::string> listed;
  resolv_conf_nameservers(resolv_conf_path, &listed);
  // The first two that are dotted IPv4 texts; IPv6 and malformed addresses
  // are skipped.
  char found[2][LOCAL_DNS_ADDR_SIZE] = {};
  int count = 0;
  for (const std::string &address : listed) {
    in_addr parsed;
    if (count == 2 || address.size() >= LOCAL_DNS_ADDR_SIZE ||
        inet_pton(AF_INET, address.c_str(), &parsed) != 1)
      continue;
    std::memcpy(found[count++], address.c_str(), address.size() + 1);
  }
  join_local_dns(text, size, found[0], count == 2 ? found[1] : nullptr);
  return 0;
}
