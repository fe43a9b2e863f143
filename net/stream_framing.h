// DNS messages on a byte stream (TCP and TLS): each behind a two-byte
// length (RFC 1035 4.2.2, RFC 7766 8).
#ifndef NET_STREAM_FRAMING_H
#define NET_STREAM_FRAMING_H

#include <cstddef>

enum {
  LENGTH_PREFIX = 2,
};

// Hands each whole message at the front of `bytes` to `take`, in order.
// The bytes used (a partial message at the end waits for more), or -1 when
// the stream is broken: a length that cannot hold a DNS header, so that
// nothing after it can be trusted.
long split_frames(const unsigned char *bytes, std::size_t size,
                  void (*take)(const unsigned char *message, long length,
                               void *context),
                  void *context);

#endif
