// Arbitrary datagrams through the reply classification: one of the four kinds,
// and no read outside the bytes received (the copy is sized exactly, so the
// sanitizer sees any overread). Then through the whole reading that the
// checks of authoritative servers do: compression pointers cannot loop, and
// every name read is whole. And through the open rules' judgement, which
// follows CNAME and DNAME chains: one of its kinds, whatever the chain.
#include "net/dns_message.h"
#include "net/dns_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  unsigned char *bytes =
      static_cast<unsigned char *>(std::malloc(size + !size));
  std::memcpy(bytes, data, size);
  long received = static_cast<long>(size);
  int kind = classify_reply(received, bytes);
  if (kind != REPLY_ANSWERED && kind != REPLY_SHORT && kind != REPLY_EMPTY &&
      kind != REPLY_NEGATIVE)
    std::abort();
  if ((kind == REPLY_SHORT) != (size < DNS_HEADER_SIZE))
    std::abort();
  long id = message_id(received, bytes);
  if ((id < 0) != (size < 2) || id > 0xFFFF)
    std::abort();
  // A failed receive is short whatever the buffer holds.
  if (classify_reply(-1, bytes) != REPLY_SHORT || message_id(-1, bytes) != -1)
    std::abort();
  dns_reply reply;
  if (parse_reply(bytes, received, &reply) == 0) {
    for (const auto *section :
         {&reply.answers, &reply.authority, &reply.additional}) {
      for (const dns_record &r : *section) {
        if (r.owner.empty() || r.owner.back() != '.' || r.owner.size() > 255)
          std::abort();
        if ((r.type == DNS_TYPE_NS || r.type == DNS_TYPE_CNAME) &&
            (r.data.empty() || r.data.back() != '.'))
          std::abort();
      }
    }
  }
  for (int qtype : {DNS_TYPE_A, DNS_TYPE_CNAME, DNS_TYPE_DNAME, DNS_TYPE_ANY}) {
    const int judged = judge_reply(bytes, received, qtype);
    if (judged != REPLY_ANSWERED && judged != REPLY_NEGATIVE &&
        judged != REPLY_NO_ANSWER && judged != REPLY_EMPTY &&
        judged != REPLY_SHORT)
      std::abort();
  }
  std::free(bytes);
  return 0;
}
