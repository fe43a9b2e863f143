// What a probe of one name comes to, and the Windows program's fixed
// settings for it: two attempts of 2000 ms over UDP to port 53.
#ifndef NET_PROBE_H
#define NET_PROBE_H

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

// How a probe went: the queries it sent (0 to 2) and, when a reply decided
// it (an answer or a negative answer), the microseconds from sending its
// first datagram to that reply; -1 when none did.
struct probe_timing {
  std::int32_t attempts;
  std::int32_t reply_us;
};

#endif
