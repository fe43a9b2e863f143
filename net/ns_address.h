// A nameserver's address as the user writes it: IPv4 or IPv6, with an
// optional port.
#ifndef NET_NS_ADDRESS_H
#define NET_NS_ADDRESS_H

#include "net/sock.h"

#include <cstddef>

enum {
  // "tcp://[" + the longest IPv6 text (45) + "]:65535" and the terminator.
  NS_TEXT_SIZE = 64,
};

struct ns_address {
  sockaddr_storage sa;
  int length; // of the sockaddr_in or sockaddr_in6 in `sa`
};

// Parses "192.0.2.53", "192.0.2.53:5353", "2001:db8::53" and
// "[2001:db8::53]:5353", strictly: four decimal parts of 0 to 255 without
// leading zeros, a port of 1 to 65535 without leading zeros. 0, or -1.
int parse_ns_address(const char *text, int default_port, ns_address *out);
// How a nameserver is asked.
enum {
  NS_UDP = 0,
  NS_TCP,   // DNS over TCP: "tcp://ADDRESS"
  NS_TLS,   // DNS over TLS: "tls://HOST", port 853
  NS_HTTPS, // DNS over HTTPS: "https://HOST/PATH", port 443
  NS_QUIC,  // DNS over QUIC: "quic://HOST", port 853 (UDP)
};

enum {
  NS_HOST_SIZE = 254, // a name of up to 253 characters
  NS_PATH_SIZE = 256,
  NS_TARGET_TEXT_SIZE = 8 + NS_HOST_SIZE + 1 + NS_TEXT_SIZE + NS_PATH_SIZE,
  // Addresses of a looked-up name beyond its first: a name has few (a host
  // with both families, a service on a handful of machines).
  NS_MAX_FALLBACKS = 7,
};

struct ns_target {
  ns_address address; // where to connect; unset while `resolve` holds
  int transport;      // NS_
  // TLS, HTTPS and QUIC: the name checked in the certificate, sent as SNI and
  // as the HTTP authority; empty when only an address was given.
  char host[NS_HOST_SIZE];
  char path[NS_PATH_SIZE]; // HTTPS: "/dns-query" unless given
  bool resolve;            // only a name was given: look it up, then connect
  int port;                // with `resolve`, the port to connect to
  // Once looked up: the name's further addresses, each tried in turn when
  // no connection can be set up at the one before.
  bool looked_up;
  ns_address fallback[NS_MAX_FALLBACKS];
  int fallback_count;
};

// "192.0.2.53[:PORT]" (UDP), "tcp://ADDRESS", "tls://HOST[:PORT]",
// "https://HOST[:PORT][/PATH]", "quic://HOST[:PORT]"; HOST is an address
// ([IPv6] with a port), a name, or NAME@ADDRESS for a name checked at a given
// address. 0, or -1.
int parse_ns_target(const char *text, ns_target *out);
// The target as the user would write it: the scheme, the name and the
// address as given, the port and path only when not the defaults.
void format_ns_target(const ns_target *ns, char *text, std::size_t size);
// The default port of a transport.
int transport_port(int transport);

// The Windows program's reading of a nameserver: whatever inet_addr takes
// as an IPv4 address (shorthand and octal too), port 53. 0, or -1.
int parse_dotted_ns(const char *text, ns_address *out);
// The address as it would be written for parse_ns_address: the port only
// when it is not `default_port`, an IPv6 address in brackets then.
void format_ns_address(const ns_address *ns, int default_port, char *text,
                       std::size_t size);
// The address's port.
int ns_port(const ns_address *ns);
// True when `from` is the nameserver's address and port.
bool is_ns_address(const ns_address *ns, const sockaddr_storage *from,
                   int from_length);

#endif
