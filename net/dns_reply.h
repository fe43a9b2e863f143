// A whole DNS message read (RFC 1035 4.1): its header flags, its question
// and the records of its three sections, names decompressed. What the
// checks of the authoritative servers read; the probes need only the
// header.
#ifndef NET_DNS_REPLY_H
#define NET_DNS_REPLY_H

#include "net/dns_message.h"

#include <cstdint>
#include <string>
#include <vector>

struct dns_record {
  std::string owner; // lower case, ending in a dot ("." for the root)
  int type;
  std::uint32_t ttl;
  // A and AAAA: the address as text; NS, CNAME and PTR: the name, as owner
  // is; MX: "10 mail.example."; TXT: its strings quoted; other types: the
  // generic form of RFC 3597 ("\# 4 c0000201").
  std::string data;
};

struct dns_reply {
  unsigned id;
  unsigned flags;
  int rcode;
  std::string qname; // as owner is; empty when there is no question
  int qtype;
  std::vector<dns_record> answers;
  std::vector<dns_record> authority;
  std::vector<dns_record> additional;
};

// 0, or -1 when the bytes are no DNS message (cut short, a name that
// points forward or loops, a section longer than the message).
// With `answers_only`, the authority and additional sections are left
// unread (and empty).
int parse_reply(const unsigned char *bytes, long length, dns_reply *reply,
                bool answers_only = false);

// Where the answer section's CNAMEs (and DNAMEs, RFC 6672) lead from the
// question's name: the name at the end of the chain, each link followed
// in `chain` (when not null). A query of type CNAME follows none.
std::string chain_end(const dns_reply &reply, int qtype,
                      std::vector<std::string> *chain = nullptr);
// The open rules, rcode first: REPLY_ANSWERED for NOERROR with a record
// of `qtype` at the end of the chain; REPLY_NEGATIVE for NXDOMAIN, or
// NOERROR with an SOA in the authority section and no such record
// (NODATA); REPLY_NO_ANSWER for any other NOERROR; REPLY_EMPTY for any
// other rcode; REPLY_SHORT for no DNS message.
int judge_reply(const unsigned char *bytes, long length, int qtype);

// "Www.Example.COM" and "www.example.com." both give "www.example.com.".
std::string canonical_name(const std::string &name);
// True when `name` is `zone` or below it (both canonical).
bool name_within(const std::string &name, const std::string &zone);

#endif
