// Reading a message: names with compression pointers (RFC 1035 4.1.4),
// each followed only backwards so that no message can loop.
#include "net/dns_reply.h"

#include "net/dns_message.h"
#include "net/sock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// The name at `*at`, which then moves past it; false when it is malformed.
bool read_name(const unsigned char *bytes, long length, long *at,
               std::string *name) {
  name->clear();
  long pos = *at;
  long end = -1; // where the name ends in place, once a pointer is taken
  int octets = 0;
  for (;;) {
    if (pos >= length)
      return false;
    const unsigned n = bytes[pos];
    if ((n & 0xC0) == 0xC0) {
      if (pos + 1 >= length)
        return false;
      const long target = static_cast<long>((n & 0x3F) << 8 | bytes[pos + 1]);
      if (end < 0)
        end = pos + 2;
      if (target >= pos)
        return false; // only backwards: no loops
      pos = target;
      continue;
    }
    if ((n & 0xC0) != 0)
      return false;
    if (n == 0) {
      *at = end < 0 ? pos + 1 : end;
      if (name->empty())
        *name = ".";
      return true;
    }
    octets += static_cast<int>(n) + 1;
    if (octets > DNS_MAX_NAME_WIRE || pos + 1 + static_cast<long>(n) > length)
      return false;
    for (unsigned i = 0; i < n; ++i)
      name->push_back(static_cast<char>(
          std::tolower(static_cast<unsigned char>(bytes[pos + 1 + i]))));
    name->push_back('.');
    pos += 1 + static_cast<long>(n);
  }
}

// TXT data as zone files write it: each string quoted.
std::string txt_text(const unsigned char *p, long length) {
  std::string text;
  long at = 0;
  while (at < length) {
    const long n = std::min<long>(p[at], length - at - 1);
    if (!text.empty())
      text += ' ';
    text += '"';
    for (long i = 0; i < n; ++i) {
      const unsigned char c = p[at + 1 + i];
      if (c == '"' || c == '\\') {
        text += '\\';
        text += static_cast<char>(c);
      } else if (c < 0x20 || c > 0x7E) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\%03u", c);
        text += escaped;
      } else {
        text += static_cast<char>(c);
      }
    }
    text += '"';
    at += 1 + n;
  }
  return text;
}

// Any other type's data in the generic form of RFC 3597.
std::string generic_text(const unsigned char *p, long length) {
  static const char digits[] = "0123456789abcdef";
  std::string text = "\\# " + std::to_string(length);
  if (length > 0)
    text += ' ';
  for (long i = 0; i < length; ++i) {
    text += digits[p[i] >> 4];
    text += digits[p[i] & 15];
  }
  return text;
}

bool read_records(const unsigned char *bytes, long length, long *at,
                  unsigned count, std::vector<dns_record> *records) {
  for (unsigned i = 0; i < count; ++i) {
    dns_record r;
    if (!read_name(bytes, length, at, &r.owner) || *at + 10 > length)
      return false;
    const unsigned char *p = bytes + *at;
    r.type = static_cast<int>(read_u16(p));
    r.ttl = static_cast<std::uint32_t>(read_u16(p + 4)) << 16 | read_u16(p + 6);
    const long rdlength = static_cast<long>(read_u16(p + 8));
    long data = *at + 10;
    if (data + rdlength > length)
      return false;
    char text[64];
    if (r.type == DNS_TYPE_A && rdlength == 4) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[data],
                    bytes[data + 1], bytes[data + 2], bytes[data + 3]);
      r.data = text;
    } else if (r.type == DNS_TYPE_AAAA && rdlength == 16) {
      sockaddr_in6 a{};
      for (int k = 0; k < 16; ++k)
        a.sin6_addr.s6_addr[k] = bytes[data + k];
      if (inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text))
        r.data = text;
    } else if (r.type == DNS_TYPE_NS || r.type == DNS_TYPE_CNAME ||
               r.type == DNS_TYPE_PTR || r.type == DNS_TYPE_DNAME) {
      long name_at = data;
      if (!read_name(bytes, data + rdlength, &name_at, &r.data))
        return false;
    } else if (r.type == DNS_TYPE_MX && rdlength > 2) {
      long name_at = data + 2;
      std::string exchange;
      if (!read_name(bytes, data + rdlength, &name_at, &exchange))
        return false;
      r.data = std::to_string(read_u16(bytes + data)) + " " + exchange;
    } else if (r.type == DNS_TYPE_TXT) {
      r.data = txt_text(bytes + data, rdlength);
    } else {
      r.data = generic_text(bytes + data, rdlength);
    }
    *at = data + rdlength;
    records->push_back(r);
  }
  return true;
}

} // namespace

int parse_reply(const unsigned char *bytes, long length, dns_reply *reply,
                bool answers_only) {
  *reply = dns_reply{};
  if (length < DNS_HEADER_SIZE)
    return -1;
  reply->id = read_u16(bytes + DNS_ID_OFFSET);
  reply->flags = read_u16(bytes + DNS_FLAGS_OFFSET);
  reply->rcode = static_cast<int>(reply->flags & DNS_RCODE_MASK);
  const unsigned questions = read_u16(bytes + DNS_QDCOUNT_OFFSET);
  long at = DNS_HEADER_SIZE;
  for (unsigned i = 0; i < questions; ++i) {
    std::string name;
    if (!read_name(bytes, length, &at, &name) || at + 4 > length)
      return -1;
    if (i == 0) {
      reply->qname = name;
      reply->qtype = static_cast<int>(read_u16(bytes + at));
    }
    at += 4;
  }
  if (!read_records(bytes, length, &at, read_u16(bytes + DNS_ANCOUNT_OFFSET),
                    &reply->answers))
    return -1;
  if (answers_only)
    return 0;
  if (!read_records(bytes, length, &at, read_u16(bytes + DNS_NSCOUNT_OFFSET),
                    &reply->authority) ||
      !read_records(bytes, length, &at, read_u16(bytes + DNS_ARCOUNT_OFFSET),
                    &reply->additional))
    return -1;
  return 0;
}

std::string chain_end(const dns_reply &reply, int qtype,
                      std::vector<std::string> *chain) {
  std::string name = reply.qname;
  if (qtype == DNS_TYPE_CNAME)
    return name;
  // Each link moves on, so a loop ends once every record was used.
  for (std::size_t hops = 0; hops < reply.answers.size(); ++hops) {
    std::string next;
    for (const dns_record &r : reply.answers) {
      if (r.type == DNS_TYPE_CNAME && r.owner == name) {
        next = r.data;
        break;
      }
      // A DNAME maps the names below its owner (RFC 6672 2.2); servers
      // send the CNAME it makes too, which the loop prefers.
      if (r.type == DNS_TYPE_DNAME && qtype != DNS_TYPE_DNAME &&
          r.owner != name && r.owner != "." && name_within(name, r.owner) &&
          next.empty())
        next = name.substr(0, name.size() - r.owner.size()) + r.data;
    }
    if (next.empty())
      break;
    if (chain)
      chain->push_back(next);
    name = next;
  }
  return name;
}

int judge_reply(const unsigned char *bytes, long length, int qtype) {
  dns_reply reply;
  if (parse_reply(bytes, length, &reply) != 0)
    return REPLY_SHORT;
  if (reply.rcode == DNS_RCODE_NXDOMAIN)
    return REPLY_NEGATIVE;
  if (reply.rcode != 0)
    return REPLY_EMPTY;
  if (!reply.qname.empty()) {
    const std::string end = chain_end(reply, qtype);
    for (const dns_record &r : reply.answers) {
      if (r.owner == end && (r.type == qtype || qtype == DNS_TYPE_ANY))
        return REPLY_ANSWERED;
    }
  }
  for (const dns_record &r : reply.authority) {
    if (r.type == DNS_TYPE_SOA)
      return REPLY_NEGATIVE;
  }
  return REPLY_NO_ANSWER;
}

std::string canonical_name(const std::string &name) {
  std::string out;
  for (char c : name)
    out.push_back(
        static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (out.empty() || out.back() != '.')
    out.push_back('.');
  if (out.size() > 1 && out[0] == '.')
    out.erase(0, 1);
  return out;
}

bool name_within(const std::string &name, const std::string &zone) {
  if (zone == ".")
    return true;
  if (name.size() < zone.size() ||
      name.compare(name.size() - zone.size(), zone.size(), zone) != 0)
    return false;
  return name.size() == zone.size() ||
         name[name.size() - zone.size() - 1] == '.';
}
