// The TCP adapter: non-blocking connects, pipelined writes, length-framed
// reads.
#include "net/tcp_transport.h"

#include "net/dns_message.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

namespace {

enum {
  READ_CHUNK = 16384,
};

} // namespace

struct tcp_transport::frame_reader {
  tcp_transport *t;
  std::size_t ci;
};

int tcp_transport::start(stream_pool *pool, poller *p) {
  pool_ = pool;
  e_ = pool->engine();
  waiting_ = p;
  streams_.assign(pool->size(), byte_stream());
  return 0;
}

void tcp_transport::close(std::size_t ci, bool) {
  byte_stream &b = streams_[ci];
  close_session(ci);
  if (b.watched)
    poller_forget(waiting_, b.sock);
  sock_close(b.sock);
  b = byte_stream();
}

int tcp_transport::connect(std::size_t ci, const ns_address *to,
                           probe_clock::time_point, std::string *reason) {
  int error = 0;
  streams_[ci].sock = stream_connect(to, &error);
  if (streams_[ci].sock == -1) {
    *reason = sock_error_text(error);
    return PROBE_ERROR_CONNECT;
  }
  return PROBE_ERROR_NONE;
}

void tcp_transport::opened(std::size_t ci, probe_clock::time_point now) {
  std::string reason;
  const int cause = open_session(ci, &reason);
  if (cause != PROBE_ERROR_NONE)
    pool_->setup_failed(ci, cause, reason);
  else
    pool_->opened(ci, now);
}

// A stream cut short in a message, or one that brought what is no DNS, is
// broken: its attempts end as `format`.
void tcp_transport::connection_lost(std::size_t ci,
                                    probe_clock::time_point now) {
  const byte_stream &b = streams_[ci];
  const bool broken = b.junk || !b.in.empty();
  pool_->lost(ci, now, broken ? PROBE_ERROR_FORMAT : PROBE_ERROR_NONE, true);
}

// Writes what waits; false when the connection was lost.
bool tcp_transport::write_out(std::size_t ci, probe_clock::time_point now) {
  byte_stream &b = streams_[ci];
  b.wants_write = false;
  while (!b.out.empty()) {
    const long n = write_bytes(ci, b.out.data(), b.out.size());
    if (n == 0)
      return true;
    if (n < 0) {
      connection_lost(ci, now);
      return false;
    }
    b.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

// Moves the queued attempts of an open connection into its output.
void tcp_transport::queued(std::size_t ci, probe_clock::time_point now) {
  queued_attempt q;
  while (pool_->take_queued(ci, &q)) {
    if (put_query(ci, q.ref))
      pool_->sent(ci, q, now);
    // else the attempt times out
  }
  queries_put(ci);
  write_out(ci, now);
}

// A whole message of the stream. One whose ID no query in flight carries
// may be a late reply to a query already decided: it is passed over.
void tcp_transport::take_frame(const unsigned char *message, long length,
                               void *context) {
  const frame_reader *r = static_cast<const frame_reader *>(context);
  tcp_transport *t = r->t;
  const long id = message_id(length, message);
  const int slot =
      id < 0 ? NO_SLOT : engine_owner(t->e_, 0, static_cast<std::uint16_t>(id));
  if (slot != NO_SLOT &&
      engine_reply(t->e_, slot, message, length, REPLY_BY_QUESTION))
    t->pool_->answered(r->ci);
}

void tcp_transport::read_connection(std::size_t ci,
                                    probe_clock::time_point now) {
  unsigned char chunk[READ_CHUNK];
  // A server that closes after its last replies sends them with the close:
  // they are taken before the connection is given up.
  bool lost = false;
  while (!lost) {
    const long n = read_bytes(ci, chunk, sizeof chunk);
    if (n == 0)
      break;
    if (n < 0) {
      lost = true;
    } else if (!take_bytes(ci, chunk, n)) {
      streams_[ci].junk = true;
      lost = true;
    }
  }
  if (!read_done(ci, lost))
    lost = true;
  if (lost)
    connection_lost(ci, now);
  else if (!streams_[ci].out.empty())
    write_out(ci, now);
}

// What a connection waits for: to read always, and to write while it
// connects or has bytes to write. Told to the poller only when it changes.
void tcp_transport::watch(std::size_t ci) {
  byte_stream &b = streams_[ci];
  if (b.sock == -1)
    return;
  const int state = pool_->at(ci).state;
  const bool write = state == CONN_CONNECTING || b.wants_write ||
                     (state == CONN_OPEN && !b.out.empty());
  const int events = POLL_READ | (write ? POLL_WRITE : 0);
  if (events != b.watched &&
      poller_watch(waiting_, b.sock, static_cast<int>(ci), events) == 0)
    b.watched = events;
}

int tcp_transport::before_wait(std::size_t ci, probe_clock::time_point,
                               int wait_ms) {
  watch(ci);
  return wait_ms;
}

void tcp_transport::ready(std::size_t ci, int events,
                          probe_clock::time_point now) {
  byte_stream &b = streams_[ci];
  const bool readable = (events & POLL_READ) != 0;
  const bool writable = (events & POLL_WRITE) != 0;
  if (b.sock == -1 || !(readable || writable))
    return;
  const int state = pool_->at(ci).state;
  if (state == CONN_CONNECTING) {
    const int error = stream_connect_result(b.sock);
    if (error != 0)
      pool_->setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(error));
    else
      connected(ci, now);
    return;
  }
  if (state == CONN_HANDSHAKE) {
    handshake(ci, now);
    return;
  }
  if (writable && (!b.out.empty() || b.wants_write) && !write_out(ci, now))
    return;
  if (readable && state == CONN_OPEN)
    read_connection(ci, now);
}

void tcp_transport::connected(std::size_t ci, probe_clock::time_point now) {
  opened(ci, now);
}

void tcp_transport::handshake(std::size_t, probe_clock::time_point) {}

long tcp_transport::write_bytes(std::size_t ci, const char *bytes,
                                std::size_t length) {
  const long n =
      stream_send(streams_[ci].sock,
                  reinterpret_cast<const unsigned char *>(bytes), length);
  return n == SOCK_WOULD_BLOCK ? 0 : n <= 0 ? -1 : n;
}

long tcp_transport::read_bytes(std::size_t ci, unsigned char *buffer,
                               std::size_t capacity) {
  const long n = stream_recv(streams_[ci].sock, buffer, capacity);
  return n == SOCK_WOULD_BLOCK ? 0 : n <= 0 ? -1 : n;
}

int tcp_transport::open_session(std::size_t, std::string *) {
  return PROBE_ERROR_NONE;
}

void tcp_transport::close_session(std::size_t) {}

bool tcp_transport::put_query(std::size_t ci, const attempt_ref &ref) {
  const probe_slot &s = engine_slot(e_, ref.slot);
  append_frame(&streams_[ci].out, s.query, s.query_length);
  return true;
}

void tcp_transport::queries_put(std::size_t) {}

bool tcp_transport::take_bytes(std::size_t ci, const unsigned char *bytes,
                               long length) {
  streams_[ci].in.append(reinterpret_cast<const char *>(bytes),
                         static_cast<std::size_t>(length));
  return true;
}

// A stream that breaks ends the attempts on it, whatever came after.
bool tcp_transport::read_done(std::size_t ci, bool) {
  byte_stream &b = streams_[ci];
  frame_reader reader{this, ci};
  const long used =
      split_frames(reinterpret_cast<const unsigned char *>(b.in.data()),
                   b.in.size(), take_frame, &reader);
  if (used < 0) {
    b.junk = true;
    return false;
  }
  b.in.erase(0, static_cast<std::size_t>(used));
  return true;
}
