// The QUIC adapter: ngtcp2's connections over connected datagram sockets.
// ngtcp2 calls back from inside its reads; what must not happen there
// (writing packets) waits for before_wait, which writes for every
// connection before each wait.
#include "net/quic_transport.h"

#include "net/dns_message.h"
#include "net/quic_errors.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <utility>

namespace {

enum {
  // A datagram as large as any QUIC packet of ours or the server's.
  DATAGRAM_SIZE = 65536,
  PACKET_SIZE = 1452,
  // Datagrams read, and packets written, at one go for a connection.
  READS_AT_ONCE = 64,
  WRITES_AT_ONCE = 64,
  // RFC 9250 4.3: the application error codes.
  DOQ_NO_ERROR = 0,
  DOQ_REQUEST_CANCELLED = 3,
};

// The reply on a stream so far: 1 when whole, 0 while it comes, -1 when it
// is no DNS message.
int reply_of(const std::string &in, const unsigned char **message,
             long *length) {
  return first_frame(reinterpret_cast<const unsigned char *>(in.data()),
                     in.size(), message, length);
}

} // namespace

// A query of a probe on a stream of its own.
struct quic_stream {
  attempt_ref ref;
  std::string out; // the length and the query, Message ID 0
  std::size_t written;
  std::string in;
  bool answered;
};

struct quic_connection {
  quic_transport *t = nullptr;
  std::size_t index = 0;
  sock_t sock = -1;
  quic_link link;
  bool early = false; // its first queries went as 0-RTT data
  std::unordered_map<std::int64_t, quic_stream> streams;
  std::deque<std::int64_t> unsent; // streams with bytes to write
  // Streams whose attempt ran out of time: a late reply on one still
  // counts, until its probe has ended; then it is cancelled, which frees
  // its credit.
  std::vector<std::int64_t> expired;
};

// What ngtcp2 calls back; `user` is the quic_connection.
struct quic_events {
  static quic_connection *of(void *user) {
    return static_cast<quic_connection *>(user);
  }

  static int handshake_completed(ngtcp2_conn *, void *user) {
    quic_connection *c = of(user);
    c->t->handshake_done(c->index);
    return 0;
  }

  static int stream_data(ngtcp2_conn *conn, std::uint32_t flags,
                         std::int64_t id, std::uint64_t,
                         const std::uint8_t *data, std::size_t length,
                         void *user, void *) {
    quic_connection *c = of(user);
    ngtcp2_conn_extend_max_stream_offset(conn, id, length);
    ngtcp2_conn_extend_max_offset(conn, length);
    auto found = c->streams.find(id);
    if (found == c->streams.end() || found->second.answered)
      return 0;
    quic_stream &st = found->second;
    st.in.append(reinterpret_cast<const char *>(data), length);
    const unsigned char *message = nullptr;
    long whole = 0;
    // A stream that ends first was cut short: take_reply says so.
    if (reply_of(st.in, &message, &whole) != 0 ||
        (flags & NGTCP2_STREAM_DATA_FLAG_FIN))
      c->t->take_reply(c->index, id);
    return 0;
  }

  // A stream that ends without a reply: closed with an error code (the
  // server's `quic` failure), or with nothing that is a DNS message.
  static int stream_close(ngtcp2_conn *, std::uint32_t flags, std::int64_t id,
                          std::uint64_t code, void *user, void *) {
    quic_connection *c = of(user);
    auto found = c->streams.find(id);
    if (found == c->streams.end())
      return 0;
    const quic_stream st = std::move(found->second);
    c->streams.erase(found);
    quic_transport *t = c->t;
    if (st.answered || !engine_current(t->e_, st.ref))
      return 0;
    if ((flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) &&
        code != DOQ_NO_ERROR) {
      t->pool_->stats()->closed_with =
          "a stream closed with error code " + quic_hex_code(code);
      engine_attempt_ended(t->e_, st.ref, PROBE_ERROR_QUIC, false);
    } else {
      engine_attempt_ended(t->e_, st.ref, PROBE_ERROR_FORMAT, false);
    }
    return 0;
  }

  // The server refused the 0-RTT data: ngtcp2 forgot those streams, and
  // their queries go again once the handshake is done.
  static int early_data_rejected(ngtcp2_conn *, void *user) {
    quic_connection *c = of(user);
    c->t->forget_streams(c->index);
    c->t->pool_->requeue(c->index);
    return 0;
  }
};

quic_transport::quic_transport() {}

quic_transport::~quic_transport() {
  for (const auto &c : conns_)
    release(*c);
  quic_credentials_free(&shared_);
}

int quic_transport::start(stream_pool *pool, poller *p) {
  pool_ = pool;
  e_ = pool->engine();
  waiting_ = p;
  datagram_.resize(DATAGRAM_SIZE);
  for (std::size_t i = 0; i < pool->size(); ++i) {
    conns_.emplace_back(new quic_connection);
    conns_.back()->t = this;
    conns_.back()->index = i;
    conns_.back()->link.shared = &shared_;
  }
  stream_of_.assign(
      static_cast<std::size_t>(std::max(1, pool->settings()->concurrency)), -1);
  stream_stats *stats = pool->stats();
  if (quic_credentials(&shared_, pool->options(), &stats->reason) != 0) {
    stats->failure = PROBE_ERROR_TLS;
    return -1;
  }
  return 0;
}

quic_connection &quic_transport::conn(std::size_t ci) {
  return *conns_[ci];
}

// The connection's library state and socket, gone.
void quic_transport::release(quic_connection &c) {
  quic_link_close(&c.link);
  if (c.sock != -1) {
    poller_forget(waiting_, c.sock);
    sock_close(c.sock);
  }
  c.sock = -1;
  c.early = false;
  c.streams.clear();
  c.unsent.clear();
  c.expired.clear();
}

void quic_transport::close(std::size_t ci, bool goodbye) {
  quic_connection &c = conn(ci);
  if (goodbye && pool_->at(ci).state == CONN_OPEN)
    quic_link_goodbye(&c.link, c.sock, probe_clock::now());
  release(c);
}

int quic_transport::connect(std::size_t ci, const ns_address *to,
                            probe_clock::time_point now, std::string *reason) {
  quic_connection &c = conn(ci);
  int error = 0;
  c.sock = datagram_connect(to, &c.link.local, &c.link.local_length, &error);
  if (c.sock == -1 ||
      poller_watch(waiting_, c.sock, static_cast<int>(ci), POLL_READ) != 0) {
    *reason = sock_error_text(error ? error : sock_error());
    return PROBE_ERROR_CONNECT;
  }
  ngtcp2_callbacks events{};
  events.handshake_completed = quic_events::handshake_completed;
  events.recv_stream_data = quic_events::stream_data;
  events.stream_close = quic_events::stream_close;
  events.early_data_rejected = quic_events::early_data_rejected;
  const ns_target *target = pool_->target();
  const quic_setup setup{target->host,
                         pool_->address_text().c_str(),
                         pool_->options()->insecure,
                         pool_->settings()->timeout_ms,
                         to,
                         now,
                         events,
                         &c};
  if (quic_link_start(&c.link, &setup, &c.early) != 0) {
    *reason = "QUIC could not start";
    return PROBE_ERROR_TLS;
  }
  return PROBE_ERROR_NONE;
}

void quic_transport::handshake_done(std::size_t ci) {
  quic_connection &c = conn(ci);
  const quic_handshake said = quic_link_handshake_done(&c.link, c.early);
  stream_stats *stats = pool_->stats();
  if (c.early && said.early_taken)
    ++stats->zero_rtt;
  c.early = c.early && said.early_taken;
  if (said.resumed)
    ++stats->resumed;
  pool_->opened(ci, probe_clock::now());
}

// The connection's streams are no more (their queries go again or end as
// the pool says).
void quic_transport::forget_streams(std::size_t ci) {
  quic_connection &c = conn(ci);
  c.streams.clear();
  c.unsent.clear();
  c.expired.clear();
}

// What ngtcp2 said when a read or a timer broke the connection.
void quic_transport::connection_error(std::size_t ci, int error,
                                      probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  const int state = pool_->at(ci).state;
  quic_error_facts facts{
      error,         state == CONN_OPEN, state == CONN_HANDSHAKE, 0, false,
      std::string(), std::string(),      ngtcp2_strerror(error)};
  if (error == NGTCP2_ERR_DRAINING || error == NGTCP2_ERR_CLOSING) {
    ngtcp2_connection_close_error closed;
    ngtcp2_conn_get_connection_close_error(c.link.conn, &closed);
    facts.close_code = closed.error_code;
    facts.application =
        closed.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION;
    facts.close_reason.assign(reinterpret_cast<const char *>(closed.reason),
                              closed.reasonlen);
  }
  if (error == NGTCP2_ERR_CRYPTO && !facts.open)
    facts.tls_failure = quic_link_tls_failure(&c.link);
  const quic_failure failure = quic_failure_of(facts);
  if (failure.setup) {
    pool_->setup_failed(ci, failure.cause, failure.reason);
    return;
  }
  if (failure.cause == PROBE_ERROR_QUIC)
    pool_->stats()->closed_with = failure.reason;
  pool_->lost(ci, now, failure.cause, false);
}

// The queued attempts get streams while the server gives credit for them:
// once the connection is open, or at once with 0-RTT.
void quic_transport::open_streams(std::size_t ci, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  const int state = pool_->at(ci).state;
  if (!(state == CONN_OPEN || (state != CONN_CLOSED && c.early)))
    return;
  queued_attempt q;
  while (ngtcp2_conn_get_streams_bidi_left(c.link.conn) > 0 &&
         pool_->take_queued(ci, &q)) {
    std::int64_t id = -1;
    if (ngtcp2_conn_open_bidi_stream(c.link.conn, &id, nullptr) != 0) {
      pool_->put_back(ci, q); // no credit after all: it waits
      break;
    }
    const probe_slot &s = engine_slot(e_, q.ref.slot);
    quic_stream st{q.ref, std::string(), 0, std::string(), false};
    append_frame(&st.out, s.query, s.query_length);
    // RFC 9250 4.2.1: the Message ID is 0; the stream says whose it is.
    st.out[LENGTH_PREFIX + DNS_ID_OFFSET] = 0;
    st.out[LENGTH_PREFIX + DNS_ID_OFFSET + 1] = 0;
    c.streams.emplace(id, std::move(st));
    c.unsent.push_back(id);
    stream_of_[static_cast<std::size_t>(q.ref.slot)] = id;
    pool_->sent(ci, q, now);
  }
}

// Writes what the connection has to send: new streams' queries (each
// stream ended after its query), acknowledgements, retransmissions. True
// when it stopped with more to write.
bool quic_transport::flush(std::size_t ci, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  if (!c.link.conn)
    return false;
  cancel_ended(c);
  open_streams(ci, now);
  const ngtcp2_tstamp ts = quic_timestamp(now);
  std::vector<std::int64_t> blocked;
  ngtcp2_path_storage ps;
  ngtcp2_path_storage_zero(&ps);
  std::uint8_t packet[PACKET_SIZE];
  int packets = 0;
  while (packets < WRITES_AT_ONCE) {
    std::int64_t id = -1;
    ngtcp2_vec data{nullptr, 0};
    std::size_t vectors = 0;
    std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
    while (!c.unsent.empty()) {
      auto found = c.streams.find(c.unsent.front());
      if (found == c.streams.end() ||
          found->second.written == found->second.out.size()) {
        c.unsent.pop_front();
        continue;
      }
      quic_stream &st = found->second;
      id = found->first;
      data.base = reinterpret_cast<std::uint8_t *>(&st.out[st.written]);
      data.len = st.out.size() - st.written;
      vectors = 1;
      flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
      break;
    }
    ngtcp2_ssize taken = -1;
    ngtcp2_pkt_info pi;
    const ngtcp2_ssize n = ngtcp2_conn_writev_stream(
        c.link.conn, &ps.path, &pi, packet, sizeof packet, &taken, flags, id,
        &data, vectors, ts);
    if (taken > 0) {
      quic_stream &st = c.streams[id];
      st.written += static_cast<std::size_t>(taken);
      if (st.written == st.out.size())
        c.unsent.pop_front();
    }
    if (n == NGTCP2_ERR_WRITE_MORE)
      continue; // room for more streams in this packet
    if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR ||
        n == NGTCP2_ERR_STREAM_NOT_FOUND) {
      blocked.push_back(id); // waits for the server's credit
      c.unsent.pop_front();
      continue;
    }
    if (n < 0) {
      connection_error(ci, static_cast<int>(n), now);
      return false;
    }
    if (n == 0)
      break; // nothing more, or held back by congestion control
    ++packets;
    const long sent = stream_send(c.sock, packet, static_cast<std::size_t>(n));
    if (sent == SOCK_WOULD_BLOCK)
      break; // lost, as on any network: QUIC sends it again
    if (sent < 0 && pool_->at(ci).state != CONN_OPEN) {
      pool_->setup_failed(ci, PROBE_ERROR_CONNECT,
                          sock_error_text(sock_error()));
      return false;
    }
  }
  c.unsent.insert(c.unsent.end(), blocked.begin(), blocked.end());
  ngtcp2_conn_update_pkt_tx_time(c.link.conn, ts);
  return packets == WRITES_AT_ONCE;
}

// A whole reply on its stream, or a stream that ended without one. A
// reply to an earlier attempt of the probe counts, as over every
// transport.
void quic_transport::take_reply(std::size_t ci, std::int64_t id) {
  quic_stream &st = conn(ci).streams[id];
  st.answered = true;
  const unsigned char *message = nullptr;
  long length = 0;
  if (reply_of(st.in, &message, &length) <= 0)
    engine_attempt_ended(e_, st.ref, PROBE_ERROR_FORMAT, false);
  else if (engine_reply_to(e_, st.ref, message, length, REPLY_BY_STREAM))
    pool_->answered(ci);
}

// QUIC writes from before_wait alone.
void quic_transport::queued(std::size_t, probe_clock::time_point) {}

void quic_transport::timed_out(std::size_t ci, int slot) {
  quic_connection &c = conn(ci);
  const std::int64_t id = stream_of_[static_cast<std::size_t>(slot)];
  auto found = c.streams.find(id);
  if (c.link.conn && found != c.streams.end() &&
      engine_current(e_, found->second.ref))
    c.expired.push_back(id);
}

// The expired streams whose probe has ended are cancelled; the others
// wait for a late reply.
void quic_transport::cancel_ended(quic_connection &c) {
  std::size_t kept = 0;
  for (std::int64_t id : c.expired) {
    auto found = c.streams.find(id);
    if (found == c.streams.end())
      continue; // answered, or closed by the server
    if (engine_awaits_reply(e_, found->second.ref))
      c.expired[kept++] = id;
    else
      ngtcp2_conn_shutdown_stream(c.link.conn, id, DOQ_REQUEST_CANCELLED);
  }
  c.expired.resize(kept);
}

int quic_transport::before_wait(std::size_t ci, probe_clock::time_point now,
                                int wait_ms) {
  quic_connection &c = conn(ci);
  if (!c.link.conn)
    return wait_ms;
  const ngtcp2_tstamp ts = quic_timestamp(now);
  if (ngtcp2_conn_get_expiry(c.link.conn) <= ts) {
    const int r = ngtcp2_conn_handle_expiry(c.link.conn, ts);
    if (r != 0) {
      connection_error(ci, r, now);
      return wait_ms;
    }
  }
  const bool more = flush(ci, now);
  if (!c.link.conn)
    return wait_ms;
  const ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(c.link.conn);
  if (more || expiry <= ts)
    return 0;
  const ngtcp2_tstamp ms =
      (expiry - ts + NGTCP2_MILLISECONDS - 1) / NGTCP2_MILLISECONDS;
  return static_cast<int>(
      std::min<ngtcp2_tstamp>(static_cast<ngtcp2_tstamp>(wait_ms), ms));
}

void quic_transport::ready(std::size_t ci, int, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  pooled_connection &pc = pool_->at(ci);
  unsigned char *datagram = datagram_.data();
  for (int reads = 0; reads < READS_AT_ONCE && c.link.conn; ++reads) {
    const long n = stream_recv(c.sock, datagram, DATAGRAM_SIZE);
    if (n == SOCK_WOULD_BLOCK)
      break;
    if (n < 0) {
      // An ICMP error on the connected socket: nobody listens there.
      const int error = sock_error();
      if (pc.state == CONN_OPEN)
        pool_->lost(ci, now, PROBE_ERROR_NONE, false);
      else
        pool_->setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(error));
      return;
    }
    if (pc.state == CONN_CONNECTING)
      pc.state = CONN_HANDSHAKE; // the server answers
    const ns_address *from = pool_->address_of(ci);
    ngtcp2_path path{{reinterpret_cast<sockaddr *>(&c.link.local),
                      static_cast<ngtcp2_socklen>(c.link.local_length)},
                     {reinterpret_cast<sockaddr *>(
                          const_cast<sockaddr_storage *>(&from->sa)),
                      static_cast<ngtcp2_socklen>(from->length)},
                     nullptr};
    ngtcp2_pkt_info pi{};
    const int r = ngtcp2_conn_read_pkt(c.link.conn, &path, &pi, datagram,
                                       static_cast<std::size_t>(n),
                                       quic_timestamp(probe_clock::now()));
    if (r != 0) {
      connection_error(ci, r, now);
      return;
    }
  }
}
