// Nameserver addresses: the text forms, and the comparison of a reply's
// sender with them.
#include "net/ns_address.h"

#include "net/probe.h"

#include <cstdio>
#include <cstring>
#include <string>

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

const char *const SCHEMES[] = {"", "tcp://", "tls://", "https://", "quic://"};
const char DEFAULT_PATH[] = "/dns-query";

// A host name of letters, digits, hyphens, underscores and dots (RFC 1123,
// loosely), not an address: at least one letter or hyphen, no empty label.
bool is_host_name(const std::string &name) {
  if (name.empty() || name.size() >= NS_HOST_SIZE || name.front() == '.' ||
      name.find("..") != std::string::npos)
    return false;
  bool word = false;
  for (char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        c == '-' || c == '_';
    if (!letter && c != '.' && !(c >= '0' && c <= '9'))
      return false;
    word = word || letter;
  }
  return word;
}

void copy_text(char *to, std::size_t size, const std::string &from) {
  std::snprintf(to, size, "%s", from.c_str());
}

} // namespace

int transport_port(int transport) {
  return transport == NS_TLS || transport == NS_QUIC ? 853
         : transport == NS_HTTPS                     ? 443
                                                     : DNS_PORT;
}

int parse_ns_target(const char *text, ns_target *out) {
  std::memset(out, 0, sizeof *out);
  std::string rest = text;
  for (int t = NS_QUIC; t > NS_UDP; --t) {
    const std::size_t n = std::strlen(SCHEMES[t]);
    if (rest.compare(0, n, SCHEMES[t]) == 0) {
      out->transport = t;
      rest.erase(0, n);
      break;
    }
  }
  const int port = transport_port(out->transport);
  if (out->transport < NS_TLS)
    return parse_ns_address(rest.c_str(), port, &out->address);
  if (out->transport == NS_HTTPS) {
    const std::size_t slash = rest.find('/');
    const std::string path =
        slash == std::string::npos ? DEFAULT_PATH : rest.substr(slash);
    if (slash != std::string::npos)
      rest.erase(slash);
    if (path.size() >= NS_PATH_SIZE ||
        path.find_first_of(" ?#") != std::string::npos)
      return -1;
    copy_text(out->path, sizeof out->path, path);
  }
  const std::size_t at = rest.find('@');
  if (at != std::string::npos) {
    const std::string name = rest.substr(0, at);
    if (!is_host_name(name))
      return -1;
    copy_text(out->host, sizeof out->host, name);
    return parse_ns_address(rest.c_str() + at + 1, port, &out->address);
  }
  if (parse_ns_address(rest.c_str(), port, &out->address) == 0)
    return 0;
  // A name, with an optional port: looked up before the run.
  const std::size_t colon = rest.rfind(':');
  std::string name = rest;
  out->port = port;
  if (colon != std::string::npos) {
    ns_address probe;
    // The port as parse_ns_address reads it, after any address.
    if (parse_ns_address(("127.0.0.1" + rest.substr(colon)).c_str(), port,
                         &probe) != 0)
      return -1;
    out->port = ns_port(&probe);
    name = rest.substr(0, colon);
  }
  if (!is_host_name(name))
    return -1;
  copy_text(out->host, sizeof out->host, name);
  out->resolve = true;
  return 0;
}

void format_ns_target(const ns_target *ns, char *text, std::size_t size) {
  const int port = transport_port(ns->transport);
  std::string shown = SCHEMES[ns->transport];
  if (ns->host[0] != '\0')
    shown += ns->host;
  if (ns->resolve) {
    if (ns->port != port)
      shown += ":" + std::to_string(ns->port);
  } else {
    char address[NS_TEXT_SIZE];
    format_ns_address(&ns->address, port, address, sizeof address);
    shown += (ns->host[0] != '\0' ? "@" : "") + std::string(address);
  }
  if (ns->transport == NS_HTTPS && std::strcmp(ns->path, DEFAULT_PATH) != 0)
    shown += ns->path;
  copy_text(text, size, shown);
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

int ns_port(const ns_address *ns) {
  if (ns->sa.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(&ns->sa)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in *>(&ns->sa)->sin_port);
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
