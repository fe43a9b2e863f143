// The DNS query datagram (RFC 1035 4.1) and the sorting of a reply into kinds.
#ifndef NET_DNS_MESSAGE_H
#define NET_DNS_MESSAGE_H

#include <atomic>
#include <cstdint>

// Process-wide message ID: starts at 1234, every query takes one, wraps.
extern std::atomic<std::uint16_t> query_id;

enum {
  REPLY_ANSWERED = 0,
  REPLY_SHORT = -1,
  REPLY_EMPTY = -2,
  REPLY_NEGATIVE = -3,
};

int encode_qname(const char *name, int length, unsigned char *out);
int build_query(const char *name, int qtype, unsigned char *dst, int dst_len);
// `received` is the receive call's result: a byte count, or negative on error.
int classify_reply(long received, const unsigned char *bytes);

#endif
