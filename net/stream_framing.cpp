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

void append_frame(std::string *out, const unsigned char *message, int length) {
  out->push_back(static_cast<char>(length >> 8));
  out->push_back(static_cast<char>(length));
  out->append(reinterpret_cast<const char *>(message),
              static_cast<std::size_t>(length));
}

namespace {

struct first_found {
  const unsigned char *message = nullptr;
  long length = 0;
};

void keep_first(const unsigned char *message, long length, void *context) {
  first_found *f = static_cast<first_found *>(context);
  if (!f->message) {
    f->message = message;
    f->length = length;
  }
}

} // namespace

int first_frame(const unsigned char *bytes, std::size_t size,
                const unsigned char **message, long *length) {
  first_found found;
  if (split_frames(bytes, size, keep_first, &found) < 0 && !found.message)
    return -1;
  if (!found.message)
    return 0;
  *message = found.message;
  *length = found.length;
  return 1;
}
