// Nameserver addresses: the text forms, and the comparison of a reply's
// sender with them.
#include "net/ns_address.h"

#include "net/probe.h"

#include <cstdio>
#include <cstring>

namespace {

// "53", "5353": 1 to 65535, no sign, no leading zero; else -1.
int parse_port(const char *text) {
  if (text[0] < '1' || text[0] > '9')
    return -1;
  long port = 0;
  for (const char *p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || p - text >= 5)
      return -1;
    port = port * 10 + (*p - '0');
  }
  return port <= 65535 ? static_cast<int>(port) : -1;
}

// True for four decimal numbers of 0 to 255 joined by dots, nothing else.
bool is_dotted_quad(const char *text) {
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.')
      return false;
    int digits = 0;
    int value = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    // No leading zero: the old address parsers read "010" as octal 8.
    if (digits == 0 || digits > 3 || value > 255 ||
        (digits > 1 && p[-digits] == '0'))
      return false;
  }
  return *p == '\0';
}

} // namespace

int parse_ns_address(const char *text, int default_port, ns_address *out) {
  std::memset(out, 0, sizeof *out);
  char host[NS_TEXT_SIZE];
  int port = default_port;
  const char *colon = std::strchr(text, ':');
  const std::size_t length = std::strlen(text);
  if (length >= sizeof host)
    return -1;
  if (text[0] == '[') {
    // "[v6]" or "[v6]:port"
    const char *close = std::strchr(text, ']');
    if (!close)
      return -1;
    std::size_t n = static_cast<std::size_t>(close - text - 1);
    std::memcpy(host, text + 1, n);
    host[n] = '\0';
    if (close[1] == ':')
      port = parse_port(close + 2);
    else if (close[1] != '\0')
      return -1;
    if (!std::strchr(host, ':'))
      return -1;
  } else if (colon && std::strchr(colon + 1, ':')) {
    std::memcpy(host, text, length + 1); // bare IPv6, no port
  } else if (colon) {
    std::size_t n = static_cast<std::size_t>(colon - text);
    std::memcpy(host, text, n);
    host[n] = '\0';
    port = parse_port(colon + 1);
  } else {
    std::memcpy(host, text, length + 1);
  }
  if (port < 1)
    return -1;
  if (std::strchr(host, ':')) {
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&out->sa);
    // No zone ("%eth0"), which inet_pton would refuse anyway.
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) != 1)
      return -1;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<unsigned short>(port));
    out->length = sizeof *v6;
    return 0;
  }
  sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&out->sa);
  // The broadcast address is no nameserver.
  if (!is_dotted_quad(host) || std::strcmp(host, "255.255.255.255") == 0 ||
      inet_pton(AF_INET, host, &v4->sin_addr) != 1)
    return -1;
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<unsigned short>(port));
  out->length = sizeof *v4;
  return 0;
}

namespace {
const char TCP_SCHEME[] = "tcp://";
}

int parse_ns_target(const char *text, ns_target *out) {
  const std::size_t scheme = sizeof TCP_SCHEME - 1;
  out->transport =
      std::strncmp(text, TCP_SCHEME, scheme) == 0 ? NS_TCP : NS_UDP;
  return parse_ns_address(out->transport == NS_TCP ? text + scheme : text,
                          DNS_PORT, &out->address);
}

void format_ns_target(const ns_target *ns, char *text, std::size_t size) {
  char address[NS_TEXT_SIZE];
  format_ns_address(&ns->address, DNS_PORT, address, sizeof address);
  std::snprintf(text, size, "%s%s", ns->transport == NS_TCP ? TCP_SCHEME : "",
                address);
}

int parse_dotted_ns(const char *text, ns_address *out) {
  const auto address = inet_addr(text);
  if (address == INADDR_NONE)
    return -1;
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(DNS_PORT);
  sin.sin_addr.s_addr = address;
  std::memset(out, 0, sizeof *out);
  std::memcpy(&out->sa, &sin, sizeof sin);
  out->length = static_cast<int>(sizeof sin);
  return 0;
}

void format_ns_address(const ns_address *ns, int default_port, char *text,
                       std::size_t size) {
  char host[NS_TEXT_SIZE] = "";
  const bool v6 = ns->sa.ss_family == AF_INET6;
  const sockaddr_in6 *a6 = reinterpret_cast<const sockaddr_in6 *>(&ns->sa);
  const sockaddr_in *a4 = reinterpret_cast<const sockaddr_in *>(&ns->sa);
  if (v6)
    inet_ntop(AF_INET6, &a6->sin6_addr, host, sizeof host);
  else
    inet_ntop(AF_INET, &a4->sin_addr, host, sizeof host);
  const int port = ntohs(v6 ? a6->sin6_port : a4->sin_port);
  if (port == default_port)
    std::snprintf(text, size, "%s", host);
  else
    std::snprintf(text, size, v6 ? "[%s]:%d" : "%s:%d", host, port);
}

bool is_ns_address(const ns_address *ns, const sockaddr_storage *from,
                   int from_length) {
  if (from->ss_family != ns->sa.ss_family || from_length < ns->length)
    return false;
  if (from->ss_family == AF_INET6) {
    const sockaddr_in6 *a = reinterpret_cast<const sockaddr_in6 *>(from);
    const sockaddr_in6 *b = reinterpret_cast<const sockaddr_in6 *>(&ns->sa);
    return a->sin6_port == b->sin6_port &&
           std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0;
  }
  const sockaddr_in *a = reinterpret_cast<const sockaddr_in *>(from);
  const sockaddr_in *b = reinterpret_cast<const sockaddr_in *>(&ns->sa);
  return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
}
