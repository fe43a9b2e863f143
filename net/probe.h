// One nameserver, one name: two attempts of 2000 ms, reduced to an outcome.
#ifndef NET_PROBE_H
#define NET_PROBE_H

#include "net/sock.h"

#include <cstdint>

enum {
  PROBE_NONE = 0,
  PROBE_OK = 1,
  PROBE_NEGATIVE = 2,
  PROBE_FAILED = -1,
};

sock_t open_probe_socket(sockaddr_in *address, const char *ns_text);
void close_probe_socket(sock_t sock);
int probe_name(const char *name, sock_t sock, sockaddr_in address);

#endif
