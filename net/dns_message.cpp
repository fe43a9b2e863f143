// The A query and the reply kinds, RFC 1035 4.1.
#include "net/dns_message.h"

#include <cstring>

std::atomic<std::uint16_t> query_id{1234};

unsigned read_u16(const unsigned char *p) {
  return static_cast<unsigned>(p[0] << 8 | p[1]);
}

static void write_u16(unsigned char *p, unsigned value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

// Walks the name backwards: each character moves one place right, and each
// dot takes the length of the label after it (RFC 1035 3.1 label form).
int encode_qname(const char *name, int length, unsigned char *out) {
  unsigned char counter = 0;
  for (int i = 0; i < length; i++) {
    char c = name[length - 1 - i];
    if (c != '.') {
      out[length - i] = static_cast<unsigned char>(c);
      counter++;
    } else {
      out[length - i] = counter;
      counter = 0;
    }
  }
  out[0] = counter;
  return static_cast<int>(std::strlen(reinterpret_cast<const char *>(out))) + 1;
}

// Whether the label form of the name holds exactly the name's labels: none
// empty (one trailing dot aside, which stands for the root), none over 63.
static bool has_wire_form(const char *name, int length) {
  if (length > 0 && name[length - 1] == '.') {
    length--;
  }
  if (length == 0) {
    return true; // the root
  }
  // Label bytes plus a length byte each, plus the root's zero byte.
  if (length + 2 > DNS_MAX_NAME_WIRE) {
    return false;
  }
  int label = 0;
  for (int i = 0; i <= length; i++) {
    if (i < length && name[i] != '.') {
      label++;
      continue;
    }
    if (label == 0 || label > DNS_MAX_LABEL) {
      return false;
    }
    label = 0;
  }
  return true;
}

int build_query(const char *name, int qtype, unsigned char *dst, int dst_len) {
  // The ID is taken even for a name that is then refused.
  unsigned id = query_id.fetch_add(1);
  return build_query_with_id(name, qtype, id, dst, dst_len);
}

int build_query_with_id(const char *name, int qtype, unsigned id,
                        unsigned char *dst, int dst_len) {
  std::size_t length = std::strlen(name);
  if (length > DNS_MAX_NAME_WIRE ||
      !has_wire_form(name, static_cast<int>(length))) {
    return -1;
  }
  unsigned char qname[QNAME_BUFFER_SIZE];
  std::memset(qname, 0, sizeof qname);
  int n = encode_qname(name, static_cast<int>(length), qname);
  // Header, name, QTYPE and QCLASS (RFC 1035 4.1.2).
  int size = DNS_HEADER_SIZE + n + 4;
  if (size > dst_len) {
    return -1;
  }
  std::memset(dst, 0, DNS_HEADER_SIZE);
  write_u16(dst + DNS_ID_OFFSET, id);
  write_u16(dst + DNS_FLAGS_OFFSET, DNS_FLAG_RD);
  write_u16(dst + DNS_QDCOUNT_OFFSET, 1);
  std::memcpy(dst + DNS_HEADER_SIZE, qname, static_cast<std::size_t>(n));
  write_u16(dst + DNS_HEADER_SIZE + n, static_cast<unsigned>(qtype));
  write_u16(dst + DNS_HEADER_SIZE + n + 2, DNS_CLASS_IN);
  return size;
}

// Only the header's answer and authority counts decide (RFC 1035 4.1.1).
int classify_reply(long received, const unsigned char *bytes) {
  if (received < DNS_HEADER_SIZE) {
    return REPLY_SHORT;
  }
  if (read_u16(bytes + DNS_ANCOUNT_OFFSET) != 0) {
    return REPLY_ANSWERED;
  }
  if (read_u16(bytes + DNS_NSCOUNT_OFFSET) != 0) {
    return REPLY_NEGATIVE;
  }
  return REPLY_EMPTY;
}

long message_id(long received, const unsigned char *bytes) {
  if (received < DNS_ID_OFFSET + 2) {
    return -1;
  }
  return static_cast<long>(read_u16(bytes + DNS_ID_OFFSET));
}

int reply_rcode(long received, const unsigned char *bytes) {
  if (received < DNS_HEADER_SIZE) {
    return -1;
  }
  return static_cast<int>(read_u16(bytes + DNS_FLAGS_OFFSET) & DNS_RCODE_MASK);
}

bool reply_truncated(long received, const unsigned char *bytes) {
  return received >= DNS_HEADER_SIZE &&
         (read_u16(bytes + DNS_FLAGS_OFFSET) & DNS_FLAG_TC) != 0;
}

// RFC 1035 4.1.2: the reply repeats the question; names compare without
// regard to ASCII case (RFC 4343), the type and class exactly.
bool same_question(const unsigned char *query, int query_length,
                   const unsigned char *reply, long received) {
  if (received < query_length || query_length <= DNS_HEADER_SIZE ||
      read_u16(reply + DNS_QDCOUNT_OFFSET) != 1) {
    return false;
  }
  for (int i = DNS_HEADER_SIZE; i < query_length; i++) {
    unsigned char a = query[i];
    unsigned char b = reply[i];
    if (a >= 'A' && a <= 'Z') {
      a = static_cast<unsigned char>(a - 'A' + 'a');
    }
    if (b >= 'A' && b <= 'Z') {
      b = static_cast<unsigned char>(b - 'A' + 'a');
    }
    if (a != b) {
      return false;
    }
  }
  return true;
}

// Some nameservers leave the question out of an error reply; stub
// resolvers (glibc's res_send among them) accept that for these codes.
bool error_without_question(long received, const unsigned char *bytes) {
  if (received < DNS_HEADER_SIZE || read_u16(bytes + DNS_QDCOUNT_OFFSET) != 0) {
    return false;
  }
  int rcode = reply_rcode(received, bytes);
  return rcode == DNS_RCODE_FORMERR || rcode == DNS_RCODE_SERVFAIL ||
         rcode == DNS_RCODE_NOTIMP || rcode == DNS_RCODE_REFUSED;
}

int build_plain_query(const char *name, int qtype, unsigned id, int udp_size,
                      unsigned char *dst, int dst_len) {
  int n = build_query_with_id(name, qtype, id, dst, dst_len);
  if (n < 0)
    return -1;
  write_u16(dst + DNS_FLAGS_OFFSET, read_u16(dst + DNS_FLAGS_OFFSET) &
                                        ~static_cast<unsigned>(DNS_FLAG_RD));
  if (udp_size == 0)
    return n;
  if (n + DNS_OPT_SIZE > dst_len)
    return -1;
  unsigned char *opt = dst + n;
  opt[0] = 0; // the root
  write_u16(opt + 1, DNS_TYPE_OPT);
  write_u16(opt + 3, static_cast<unsigned>(udp_size));
  std::memset(opt + 5, 0, 6); // extended rcode, version, flags, no options
  write_u16(dst + DNS_ARCOUNT_OFFSET, 1);
  return n + DNS_OPT_SIZE;
}

std::uint64_t question_digest(const unsigned char *message, int length) {
  // FNV-1a.
  std::uint64_t digest = 14695981039346656037ull;
  for (int i = DNS_HEADER_SIZE; i < length; ++i) {
    unsigned char c = message[i];
    if (c >= 'A' && c <= 'Z')
      c = static_cast<unsigned char>(c - 'A' + 'a');
    digest = (digest ^ c) * 1099511628211ull;
  }
  return digest;
}
