// The checks' queries: one socket a server, one loop over the poller until
// each server has answered, timed out or failed.
#include "net/auth_query.h"

#include "net/dns_message.h"
#include "net/poller.h"
#include "net/probe.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <algorithm>
#include <random>

namespace {

enum {
  EDNS_SIZE = 1232,
  READ_SIZE = 65536 + LENGTH_PREFIX,
  MAX_WAIT_MS = 100,
};

enum { EDNS, PLAIN, TCP_CONNECTING, TCP_READING, DONE };

struct asking {
  int phase = EDNS;
  int tries = 0;
  sock_t sock = -1;
  unsigned char query[QUERY_BUFFER_SIZE + 16];
  int length = 0;
  int question = 0; // the query without its OPT record: what a reply repeats
  probe_clock::time_point send_at, deadline, first_sent;
  bool sent = false; // the current query went out
  std::string in;    // over TCP
};

probe_clock::time_point reserve(auth_pacer *pacer, const std::string &address,
                                probe_clock::time_point now) {
  std::lock_guard<std::mutex> hold(pacer->lock);
  probe_clock::time_point &next = pacer->next[address];
  const probe_clock::time_point at = std::max(now, next);
  next = at + pacer->interval;
  ++pacer->queries[address];
  return at;
}

void done(asking *a, auth_reply *r, int outcome, poller *p) {
  r->outcome = outcome;
  a->phase = DONE;
  if (a->sock != -1) {
    poller_forget(p, a->sock);
    sock_close(a->sock);
    a->sock = -1;
  }
}

// The next query of this phase, with a fresh ID, paced.
void prepare(asking *a, const auth_question *q, const std::string &address,
             auth_pacer *pacer, std::mt19937 *random,
             probe_clock::time_point now) {
  const unsigned id = (*random)() & 0xFFFF;
  a->length = build_plain_query(q->name.c_str(), q->qtype, id,
                                a->phase == EDNS ? EDNS_SIZE : 0, a->query,
                                sizeof a->query);
  a->question = a->length - (a->phase == EDNS ? DNS_OPT_SIZE : 0);
  a->send_at = reserve(pacer, address, now);
  a->sent = false;
}

void take_reply(asking *a, auth_reply *r, const auth_question *q,
                const unsigned char *bytes, long n, int transport,
                probe_clock::time_point now, poller *p) {
  dns_reply reply;
  if (parse_reply(bytes, n, &reply) != 0)
    return;
  r->rcode = reply.rcode;
  r->aa = (reply.flags & DNS_FLAG_AA) != 0;
  r->ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - a->first_sent)
          .count());
  r->transport = transport;
  r->reply = reply;
  done(a, r, auth_outcome(reply, q->name), p);
}

} // namespace

void auth_pacer_start(auth_pacer *pacer, double rate) {
  pacer->interval = probe_clock::duration::zero();
  if (rate > 0.0)
    pacer->interval = std::chrono::duration_cast<probe_clock::duration>(
        std::chrono::duration<double>(1.0 / rate));
}

std::string auth_address_text(const ns_address *server) {
  char text[NS_TEXT_SIZE];
  format_ns_address(server, DNS_PORT, text, sizeof text);
  return text;
}

const char *auth_outcome_name(int outcome) {
  static const char *const NAMES[] = {"refused",  "servfail", "answer",
                                      "negative", "referral", "lame",
                                      "timeout",  "error",    "not_asked"};
  return outcome >= 0 && outcome <= AUTH_NOT_ASKED ? NAMES[outcome] : "";
}

int auth_outcome(const dns_reply &reply, const std::string &qname) {
  if (reply.rcode == DNS_RCODE_REFUSED)
    return AUTH_REFUSED;
  if (reply.rcode == DNS_RCODE_SERVFAIL)
    return AUTH_SERVFAIL;
  // Any other error code decides, whatever the flags.
  if (reply.rcode != 0 && reply.rcode != DNS_RCODE_NXDOMAIN)
    return AUTH_ERROR;
  if ((reply.flags & DNS_FLAG_AA) != 0)
    return reply.rcode == 0 && !reply.answers.empty() ? AUTH_ANSWER
                                                      : AUTH_NEGATIVE;
  if (reply.rcode == 0 && reply.answers.empty()) {
    for (const dns_record &r : reply.authority) {
      if (r.type == DNS_TYPE_NS && r.owner != "." &&
          name_within(qname, r.owner))
        return AUTH_REFERRAL;
    }
  }
  return AUTH_LAME;
}

namespace {

// One question asked of many servers at once.
struct ask_round {
  const std::vector<ns_address> *servers;
  const std::vector<auth_question> *questions; // by server
  auth_pacer *pacer;
  std::vector<auth_reply> *replies;
  std::vector<asking> ask;
  std::vector<std::string> address;
  std::mt19937 random{std::random_device{}()};
  poller *p = nullptr;
};

void next_query(ask_round *r, std::size_t i, probe_clock::time_point now) {
  prepare(&r->ask[i], &(*r->questions)[i], r->address[i], r->pacer, &r->random,
          now);
}

void finish(ask_round *r, std::size_t i, int outcome) {
  done(&r->ask[i], &(*r->replies)[i], outcome, r->p);
}

// What time asks of server `i`: a query due, or a deadline passed. When it
// next needs the loop goes into *wake.
void on_time(ask_round *r, std::size_t i, probe_clock::time_point now,
             probe_clock::time_point *wake) {
  asking &a = r->ask[i];
  const ns_address &server = (*r->servers)[i];
  const auth_question &q = (*r->questions)[i];
  if (!a.sent && now >= a.send_at) {
    if (a.tries == 0 && a.phase == EDNS)
      a.first_sent = now;
    a.deadline = now + std::chrono::milliseconds(std::max(1, q.timeout_ms));
    a.sent = true;
    if (a.phase == EDNS || a.phase == PLAIN) {
      ++a.tries;
      if (sock_send_to(a.sock, a.query, a.length,
                       reinterpret_cast<const sockaddr *>(&server.sa),
                       server.length) < 0)
        finish(r, i, AUTH_ERROR);
    } else {
      int error = 0;
      a.sock = stream_connect(&server, &error);
      if (a.sock == -1 ||
          poller_watch(r->p, a.sock, static_cast<int>(i), POLL_WRITE) != 0)
        finish(r, i, AUTH_ERROR);
    }
  } else if (a.sent && now >= a.deadline) {
    // The attempts with EDNS but the last, which goes without (RFC 6891
    // 6.2.2): at least one of each.
    if (a.phase != EDNS) {
      finish(r, i, AUTH_TIMEOUT);
      return;
    }
    if (a.tries >= std::max(1, q.attempts - 1))
      a.phase = PLAIN;
    next_query(r, i, now);
  }
  if (a.phase != DONE)
    *wake = std::min(*wake, a.sent ? a.deadline : a.send_at);
}

void read_datagram(ask_round *r, std::size_t i, probe_clock::time_point now) {
  asking &a = r->ask[i];
  unsigned char bytes[READ_SIZE];
  sockaddr_storage from;
  int from_length = 0;
  const long got =
      sock_recv_from(a.sock, bytes, sizeof bytes, &from, &from_length);
  // An error reply may leave the question out (a bare header, as many
  // servers refuse): its ID and sender make it this server's answer.
  if (got < 0 || !is_ns_address(&(*r->servers)[i], &from, from_length) ||
      !(same_question(a.query, a.question, bytes, got) ||
        error_without_question(got, bytes)) ||
      message_id(got, bytes) != message_id(a.length, a.query))
    return;
  // A server that does not know EDNS may say so with FORMERR or NOTIMP
  // (RFC 6891 7): asked again without it.
  const int rcode = reply_rcode(got, bytes);
  if (a.phase == EDNS &&
      (rcode == DNS_RCODE_FORMERR || rcode == DNS_RCODE_NOTIMP)) {
    a.phase = PLAIN;
    next_query(r, i, now);
    return;
  }
  if (!reply_truncated(got, bytes)) {
    take_reply(&a, &(*r->replies)[i], &(*r->questions)[i], bytes, got, NS_UDP,
               now, r->p);
    return;
  }
  // Cut short: asked again over TCP.
  poller_forget(r->p, a.sock);
  sock_close(a.sock);
  a.sock = -1;
  a.phase = TCP_CONNECTING;
  next_query(r, i, now);
}

void send_frame(ask_round *r, std::size_t i) {
  asking &a = r->ask[i];
  if (stream_connect_result(a.sock) != 0) {
    finish(r, i, AUTH_ERROR);
    return;
  }
  std::string frame;
  append_frame(&frame, a.query, a.length);
  // A query this small goes out whole on a fresh connection.
  if (stream_send(a.sock, reinterpret_cast<const unsigned char *>(frame.data()),
                  frame.size()) != static_cast<long>(frame.size()) ||
      poller_watch(r->p, a.sock, static_cast<int>(i), POLL_READ) != 0) {
    finish(r, i, AUTH_ERROR);
    return;
  }
  a.phase = TCP_READING;
}

void read_stream(ask_round *r, std::size_t i, probe_clock::time_point now) {
  asking &a = r->ask[i];
  unsigned char bytes[READ_SIZE];
  const long got = stream_recv(a.sock, bytes, sizeof bytes);
  if (got == SOCK_WOULD_BLOCK)
    return;
  if (got <= 0) {
    finish(r, i, AUTH_ERROR);
    return;
  }
  a.in.append(reinterpret_cast<const char *>(bytes),
              static_cast<std::size_t>(got));
  const unsigned char *message = nullptr;
  long length = 0;
  if (first_frame(reinterpret_cast<const unsigned char *>(a.in.data()),
                  a.in.size(), &message, &length) > 0)
    take_reply(&a, &(*r->replies)[i], &(*r->questions)[i], message, length,
               NS_TCP, now, r->p);
}

} // namespace

void auth_ask(const std::vector<ns_address> &servers, const auth_question *q,
              auth_pacer *pacer, std::vector<auth_reply> *replies) {
  auth_ask_each(servers, std::vector<auth_question>(servers.size(), *q), pacer,
                replies);
}

void auth_ask_each(const std::vector<ns_address> &servers,
                   const std::vector<auth_question> &questions,
                   auth_pacer *pacer, std::vector<auth_reply> *replies) {
  const std::size_t count = servers.size();
  replies->assign(count, auth_reply{AUTH_ERROR, -1, false, -1, NS_UDP, {}});
  ask_round r;
  r.servers = &servers;
  r.questions = &questions;
  r.pacer = pacer;
  r.replies = replies;
  r.ask.resize(count);
  r.address.resize(count);
  r.p = poller_open();
  if (!r.p)
    return;
  const probe_clock::time_point start = probe_clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    r.address[i] = auth_address_text(&servers[i]);
    if (!sock_has_route(&servers[i])) {
      r.ask[i].phase = DONE;
      (*replies)[i].outcome = AUTH_NOT_ASKED;
      continue;
    }
    r.ask[i].sock = sock_udp_nonblocking(servers[i].sa.ss_family);
    if (r.ask[i].sock == -1 ||
        poller_add(r.p, r.ask[i].sock, static_cast<int>(i)) != 0)
      finish(&r, i, AUTH_ERROR);
    else
      next_query(&r, i, start);
  }
  for (;;) {
    probe_clock::time_point now = probe_clock::now();
    probe_clock::time_point wake = now + std::chrono::milliseconds(MAX_WAIT_MS);
    bool open = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (r.ask[i].phase == DONE)
        continue;
      open = true;
      on_time(&r, i, now, &wake);
    }
    if (!open)
      break;
    const long wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - now)
            .count() +
        1;
    poller_event events[16];
    const int n =
        poller_wait(r.p, static_cast<int>(std::max<long>(0, wait)), events, 16);
    now = probe_clock::now();
    for (int k = 0; k < n; ++k) {
      const std::size_t i = static_cast<std::size_t>(events[k].tag);
      const int phase = r.ask[i].phase;
      if (phase == EDNS || phase == PLAIN)
        read_datagram(&r, i, now);
      else if (phase == TCP_CONNECTING)
        send_frame(&r, i);
      else if (phase == TCP_READING)
        read_stream(&r, i, now);
    }
  }
  poller_close(r.p);
}
