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
  // The open rules': NOERROR that neither answers nor says no data.
  REPLY_NO_ANSWER = -4,
};

// Header layout, RFC 1035 4.1.1: six big-endian 16-bit fields.
enum {
  DNS_ID_OFFSET = 0,
  DNS_FLAGS_OFFSET = 2,
  DNS_QDCOUNT_OFFSET = 4,
  DNS_ANCOUNT_OFFSET = 6,
  DNS_NSCOUNT_OFFSET = 8,
  DNS_ARCOUNT_OFFSET = 10,
  DNS_HEADER_SIZE = 12,
};

enum {
  DNS_FLAG_RD = 0x0100, // recursion desired, the only flag a query sets
  DNS_FLAG_TC = 0x0200, // truncated: the reply did not fit
  DNS_FLAG_AA = 0x0400, // an authoritative answer
  DNS_RCODE_MASK = 0x000F,
  DNS_RCODE_FORMERR = 1, // RFC 1035 4.1.1
  DNS_RCODE_SERVFAIL = 2,
  DNS_RCODE_NXDOMAIN = 3,
  DNS_RCODE_NOTIMP = 4,
  DNS_RCODE_REFUSED = 5,
  DNS_TYPE_A = 1,
  DNS_TYPE_NS = 2,
  DNS_TYPE_CNAME = 5,
  DNS_TYPE_SOA = 6,
  DNS_TYPE_PTR = 12,
  DNS_TYPE_MX = 15,
  DNS_TYPE_TXT = 16,
  DNS_TYPE_AAAA = 28,
  DNS_TYPE_DNAME = 39, // RFC 6672
  DNS_TYPE_ANY = 255,
  DNS_CLASS_IN = 1,
  DNS_MAX_LABEL = 63,      // RFC 1035 2.3.4
  DNS_MAX_NAME_WIRE = 255, // octets of an encoded name, RFC 1035 2.3.4
  QNAME_BUFFER_SIZE = 256, // encode_qname's work buffer
  DNS_TYPE_OPT = 41,       // EDNS, RFC 6891
  DNS_OPT_SIZE = 11,       // an EDNS OPT record without options
};

// A 16-bit field of a message, in network order.
unsigned read_u16(const unsigned char *p);
int encode_qname(const char *name, int length, unsigned char *out);
// The datagram's length, or -1 when it would not fit `dst_len` or `name` has
// no wire form (an empty label other than one trailing dot, a label of more
// than 63 characters, more than 255 octets encoded).
int build_query(const char *name, int qtype, unsigned char *dst, int dst_len);
// The same with the ID given, which the global counter does not see.
int build_query_with_id(const char *name, int qtype, unsigned id,
                        unsigned char *dst, int dst_len);
// A query to an authoritative server: no recursion desired, and unless
// `udp_size` is 0 an EDNS OPT record offering that many bytes (RFC 6891).
int build_plain_query(const char *name, int qtype, unsigned id, int udp_size,
                      unsigned char *dst, int dst_len);
// `received` is the receive call's result: a byte count, or negative on error.
int classify_reply(long received, const unsigned char *bytes);
// The message ID of a received datagram, or -1 when it is too short to hold
// one.
long message_id(long received, const unsigned char *bytes);
// The reply's RCODE (RFC 1035 4.1.1), or -1 when it has no header.
int reply_rcode(long received, const unsigned char *bytes);
// The TC flag: the nameserver cut the reply to fit a datagram.
bool reply_truncated(long received, const unsigned char *bytes);
// True when the reply's question section is the query's (`query` as built,
// `query_length` bytes).
bool same_question(const unsigned char *query, int query_length,
                   const unsigned char *reply, long received);
// A 64-bit digest of a message's question, the `length` bytes after the
// header as a query of that length holds them (letters in either case
// alike): what a reply to that query repeats.
std::uint64_t question_digest(const unsigned char *message, int length);
// True for an error reply (FORMERR, SERVFAIL, NOTIMP, REFUSED) that holds no
// question, which then cannot contradict the query's.
bool error_without_question(long received, const unsigned char *bytes);

#endif
