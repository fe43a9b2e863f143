// What an answered probe's deciding reply held: its answers (the addresses
// of A and AAAA records, each record's data as text for other types), the
// CNAME chain that led to them and the smallest TTL. A pass keeps them for
// every answered probe in a few bytes each. The terminal program's.
#ifndef RUN_ANSWERS_H
#define RUN_ANSWERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct probe_answers {
  std::vector<std::string> answers;
  std::vector<std::string> cname; // in the order followed
  std::int64_t ttl;               // -1 when the reply held no record
};

struct dns_reply;

// Reads the answer section of a reply to a query of `qtype`; false when it
// is no DNS message.
bool read_answers(const unsigned char *reply, long length, int qtype,
                  probe_answers *out);
// The same from a reply already read; adds to what `out` holds.
void answers_of(const dns_reply &reply, int qtype, probe_answers *out);

// How a probe's answers stand against the authoritative servers'.
enum {
  VS_NONE = 0,     // not compared
  VS_SAME,         // an address, a /24 (IPv4) or /48 (IPv6), or the final
                   // CNAME target in common
  VS_DIFFERS,      // none: information, not a failure (GeoDNS, CDNs)
  VS_UNVERIFIABLE, // the servers gave no answer to compare with
};
int compare_answers(const probe_answers &ours, const probe_answers &theirs);
// A loopback, unspecified, private-use (RFC 1918, ULA), link-local or
// Teredo address: no answer a public name should have.
bool is_bogon(const std::string &address);

// A pass's answers, by probe number (2 × line, + 1 for the "www." name).
// Kept in chunks that never move, so that growing costs no copy.
class answer_store {
public:
  void resize(std::size_t probes);
  void put(std::size_t probe, const probe_answers &answers);
  // False when the probe kept none.
  bool get(std::size_t probe, probe_answers *answers) const;

private:
  std::vector<std::uint32_t> at_; // 0 for none, else 1 + where
  std::vector<std::string> chunks_;
};

#endif
