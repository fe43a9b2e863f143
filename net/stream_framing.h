// DNS messages on a byte stream (TCP, TLS, a QUIC stream): each behind a
// two-byte length (RFC 1035 4.2.2, RFC 7766 8, RFC 9250 4.2).
#ifndef NET_STREAM_FRAMING_H
#define NET_STREAM_FRAMING_H

#include <cstddef>
#include <string>

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

// The message behind its length, at the end of `out`.
void append_frame(std::string *out, const unsigned char *message, int length);
// The first whole message at the front of `bytes`: 1 with *message and
// *length set, 0 while it has not come whole, -1 when the stream is broken
// (as split_frames says).
int first_frame(const unsigned char *bytes, std::size_t size,
                const unsigned char **message, long *length);

#endif
