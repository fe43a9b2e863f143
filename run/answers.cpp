// An entry: the TTL (4 bytes, all ones for none), the count of answers, each
// answer (4 or 16 address bytes behind a tag of 4 or 16, or text behind a
// 0 tag and its length), the count of CNAMEs and each behind its length.
// Texts over 255 bytes are cut: no name is longer, and a record's data of
// that length is rare.
#include "run/answers.h"

#include "net/dns_reply.h"
#include "net/sock.h"

#include <algorithm>
#include <cstring>

namespace {

enum {
  CHUNK = 1 << 20,
  MAX_TEXT = 255,
  NO_TTL = -1,
};

void put_text(std::string *out, const std::string &text) {
  const std::size_t n = std::min<std::size_t>(text.size(), MAX_TEXT);
  out->push_back(static_cast<char>(n));
  out->append(text, 0, n);
}

std::string encode(const probe_answers &a) {
  std::string e;
  const std::uint32_t ttl =
      a.ttl < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(a.ttl);
  for (int shift = 24; shift >= 0; shift -= 8)
    e.push_back(static_cast<char>(ttl >> shift));
  const std::size_t count = std::min<std::size_t>(a.answers.size(), 255);
  e.push_back(static_cast<char>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const std::string &text = a.answers[i];
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
      e.push_back(4);
      e.append(reinterpret_cast<const char *>(bytes), 4);
    } else if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
      e.push_back(16);
      e.append(reinterpret_cast<const char *>(bytes), 16);
    } else {
      e.push_back(0);
      put_text(&e, text);
    }
  }
  const std::size_t cnames = std::min<std::size_t>(a.cname.size(), 255);
  e.push_back(static_cast<char>(cnames));
  for (std::size_t i = 0; i < cnames; ++i)
    put_text(&e, a.cname[i]);
  return e;
}

} // namespace

bool read_answers(const unsigned char *reply, long length, int qtype,
                  probe_answers *out) {
  *out = probe_answers{{}, {}, std::int64_t{NO_TTL}};
  dns_reply r;
  if (parse_reply(reply, length, &r, true) != 0)
    return false;
  answers_of(r, qtype, out);
  return true;
}

void answers_of(const dns_reply &r, int qtype, probe_answers *out) {
  // The chain from the name asked, as far as the reply follows it.
  std::vector<std::string> chain;
  const std::string name = chain_end(r, qtype, &chain);
  for (const std::string &c : chain) {
    if (std::find(out->cname.begin(), out->cname.end(), c) == out->cname.end())
      out->cname.push_back(c);
  }
  for (const dns_record &rec : r.answers) {
    if (out->ttl < 0 || rec.ttl < out->ttl)
      out->ttl = rec.ttl;
    if (rec.type == qtype && rec.owner == name &&
        std::find(out->answers.begin(), out->answers.end(), rec.data) ==
            out->answers.end())
      out->answers.push_back(rec.data);
  }
}

namespace {

// The first `bits` bits of an address, as bytes; empty for no address.
std::string prefix_of(const std::string &text, int v4_bits, int v6_bits) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
    return std::string("4") +
           std::string(reinterpret_cast<const char *>(bytes),
                       static_cast<std::size_t>(v4_bits / 8));
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
    return std::string("6") +
           std::string(reinterpret_cast<const char *>(bytes),
                       static_cast<std::size_t>(v6_bits / 8));
  return "";
}

} // namespace

int compare_answers(const probe_answers &ours, const probe_answers &theirs) {
  if (theirs.answers.empty() && theirs.cname.empty())
    return VS_UNVERIFIABLE;
  for (const std::string &a : ours.answers) {
    const std::string mine = prefix_of(a, 24, 48);
    for (const std::string &b : theirs.answers) {
      if (a == b || (!mine.empty() && mine == prefix_of(b, 24, 48)))
        return VS_SAME;
    }
  }
  if (!ours.cname.empty() && !theirs.cname.empty() &&
      std::find(theirs.cname.begin(), theirs.cname.end(), ours.cname.back()) !=
          theirs.cname.end())
    return VS_SAME;
  return VS_DIFFERS;
}

bool is_bogon(const std::string &address) {
  unsigned char b[16];
  if (inet_pton(AF_INET, address.c_str(), b) == 1)
    return b[0] == 127 || b[0] == 0 || b[0] == 10 ||
           (b[0] == 172 && (b[1] & 0xF0) == 16) ||
           (b[0] == 192 && b[1] == 168) || (b[0] == 169 && b[1] == 254);
  if (inet_pton(AF_INET6, address.c_str(), b) != 1)
    return false;
  static const unsigned char zero[15] = {};
  const bool low = std::memcmp(b, zero, 15) == 0;
  return (low && b[15] <= 1) ||                     // :: and ::1
         (b[0] & 0xFE) == 0xFC ||                   // ULA, fc00::/7
         (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) || // link-local, fe80::/10
         (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0 && b[3] == 0); // Teredo
}

void answer_store::resize(std::size_t probes) {
  at_.assign(probes, 0);
  chunks_.clear();
}

void answer_store::put(std::size_t probe, const probe_answers &answers) {
  const std::string e = encode(answers);
  if (chunks_.empty() || chunks_.back().size() + e.size() > CHUNK) {
    chunks_.emplace_back();
    chunks_.back().reserve(CHUNK);
  }
  const std::size_t where =
      (chunks_.size() - 1) * CHUNK + chunks_.back().size();
  chunks_.back() += e;
  at_[probe] = static_cast<std::uint32_t>(where + 1);
}

bool answer_store::get(std::size_t probe, probe_answers *answers) const {
  if (probe >= at_.size() || at_[probe] == 0)
    return false;
  const std::size_t where = at_[probe] - 1;
  const std::string &chunk = chunks_[where / CHUNK];
  const unsigned char *p =
      reinterpret_cast<const unsigned char *>(chunk.data()) + where % CHUNK;
  std::uint32_t ttl = 0;
  for (int i = 0; i < 4; ++i)
    ttl = ttl << 8 | *p++;
  *answers = probe_answers{{},
                           {},
                           ttl == 0xFFFFFFFFu ? std::int64_t{NO_TTL}
                                              : static_cast<std::int64_t>(ttl)};
  const unsigned count = *p++;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned tag = *p++;
    char text[64];
    if (tag == 4 || tag == 16) {
      inet_ntop(tag == 4 ? AF_INET : AF_INET6, p, text, sizeof text);
      answers->answers.push_back(text);
      p += tag;
    } else {
      const unsigned n = *p++;
      answers->answers.emplace_back(reinterpret_cast<const char *>(p), n);
      p += n;
    }
  }
  const unsigned cnames = *p++;
  for (unsigned i = 0; i < cnames; ++i) {
    const unsigned n = *p++;
    answers->cname.emplace_back(reinterpret_cast<const char *>(p), n);
    p += n;
  }
  return true;
}
