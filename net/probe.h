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

// What the log lists as failed: a negative answer is a failure like no
// answer; PROBE_NONE (never probed) is neither.
inline bool probe_failed(int outcome) {
  return outcome == PROBE_NEGATIVE || outcome == PROBE_FAILED;
}

enum {
  PROBE_ATTEMPTS = 2,
  REPLY_TIMEOUT_MS = 2000, // per attempt
  DNS_PORT = 53,
  QUERY_BUFFER_SIZE = 300,  // a 253-character name takes 271 bytes
  REPLY_BUFFER_SIZE = 1024, // RFC 1035 keeps UDP replies within 512 bytes
};

// The IDs one probe has sent for its name, so that only replies to them count.
struct sent_ids {
  std::uint16_t id[PROBE_ATTEMPTS];
  int count;
};

sock_t open_probe_socket(sockaddr_in *address, const char *ns_text);
void close_probe_socket(sock_t sock);
// One attempt: builds and sends the query (its ID joins `sent`), then waits
// for the reply. A reply kind, or -1 when the query cannot be built or sent.
int send_query(const char *name, int qtype, sock_t sock,
               const sockaddr_in *address, sent_ids *sent);
// Waits up to REPLY_TIMEOUT_MS for a reply from `address` carrying one of the
// `sent` IDs, dropping any other datagram; its reply kind.
int read_reply(sock_t sock, const sockaddr_in *address, const sent_ids *sent);
// How a probe went: the queries it sent (0 to 2) and, when a reply decided
// it (an answer or a negative answer), the microseconds from sending its
// first datagram to that reply; -1 when none did.
struct probe_timing {
  std::int32_t attempts;
  std::int32_t reply_us;
};

// The probe's outcome; `timing`, when not null, receives how it went.
int probe_name(const char *name, sock_t sock, sockaddr_in address,
               probe_timing *timing = nullptr);

#endif
