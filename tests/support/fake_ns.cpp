// The fake nameserver. One thread per server: it waits on its socket with a
// short timeout (so that a stop and the delayed replies are seen promptly),
// records every datagram and answers as the rule for the question says.
// Native only: Wine binds a socket asked for 127.0.0.X to the wildcard
// address, so the Windows suites drive these servers in the native fake_ns
// program instead (fake_ns_remote.cpp).
#include "tests/support/fake_ns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

// A name that no zone holds, as the terminal program makes them to find a
// nameserver that answers those: a label of 16 letters and digits (after
// "www." or not) under com, cn or invalid. A fake that answers every other
// name says these do not exist, unless a rule names them: it is no
// hijacker.
bool cannot_exist(const std::string &qname) {
  std::string name = qname;
  if (!name.empty() && name.back() == '.')
    name.pop_back();
  if (name.compare(0, 4, "www.") == 0)
    name.erase(0, 4);
  const std::size_t dot = name.find('.');
  if (dot != 16)
    return false;
  for (std::size_t i = 0; i < dot; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i])))
      return false;
  }
  const std::string rest = name.substr(dot + 1);
  return rest == "com" || rest == "cn" || rest == "invalid";
}

typedef std::chrono::steady_clock fake_clock;
typedef int fake_socket;
const fake_socket NO_SOCKET = -1;

void close_fake_socket(fake_socket s) {
  close(s);
}

// RFC 1035 4.1.1: the header is six 16-bit fields.
const std::size_t HEADER_SIZE = 12;
const std::size_t OVERSIZE_LENGTH = 1500; // past the client's 1024 bytes
const std::size_t SHORT_LENGTH = 11;      // one byte short of a header
const int POLL_MS = 5; // how late a delayed reply or a stop may be seen
const int DRAIN_BATCH = 256;

enum {
  RCODE_OK = 0,
  RCODE_SERVFAIL = 2,
  RCODE_NXDOMAIN = 3,
  RCODE_REFUSED = 5,
  TYPE_A = 1,
  TYPE_CNAME = 5,
  TYPE_SOA = 6,
  CLASS_IN = 1,
};

struct fake_rule {
  fake_behaviour behaviour;
  int delay_ms;
};

struct pending_reply {
  fake_clock::time_point due;
  std::vector<std::uint8_t> bytes;
  sockaddr_in to;
};

} // namespace

struct fake_ns {
  fake_socket sock = NO_SOCKET;       // ip:53
  fake_socket other_port = NO_SOCKET; // ip, another port
  fake_socket other_addr = NO_SOCKET; // another loopback address
  std::thread thread;
  std::atomic<bool> stopping{false};

  std::mutex lock;
  std::condition_variable arrived;
  std::map<std::string, fake_rule> rules;
  fake_rule fallback{FAKE_ANSWER_A, 0};
  std::vector<fake_datagram> received;
  std::map<std::string, int> asks;    // by question name
  int waiters = 0;                    // fake_ns_wait calls under way
  std::vector<pending_reply> pending; // only the server thread touches it
};

namespace {

void put16(std::vector<std::uint8_t> &out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void put32(std::vector<std::uint8_t> &out, unsigned long value) {
  put16(out, static_cast<unsigned>((value >> 16) & 0xFFFF));
  put16(out, static_cast<unsigned>(value & 0xFFFF));
}

// The question's name in dotted form and where the question ends; false when
// the datagram holds no well-formed question (RFC 1035 4.1.2).
bool parse_question(const std::uint8_t *d, std::size_t n, std::string &name,
                    std::size_t &end, std::uint16_t &qtype) {
  std::size_t at = HEADER_SIZE;
  name.clear();
  while (at < n && d[at] != 0) {
    std::size_t len = d[at];
    if (len > 63 || at + 1 + len > n)
      return false;
    if (!name.empty())
      name += '.';
    name.append(reinterpret_cast<const char *>(d + at + 1), len);
    at += 1 + len;
  }
  if (at + 5 > n)
    return false;
  qtype = static_cast<std::uint16_t>(d[at + 1] << 8 | d[at + 2]);
  end = at + 5;
  return true;
}

// A reply to `query` (whose question ends at q_end): the header with the
// query's ID and RD bit, the question, and the records the behaviour asks for.
std::vector<std::uint8_t> make_reply(const std::uint8_t *query,
                                     std::size_t q_end,
                                     fake_behaviour behaviour) {
  std::vector<std::uint8_t> out;
  unsigned id = static_cast<unsigned>(query[0] << 8 | query[1]);
  unsigned rd = query[2] & 0x01;
  unsigned rcode = RCODE_OK, an = 0, ns = 0;
  bool question = true;
  switch (behaviour) {
  case FAKE_NXDOMAIN:
    rcode = RCODE_NXDOMAIN;
    ns = 1;
    break;
  case FAKE_NODATA:
    ns = 1;
    break;
  case FAKE_REFUSED:
    rcode = RCODE_REFUSED;
    question = false;
    break;
  case FAKE_SERVFAIL:
    rcode = RCODE_SERVFAIL;
    question = false;
    break;
  case FAKE_SERVFAIL_CNAME:
    rcode = RCODE_SERVFAIL;
    an = 1;
    break;
  default:
    an = 1;
    break;
  }
  if (behaviour == FAKE_WRONG_ID)
    id = (id + 1) & 0xFFFF;
  put16(out, id);
  out.push_back(static_cast<std::uint8_t>(0x80 | rd));    // QR, RD as asked
  out.push_back(static_cast<std::uint8_t>(0x80 | rcode)); // RA
  put16(out, question ? 1 : 0);
  put16(out, an);
  put16(out, ns);
  put16(out, 0);
  if (question)
    out.insert(out.end(), query + HEADER_SIZE, query + q_end);
  const std::uint8_t name_ptr[] = {0xC0, 0x0C}; // the question's name
  if (an) {
    out.insert(out.end(), name_ptr, name_ptr + 2);
    if (behaviour == FAKE_CNAME_ONLY || behaviour == FAKE_SERVFAIL_CNAME) {
      const std::uint8_t alias[] = {5, 'a', 'l', 'i', 'a', 's', 0xC0, 0x0C};
      put16(out, TYPE_CNAME);
      put16(out, CLASS_IN);
      put32(out, 300);
      put16(out, sizeof alias);
      out.insert(out.end(), alias, alias + sizeof alias);
    } else {
      const std::uint8_t test_net[] = {192, 0, 2, 1}; // TEST-NET-1
      const std::uint8_t private_net[] = {10, 0, 0, 1};
      const std::uint8_t *address =
          behaviour == FAKE_PRIVATE ? private_net : test_net;
      put16(out, TYPE_A);
      put16(out, CLASS_IN);
      put32(out, 300);
      put16(out, 4);
      out.insert(out.end(), address, address + 4);
    }
  }
  if (ns) {
    const std::uint8_t mname[] = {2, 'n', 's', 0xC0, 0x0C};
    const std::uint8_t rname[] = {4, 'h', 'o', 's', 't', 0xC0, 0x0C};
    out.insert(out.end(), name_ptr, name_ptr + 2);
    put16(out, TYPE_SOA);
    put16(out, CLASS_IN);
    put32(out, 300);
    put16(out, sizeof mname + sizeof rname + 20);
    out.insert(out.end(), mname, mname + sizeof mname);
    out.insert(out.end(), rname, rname + sizeof rname);
    put32(out, 1);     // serial
    put32(out, 3600);  // refresh
    put32(out, 600);   // retry
    put32(out, 86400); // expire
    put32(out, 300);   // minimum
  }
  if (behaviour == FAKE_SHORT)
    out.resize(SHORT_LENGTH);
  if (behaviour == FAKE_OVERSIZE)
    out.resize(OVERSIZE_LENGTH, 0);
  return out;
}

void send_bytes(fake_socket s, const std::vector<std::uint8_t> &bytes,
                const sockaddr_in &to) {
  std::size_t length = bytes.size();
  sendto(s, bytes.data(), length, 0, reinterpret_cast<const sockaddr *>(&to),
         sizeof to);
}

fake_socket bind_udp(std::uint32_t address_be, unsigned port) {
  fake_socket s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == NO_SOCKET)
    return NO_SOCKET;
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = address_be;
  if (bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
    close_fake_socket(s);
    return NO_SOCKET;
  }
  return s;
}

void handle(fake_ns *ns, const std::uint8_t *d, std::size_t n,
            const sockaddr_in &from) {
  fake_datagram got;
  got.bytes.assign(d, d + n);
  got.id =
      n >= 2 ? static_cast<std::uint16_t>(d[0] << 8 | d[1]) : std::uint16_t{0};
  got.qtype = 0;
  got.at = fake_clock::now();
  std::size_t q_end = 0;
  bool ok =
      n >= HEADER_SIZE && parse_question(d, n, got.qname, q_end, got.qtype);
  fake_rule rule;
  bool waiting;
  {
    std::lock_guard<std::mutex> hold(ns->lock);
    auto it = ns->rules.find(got.qname);
    const fake_behaviour all = ns->fallback.behaviour;
    const bool answers_all = all == FAKE_ANSWER_A || all == FAKE_DELAYED ||
                             all == FAKE_FLAKY || all == FAKE_COLD;
    rule = it != ns->rules.end() ? it->second
           : answers_all && cannot_exist(got.qname)
               ? fake_rule{FAKE_NXDOMAIN, 0}
               : ns->fallback;
    // Behaviours that change with the asks of a name.
    const int ask = ++ns->asks[got.qname];
    if (rule.behaviour == FAKE_FLAKY)
      rule.behaviour = ask <= 2 ? FAKE_SERVFAIL : FAKE_ANSWER_A;
    if (rule.behaviour == FAKE_COLD)
      rule.behaviour = ask == 1 ? FAKE_DELAYED : FAKE_ANSWER_A;
    if (rule.behaviour == FAKE_HIJACK)
      rule.behaviour = FAKE_ANSWER_A;
    ns->received.push_back(got);
    waiting = ns->waiters > 0;
  }
  if (waiting)
    ns->arrived.notify_all();
  // Not a question we can answer: it is recorded, and that is all.
  if (!ok || rule.behaviour == FAKE_SILENT)
    return;
  std::vector<std::uint8_t> reply = make_reply(d, q_end, rule.behaviour);
  if (rule.behaviour == FAKE_RACE) {
    // The answer's address is the reply's last four bytes.
    std::vector<std::uint8_t> forged = reply;
    const std::uint8_t elsewhere[] = {198, 51, 100, 66};
    std::copy(elsewhere, elsewhere + 4, forged.end() - 4);
    send_bytes(ns->sock, forged, from);
    ns->pending.push_back(
        {got.at + std::chrono::milliseconds(rule.delay_ms), reply, from});
    return;
  }
  if (rule.behaviour == FAKE_DUPLICATE)
    send_bytes(ns->sock, reply, from);
  if (rule.behaviour == FAKE_DELAYED) {
    ns->pending.push_back(
        {got.at + std::chrono::milliseconds(rule.delay_ms), reply, from});
    return;
  }
  fake_socket via = ns->sock;
  if (rule.behaviour == FAKE_WRONG_PORT)
    via = ns->other_port;
  if (rule.behaviour == FAKE_WRONG_ADDR)
    via = ns->other_addr;
  if (via != NO_SOCKET)
    send_bytes(via, reply, from);
}

void send_due(fake_ns *ns) {
  fake_clock::time_point now = fake_clock::now();
  for (std::size_t i = 0; i < ns->pending.size();) {
    if (ns->pending[i].due <= now) {
      send_bytes(ns->sock, ns->pending[i].bytes, ns->pending[i].to);
      ns->pending.erase(ns->pending.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void serve(fake_ns *ns) {
  std::uint8_t buffer[4096];
  while (!ns->stopping.load()) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ns->sock, &readable);
    timeval wait = {0, POLL_MS * 1000};
    int ready = select(ns->sock + 1, &readable, nullptr, nullptr, &wait);
    // Under load, take what is queued without a select per datagram; a batch
    // is bounded so that delayed replies and a stop are still seen.
    for (int i = 0; ready > 0 && i < DRAIN_BATCH; ++i) {
      sockaddr_in from;
      socklen_t from_len = sizeof from;
      long got = recvfrom(ns->sock, buffer, sizeof buffer, MSG_DONTWAIT,
                          reinterpret_cast<sockaddr *>(&from), &from_len);
      if (got < 0)
        break;
      handle(ns, buffer, static_cast<std::size_t>(got), from);
    }
    send_due(ns);
  }
}

} // namespace

fake_ns *fake_ns_start(const char *ip, fake_behaviour default_behaviour) {
  std::uint32_t address = inet_addr(ip);
  if (address == INADDR_NONE)
    return nullptr;
  fake_ns *ns = new fake_ns;
  ns->fallback = {default_behaviour, 2500};
  ns->sock = bind_udp(address, 53);
  if (ns->sock == NO_SOCKET) {
    delete ns;
    return nullptr;
  }
  ns->other_port = bind_udp(address, 0);
  // Another loopback address: 127.0.1.X for a server on a.b.c.X.
  std::uint32_t last = ntohl(address) & 0xFF;
  ns->other_addr = bind_udp(htonl(0x7F000100u | last), 53);
  if (ns->other_addr == NO_SOCKET)
    ns->other_addr = bind_udp(htonl(0x7F000100u | last), 0);
  ns->thread = std::thread(serve, ns);
  return ns;
}

void fake_ns_rule(fake_ns *ns, const char *qname, fake_behaviour behaviour,
                  int delay_ms) {
  std::lock_guard<std::mutex> hold(ns->lock);
  ns->rules[qname] = {behaviour, delay_ms};
}

void fake_ns_default(fake_ns *ns, fake_behaviour behaviour, int delay_ms) {
  std::lock_guard<std::mutex> hold(ns->lock);
  ns->fallback = {behaviour, delay_ms};
}

std::vector<fake_datagram> fake_ns_received(fake_ns *ns) {
  std::lock_guard<std::mutex> hold(ns->lock);
  return ns->received;
}

bool fake_ns_wait(fake_ns *ns, std::size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> hold(ns->lock);
  ++ns->waiters;
  bool arrived =
      ns->arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return ns->received.size() >= count; });
  --ns->waiters;
  return arrived;
}

void fake_ns_forget(fake_ns *ns) {
  std::lock_guard<std::mutex> hold(ns->lock);
  ns->received.clear();
}

void fake_ns_stop(fake_ns *ns) {
  if (!ns)
    return;
  ns->stopping.store(true);
  ns->thread.join();
  close_fake_socket(ns->sock);
  if (ns->other_port != NO_SOCKET)
    close_fake_socket(ns->other_port);
  if (ns->other_addr != NO_SOCKET)
    close_fake_socket(ns->other_addr);
  delete ns;
}
