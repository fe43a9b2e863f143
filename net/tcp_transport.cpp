// The TCP transport's connections: set-up at the name's addresses in turn,
// back-off from a server that closes without answering, pipelined writes,
// length-framed reads.
#include "net/tcp_transport.h"

#include "net/dns_message.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <algorithm>

namespace {

enum {
  READ_CHUNK = 16384,
  // The first pause before reconnecting to a server that closed without
  // answering; it doubles up to the attempt's timeout.
};

} // namespace

struct tcp_transport::frame_reader {
  tcp_transport *t;
  std::size_t ci;
};

tcp_transport::tcp_transport(const ns_target *target,
                             const engine_settings *settings,
                             const stream_options *options, stream_stats *stats)
    : target_(target), settings_(settings), options_(options), stats_(stats) {}

int tcp_transport::start(probe_engine *e, poller *p) {
  e_ = e;
  waiting_ = p;
  const int connections = std::min(std::max(1, options_->connections),
                                   static_cast<int>(STREAM_MAX_CONNECTIONS));
  conns_.resize(static_cast<std::size_t>(connections));
  wires_.assign(static_cast<std::size_t>(std::max(1, settings_->concurrency)),
                wire{0, 0, false});
  return 0;
}

const ns_address *tcp_transport::address_at(int index) const {
  return index == 0 ? &target_->address : &target_->fallback[index - 1];
}

bool tcp_transport::on_wire(std::size_t slot) const {
  const wire &w = wires_[slot];
  const probe_slot &s = engine_slot(e_, static_cast<int>(slot));
  return w.on_wire && s.busy && s.generation == w.generation;
}

void tcp_transport::answered_on(std::size_t ci) {
  conns_[ci].productive = true;
  policy_.answered();
}

void tcp_transport::close_connection(std::size_t ci) {
  stream_connection &c = conns_[ci];
  close_session(ci);
  if (c.watched)
    poller_forget(waiting_, c.sock);
  c.watched = 0;
  sock_close(c.sock);
  c.sock = -1;
  c.state = CONN_CLOSED;
  c.wants_write = false;
  c.out.clear();
  c.in.clear();
  c.productive = false;
  c.junk = false;
}

// A name looked up may have several addresses: until a connection has been
// set up at one, a connection that fails goes to the next.
bool tcp_transport::next_address(std::size_t ci, probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  if (!policy_.move_on(c.address_index, target_->fallback_count))
    return false;
  close_connection(ci);
  begin_connect(ci, now);
  return true;
}

// Set-up failed: the probes waiting for it fail, and after as many failures
// in a row as a probe has attempts, so does every later one.
void tcp_transport::setup_failed(std::size_t ci, int cause,
                                 const std::string &reason) {
  if (cause == PROBE_ERROR_CONNECT && next_address(ci, probe_clock::now()))
    return;
  close_connection(ci);
  conns_[ci].queue.clear();
  policy_.failed(stats_, cause, reason, settings_->attempts);
  for (std::size_t i = 0; i < wires_.size(); ++i) {
    if (engine_slot(e_, static_cast<int>(i)).busy && wires_[i].conn == ci)
      engine_fail(e_, static_cast<int>(i), cause, false);
  }
}

void tcp_transport::begin_connect(std::size_t ci, probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  if (c.state != CONN_CLOSED || now < c.not_before)
    return; // under way, or backing off: the loop comes back for it
  int error = 0;
  c.address_index = policy_.address();
  c.sock = stream_connect(address_at(c.address_index), &error);
  if (c.sock == -1) {
    setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(error));
    return;
  }
  c.state = CONN_CONNECTING;
  c.setup_start = now;
}

void tcp_transport::opened(std::size_t ci, probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  std::string reason;
  const int cause = open_session(ci, &reason);
  if (cause != PROBE_ERROR_NONE) {
    setup_failed(ci, cause, reason);
    return;
  }
  c.state = CONN_OPEN;
  policy_.opened();
  stats_->address = *address_at(c.address_index);
  ++stats_->opened;
  if (c.was_open)
    ++stats_->reconnections;
  c.was_open = true;
  stats_->setup_us.push_back(static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - c.setup_start)
          .count()));
  flush_queue(ci, now);
}

// A connection that was open is gone. When the server had answered on it
// (it closes idle or busy connections, as servers may), what it had not
// answered goes out again on a new one as the same attempts. Otherwise
// (it closed at once, or sent what is no DNS) those attempts end, as
// `connect` or `format`, and the next connection waits, longer each time:
// a server that closes every connection gets no more of them than the
// probes have attempts.
void tcp_transport::connection_lost(std::size_t ci,
                                    probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  const bool broken = c.junk || !c.in.empty(); // a message cut short
  const bool again_as_is = c.productive && !broken;
  close_connection(ci);
  std::deque<queued_attempt> again;
  for (std::size_t i = 0; i < wires_.size(); ++i) {
    if (wires_[i].conn != ci || !on_wire(i))
      continue;
    wires_[i].on_wire = false;
    const int slot = static_cast<int>(i);
    if (again_as_is)
      again.push_back(
          queued_attempt{slot, engine_slot(e_, slot).generation, true});
    else
      engine_end_attempt(
          e_, slot, broken ? PROBE_ERROR_FORMAT : PROBE_ERROR_CONNECT, true);
  }
  if (!again_as_is) {
    c.not_before = now + std::chrono::milliseconds(
                             policy_.pause_ms(settings_->timeout_ms));
  }
  c.queue.insert(c.queue.begin(), again.begin(), again.end());
  if (!c.queue.empty())
    begin_connect(ci, now);
}

// Writes what waits; false when the connection was lost.
bool tcp_transport::write_out(std::size_t ci, probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  c.wants_write = false;
  while (!c.out.empty()) {
    const long n = write_bytes(ci, c.out.data(), c.out.size());
    if (n == 0)
      return true;
    if (n < 0) {
      connection_lost(ci, now);
      return false;
    }
    c.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

// Moves the queued attempts of an open connection into its output.
void tcp_transport::flush_queue(std::size_t ci, probe_clock::time_point now) {
  stream_connection &c = conns_[ci];
  while (!c.queue.empty()) {
    const queued_attempt q = c.queue.front();
    c.queue.pop_front();
    const probe_slot &s = engine_slot(e_, q.slot);
    if (!s.busy || s.generation != q.generation)
      continue; // decided, or a later attempt is under way
    if (!put_query(ci, q.slot))
      continue; // the attempt times out
    wire &w = wires_[static_cast<std::size_t>(q.slot)];
    w.on_wire = true;
    w.generation = s.generation;
    engine_sent(e_, q.slot, now, q.again);
  }
  queries_put(ci);
  write_out(ci, now);
}

void tcp_transport::send_again(std::size_t ci, int slot) {
  wire &w = wires_[static_cast<std::size_t>(slot)];
  w.on_wire = false;
  std::size_t to = ci;
  if (!takes_queries(ci) && conns_.size() > 1)
    to = (ci + 1 + next_conn_++ % (conns_.size() - 1)) % conns_.size();
  w.conn = to;
  conns_[to].queue.push_back(
      queued_attempt{slot, engine_slot(e_, slot).generation, true});
}

bool tcp_transport::takes_queries(std::size_t) {
  return true;
}

void tcp_transport::send(int slot, probe_clock::time_point now) {
  if (policy_.given_up()) {
    engine_fail(e_, slot, stats_->failure, true);
    return;
  }
  const std::size_t ci = next_conn_++ % conns_.size();
  wires_[static_cast<std::size_t>(slot)] = wire{ci, 0, false};
  stream_connection &c = conns_[ci];
  c.queue.push_back(
      queued_attempt{slot, engine_slot(e_, slot).generation, false});
  if (c.state == CONN_OPEN)
    flush_queue(ci, now);
  else
    begin_connect(ci, now);
}

// Still waiting for its connection: the set-up is what took too long (a
// dropped connect, a handshake that never ends).
int tcp_transport::timed_out(int slot, probe_clock::time_point now) {
  const std::size_t ci = wires_[static_cast<std::size_t>(slot)].conn;
  const int state = conns_[ci].state;
  // A connect that the network drops: the name's next address, if any.
  if (state == CONN_CONNECTING &&
      now - conns_[ci].setup_start >=
          std::chrono::milliseconds(settings_->timeout_ms))
    next_address(ci, now);
  return state == CONN_CONNECTING  ? PROBE_ERROR_CONNECT
         : state == CONN_HANDSHAKE ? PROBE_ERROR_TLS
                                   : PROBE_ERROR_TIMEOUT;
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
    t->answered_on(r->ci);
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
      conns_[ci].junk = true;
      lost = true;
    }
  }
  if (!read_done(ci, lost))
    lost = true;
  if (lost)
    connection_lost(ci, now);
  else if (!conns_[ci].out.empty())
    write_out(ci, now);
}

// What a connection waits for: to read always, and to write while it
// connects or has bytes to write. Told to the poller only when it changes.
void tcp_transport::watch(std::size_t ci) {
  stream_connection &c = conns_[ci];
  if (c.sock == -1)
    return;
  const bool write = c.state == CONN_CONNECTING || c.wants_write ||
                     (c.state == CONN_OPEN && !c.out.empty());
  const int events = POLL_READ | (write ? POLL_WRITE : 0);
  if (events != c.watched &&
      poller_watch(waiting_, c.sock, static_cast<int>(ci), events) == 0)
    c.watched = events;
}

int tcp_transport::before_wait(probe_clock::time_point now, int wait_ms) {
  for (std::size_t i = 0; i < conns_.size(); ++i) {
    stream_connection &c = conns_[i];
    // A connection that backed off reconnects once its pause is over.
    if (c.state == CONN_CLOSED && !c.queue.empty())
      begin_connect(i, now);
    // Queries sent again (send_again) go out from here.
    if (c.state == CONN_OPEN && !c.queue.empty() && takes_queries(i))
      flush_queue(i, now);
    if (c.state == CONN_CLOSED && !c.queue.empty())
      wait_ms = wait_until(wait_ms, now, c.not_before);
    watch(i);
  }
  return wait_ms;
}

void tcp_transport::ready(int tag, int events, probe_clock::time_point now) {
  const std::size_t ci = static_cast<std::size_t>(tag);
  stream_connection &c = conns_[ci];
  const bool readable = (events & POLL_READ) != 0;
  const bool writable = (events & POLL_WRITE) != 0;
  if (c.sock == -1 || !(readable || writable))
    return;
  if (c.state == CONN_CONNECTING) {
    const int error = stream_connect_result(c.sock);
    if (error != 0)
      setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(error));
    else
      connected(ci, now);
    return;
  }
  if (c.state == CONN_HANDSHAKE) {
    handshake(ci, now);
    return;
  }
  if (writable && (!c.out.empty() || c.wants_write) && !write_out(ci, now))
    return;
  if (readable && c.state == CONN_OPEN)
    read_connection(ci, now);
}

void tcp_transport::finish() {
  for (std::size_t i = 0; i < conns_.size(); ++i)
    close_connection(i);
}

void tcp_transport::connected(std::size_t ci, probe_clock::time_point now) {
  opened(ci, now);
}

void tcp_transport::handshake(std::size_t, probe_clock::time_point) {}

long tcp_transport::write_bytes(std::size_t ci, const char *bytes,
                                std::size_t length) {
  const long n = stream_send(
      conns_[ci].sock, reinterpret_cast<const unsigned char *>(bytes), length);
  return n == SOCK_WOULD_BLOCK ? 0 : n <= 0 ? -1 : n;
}

long tcp_transport::read_bytes(std::size_t ci, unsigned char *buffer,
                               std::size_t capacity) {
  const long n = stream_recv(conns_[ci].sock, buffer, capacity);
  return n == SOCK_WOULD_BLOCK ? 0 : n <= 0 ? -1 : n;
}

int tcp_transport::open_session(std::size_t, std::string *) {
  return PROBE_ERROR_NONE;
}

void tcp_transport::close_session(std::size_t) {}

bool tcp_transport::put_query(std::size_t ci, int slot) {
  const probe_slot &s = engine_slot(e_, slot);
  append_frame(&conns_[ci].out, s.query, s.query_length);
  return true;
}

void tcp_transport::queries_put(std::size_t) {}

bool tcp_transport::take_bytes(std::size_t ci, const unsigned char *bytes,
                               long length) {
  conns_[ci].in.append(reinterpret_cast<const char *>(bytes),
                       static_cast<std::size_t>(length));
  return true;
}

// A stream that breaks ends the attempts on it, whatever came after.
bool tcp_transport::read_done(std::size_t ci, bool) {
  stream_connection &c = conns_[ci];
  frame_reader reader{this, ci};
  const long used =
      split_frames(reinterpret_cast<const unsigned char *>(c.in.data()),
                   c.in.size(), take_frame, &reader);
  if (used < 0) {
    c.junk = true;
    return false;
  }
  c.in.erase(0, static_cast<std::size_t>(used));
  return true;
}
