// What a probe of one name comes to, and the sizes of its messages.
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
  DNS_PORT = 53,
  QUERY_BUFFER_SIZE = 300,  // a 253-character name takes 271 bytes
  REPLY_BUFFER_SIZE = 1024, // RFC 1035 keeps UDP replies within 512 bytes
};

#endif
