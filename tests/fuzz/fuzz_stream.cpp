// Arbitrary bytes as a TCP or TLS stream brings them: the framing splits
// whole messages or says the stream is broken, never reading past what
// came, and each message goes through everything a reply meets (its ID,
// the question check against a real query, the classification).
#include "net/dns_message.h"
#include "net/probe.h"
#include "net/stream_framing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct query {
  unsigned char bytes[QUERY_BUFFER_SIZE];
  int length;
  long taken; // bytes of the messages handed over, with their prefixes
};

void take(const unsigned char *message, long length, void *context) {
  query *q = static_cast<query *>(context);
  if (length < DNS_HEADER_SIZE)
    std::abort();
  q->taken += LENGTH_PREFIX + length;
  if (message_id(length, message) < 0)
    std::abort();
  same_question(q->bytes, q->length, message, length);
  error_without_question(length, message);
  const int kind = classify_reply(length, message);
  if (kind == REPLY_SHORT)
    std::abort();
  reply_rcode(length, message);
  reply_truncated(length, message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static query q;
  if (q.length == 0)
    q.length = build_query_with_id("www.example.com", DNS_TYPE_A, 0, q.bytes,
                                   sizeof q.bytes);
  q.taken = 0;
  // Copied to exactly its size, so that the sanitizer sees any overread.
  unsigned char *bytes =
      static_cast<unsigned char *>(std::malloc(size + !size));
  std::memcpy(bytes, data, size);
  const long used = split_frames(bytes, size, take, &q);
  if (used >= 0 && (used != q.taken || static_cast<std::size_t>(used) > size))
    std::abort();
  std::free(bytes);
  return 0;
}
