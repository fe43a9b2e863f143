// The nameservers a run tests when none is named: the machine's (of either
// family, from its resolver file), then the public resolvers.
#include "cli/nameservers.h"

#include "net/ns_address.h"
#include "net/probe.h"
#include "run/local_dns.h"
#include "run/resolv_conf.h"

#include <netdb.h>

#include <algorithm>
#include <cstring>

namespace {

enum { LOCAL_NAMESERVERS = 2 };

void add_resolv_conf(std::vector<std::string> *out) {
  std::vector<std::string> listed;
  resolv_conf_nameservers(resolv_conf_path, &listed);
  for (const std::string &text : listed) {
    ns_address address;
    // A link-local address with its zone ("fe80::1%eth0") is skipped.
    if (out->size() == LOCAL_NAMESERVERS ||
        parse_ns_address(text.c_str(), DNS_PORT, &address) != 0)
      continue;
    char canonical[NS_TEXT_SIZE];
    format_ns_address(&address, DNS_PORT, canonical, sizeof canonical);
    out->push_back(canonical);
  }
}

} // namespace

void default_nameservers(bool classic, std::vector<std::string> *out) {
  out->clear();
  if (classic) {
    split_local_dns();
    for (const char *local : {local_dns_1, local_dns_2})
      if (local && *local && static_cast<int>(out->size()) < local_dns_num)
        out->push_back(local);
  } else {
    add_resolv_conf(out);
  }
  const std::size_t locals = out->size();
  for (const char *public_dns : {public_dns_1, public_dns_2})
    if (std::find(out->begin(), out->begin() + static_cast<long>(locals),
                  public_dns) == out->begin() + static_cast<long>(locals))
      out->push_back(public_dns);
}

int resolve_target(ns_target *target, std::string *error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(target->port);
  const int r = getaddrinfo(target->host, port.c_str(), &hints, &found);
  if (r != 0 || !found) {
    *error = r != 0 ? gai_strerror(r) : "no address";
    return -1;
  }
  // Every address, in the resolver's order (RFC 6724's, from
  // getaddrinfo), each once: the engine tries them in turn.
  std::vector<ns_address> addresses;
  for (const addrinfo *a = found; a && addresses.size() <= NS_MAX_FALLBACKS;
       a = a->ai_next) {
    ns_address address;
    std::memset(&address, 0, sizeof address);
    std::memcpy(&address.sa, a->ai_addr, a->ai_addrlen);
    address.length = static_cast<int>(a->ai_addrlen);
    const bool seen = std::any_of(
        addresses.begin(), addresses.end(), [&](const ns_address &b) {
          return is_ns_address(&b, &address.sa, address.length);
        });
    if (!seen)
      addresses.push_back(address);
  }
  freeaddrinfo(found);
  target->address = addresses.front();
  target->fallback_count = static_cast<int>(addresses.size()) - 1;
  for (int i = 0; i < target->fallback_count; ++i)
    target->fallback[i] = addresses[static_cast<std::size_t>(i) + 1];
  target->resolve = false;
  target->looked_up = true;
  return 0;
}
