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

int auth_outcome(const dns_reply &reply, const std::string &qname) {
  if (reply.rcode == DNS_RCODE_REFUSED)
    return AUTH_REFUSED;
  if (reply.rcode == DNS_RCODE_SERVFAIL)
    return AUTH_SERVFAIL;
  const bool aa = (reply.flags & DNS_FLAG_AA) != 0;
  const bool usable = reply.rcode == 0 || reply.rcode == DNS_RCODE_NXDOMAIN;
  if (aa && usable)
    return reply.rcode == 0 && !reply.answers.empty() ? AUTH_ANSWER
                                                      : AUTH_NEGATIVE;
  if (aa)
    return AUTH_ERROR;
  if (reply.rcode == 0 && reply.answers.empty()) {
    for (const dns_record &r : reply.authority) {
      if (r.type == DNS_TYPE_NS && r.owner != "." &&
          name_within(qname, r.owner))
        return AUTH_REFERRAL;
    }
  }
  return AUTH_LAME;
}

void auth_ask(const std::vector<ns_address> &servers, const auth_question *q,
              auth_pacer *pacer, std::vector<auth_reply> *replies) {
  const std::size_t count = servers.size();
  replies->assign(count, auth_reply{AUTH_ERROR, -1, false, -1, NS_UDP, {}});
  std::vector<asking> ask(count);
  std::vector<std::string> address(count);
  std::mt19937 random{std::random_device{}()};
  poller *p = poller_open();
  if (!p)
    return;
  const auto timeout = std::chrono::milliseconds(std::max(1, q->timeout_ms));
  probe_clock::time_point now = probe_clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    address[i] = auth_address_text(&servers[i]);
    if (!sock_has_route(&servers[i])) {
      ask[i].phase = DONE;
      (*replies)[i].outcome = AUTH_NOT_ASKED;
      continue;
    }
    ask[i].sock = sock_udp_nonblocking(servers[i].sa.ss_family);
    if (ask[i].sock == -1 ||
        poller_add(p, ask[i].sock, static_cast<int>(i)) != 0) {
      done(&ask[i], &(*replies)[i], AUTH_ERROR, p);
      continue;
    }
    prepare(&ask[i], q, address[i], pacer, &random, now);
  }
  for (;;) {
    now = probe_clock::now();
    probe_clock::time_point wake = now + std::chrono::milliseconds(MAX_WAIT_MS);
    bool open = false;
    for (std::size_t i = 0; i < count; ++i) {
      asking &a = ask[i];
      auth_reply &r = (*replies)[i];
      if (a.phase == DONE)
        continue;
      open = true;
      if (!a.sent && now >= a.send_at) {
        if (a.tries == 0 && a.phase == EDNS)
          a.first_sent = now;
        a.deadline = now + timeout;
        a.sent = true;
        if (a.phase == EDNS || a.phase == PLAIN) {
          ++a.tries;
          if (sock_send_to(a.sock, a.query, a.length,
                           reinterpret_cast<const sockaddr *>(&servers[i].sa),
                           servers[i].length) < 0)
            done(&a, &r, AUTH_ERROR, p);
        } else {
          int error = 0;
          a.sock = stream_connect(&servers[i], &error);
          if (a.sock == -1 ||
              poller_watch(p, a.sock, static_cast<int>(i), POLL_WRITE) != 0)
            done(&a, &r, AUTH_ERROR, p);
        }
      } else if (a.sent && now >= a.deadline) {
        // The attempts with EDNS, then one without, then nothing more.
        if (a.phase == EDNS && a.tries >= q->attempts)
          a.phase = PLAIN;
        else if (a.phase != EDNS) {
          done(&a, &r, AUTH_TIMEOUT, p);
          continue;
        }
        prepare(&a, q, address[i], pacer, &random, now);
      }
      if (a.phase != DONE)
        wake = std::min(wake, a.sent ? a.deadline : a.send_at);
    }
    if (!open)
      break;
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - now)
            .count() +
        1;
    poller_event events[16];
    const int n =
        poller_wait(p, static_cast<int>(std::max<long>(0, wait)), events, 16);
    now = probe_clock::now();
    for (int k = 0; k < n; ++k) {
      const std::size_t i = static_cast<std::size_t>(events[k].tag);
      asking &a = ask[i];
      auth_reply &r = (*replies)[i];
      if (a.phase == EDNS || a.phase == PLAIN) {
        unsigned char bytes[READ_SIZE];
        sockaddr_storage from;
        int from_length = 0;
        const long got =
            sock_recv_from(a.sock, bytes, sizeof bytes, &from, &from_length);
        if (got < 0 || !is_ns_address(&servers[i], &from, from_length) ||
            !same_question(a.query, a.question, bytes, got) ||
            message_id(got, bytes) != message_id(a.length, a.query))
          continue;
        if (reply_truncated(got, bytes)) {
          poller_forget(p, a.sock);
          sock_close(a.sock);
          a.sock = -1;
          a.phase = TCP_CONNECTING;
          prepare(&a, q, address[i], pacer, &random, now);
          continue;
        }
        take_reply(&a, &r, q, bytes, got, NS_UDP, now, p);
      } else if (a.phase == TCP_CONNECTING) {
        if (stream_connect_result(a.sock) != 0) {
          done(&a, &r, AUTH_ERROR, p);
          continue;
        }
        unsigned char frame[sizeof a.query + LENGTH_PREFIX];
        frame[0] = static_cast<unsigned char>(a.length >> 8);
        frame[1] = static_cast<unsigned char>(a.length);
        std::copy(a.query, a.query + a.length, frame + LENGTH_PREFIX);
        const std::size_t size = static_cast<std::size_t>(a.length) + 2;
        // A query this small goes out whole on a fresh connection.
        if (stream_send(a.sock, frame, size) != static_cast<long>(size) ||
            poller_watch(p, a.sock, static_cast<int>(i), POLL_READ) != 0) {
          done(&a, &r, AUTH_ERROR, p);
          continue;
        }
        a.phase = TCP_READING;
      } else if (a.phase == TCP_READING) {
        unsigned char bytes[READ_SIZE];
        const long got = stream_recv(a.sock, bytes, sizeof bytes);
        if (got == SOCK_WOULD_BLOCK)
          continue;
        if (got <= 0) {
          done(&a, &r, AUTH_ERROR, p);
          continue;
        }
        a.in.append(reinterpret_cast<const char *>(bytes),
                    static_cast<std::size_t>(got));
        if (a.in.size() < LENGTH_PREFIX)
          continue;
        const std::size_t want =
            static_cast<std::size_t>(static_cast<unsigned char>(a.in[0]) << 8 |
                                     static_cast<unsigned char>(a.in[1]));
        if (a.in.size() < LENGTH_PREFIX + want)
          continue;
        take_reply(&a, &r, q,
                   reinterpret_cast<const unsigned char *>(a.in.data()) +
                       LENGTH_PREFIX,
                   static_cast<long>(want), NS_TCP, now, p);
      }
    }
  }
  poller_close(p);
}
