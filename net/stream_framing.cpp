#include "net/stream_framing.h"

#include "net/dns_message.h"

long split_frames(const unsigned char *bytes, std::size_t size,
                  void (*take)(const unsigned char *message, long length,
                               void *context),
                  void *context) {
  std::size_t at = 0;
  while (size - at >= LENGTH_PREFIX) {
    const unsigned char *p = bytes + at;
    const std::size_t length = static_cast<std::size_t>(p[0] << 8 | p[1]);
    // An empty or headerless message is no late reply: the server is not
    // speaking DNS, and the stream cannot be followed past it.
    if (length < DNS_HEADER_SIZE)
      return -1;
    if (size - at < LENGTH_PREFIX + length)
      break;
    take(p + LENGTH_PREFIX, static_cast<long>(length), context);
    at += LENGTH_PREFIX + length;
  }
  return static_cast<long>(at);
}
