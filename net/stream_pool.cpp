// The pool's rules: a connection is set up when an attempt waits for it,
// at the name's next address while none has been set up; one lost is
// opened again with what it left unanswered, or after a pause when the
// server closed it without answering.
#include "net/stream_pool.h"

#include <algorithm>

stream_pool::stream_pool(stream_adapter *adapter, const ns_target *target,
                         const engine_settings *settings,
                         const stream_options *options, stream_stats *stats)
    : adapter_(adapter), target_(target), settings_(settings),
      options_(options), stats_(stats) {}

int stream_pool::start(probe_engine *e, poller *p) {
  e_ = e;
  const int connections = std::min(std::max(1, options_->connections),
                                   static_cast<int>(STREAM_MAX_CONNECTIONS));
  conns_.resize(static_cast<std::size_t>(connections));
  wires_.assign(static_cast<std::size_t>(std::max(1, settings_->concurrency)),
                wire{0, attempt_ref{0, 0, 0}, false});
  char address[NS_TEXT_SIZE];
  format_ns_address(&target_->address, ns_port(&target_->address), address,
                    sizeof address);
  address_text_ = address;
  return adapter_->start(this, p);
}

const ns_address *stream_pool::address_at(int index) const {
  return index == 0 ? &target_->address : &target_->fallback[index - 1];
}

const ns_address *stream_pool::address_of(std::size_t ci) const {
  return address_at(conns_[ci].address_index);
}

void stream_pool::close(std::size_t ci) {
  adapter_->close(ci, false);
  conns_[ci].state = CONN_CLOSED;
  conns_[ci].productive = false;
}

// A name looked up may have several addresses: until a connection has been
// set up at one, a connection that fails goes to the next.
bool stream_pool::next_address(std::size_t ci, probe_clock::time_point now) {
  if (!policy_.move_on(conns_[ci].address_index, target_->fallback_count))
    return false;
  requeue(ci); // 0-RTT queries may have gone out already
  close(ci);
  begin_connect(ci, now);
  return true;
}

void stream_pool::setup_failed(std::size_t ci, int cause,
                               const std::string &reason) {
  if (cause == PROBE_ERROR_CONNECT && next_address(ci, probe_clock::now()))
    return;
  close(ci);
  conns_[ci].queue.clear();
  policy_.failed(stats_, cause, reason, settings_->attempts);
  for (std::size_t i = 0; i < wires_.size(); ++i) {
    if (engine_slot(e_, static_cast<int>(i)).busy && wires_[i].conn == ci)
      engine_fail(e_, static_cast<int>(i), cause, false);
  }
}

void stream_pool::begin_connect(std::size_t ci, probe_clock::time_point now) {
  pooled_connection &c = conns_[ci];
  if (c.state != CONN_CLOSED || now < c.not_before)
    return; // under way, or backing off: the loop comes back for it
  c.address_index = policy_.address();
  c.setup_start = now;
  std::string reason;
  const int cause = adapter_->connect(ci, address_of(ci), now, &reason);
  if (cause != PROBE_ERROR_NONE) {
    setup_failed(ci, cause, reason);
    return;
  }
  if (c.state == CONN_CLOSED)
    c.state = CONN_CONNECTING;
}

void stream_pool::opened(std::size_t ci, probe_clock::time_point now) {
  pooled_connection &c = conns_[ci];
  c.state = CONN_OPEN;
  policy_.opened();
  stats_->address = *address_of(ci);
  ++stats_->opened;
  if (c.was_open)
    ++stats_->reconnections;
  c.was_open = true;
  stats_->setup_us.push_back(static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - c.setup_start)
          .count()));
  adapter_->queued(ci, now);
}

// The unanswered attempts on the connection, in the order first sent; no
// longer on it.
std::vector<queued_attempt> stream_pool::take_wired(std::size_t ci) {
  std::vector<queued_attempt> wired;
  for (wire &w : wires_) {
    if (w.conn != ci || !w.on_wire || !engine_current(e_, w.ref))
      continue;
    w.on_wire = false;
    wired.push_back(queued_attempt{w.ref, true});
  }
  std::sort(wired.begin(), wired.end(),
            [this](const queued_attempt &a, const queued_attempt &b) {
              return engine_slot(e_, a.ref.slot).attempt_begun <
                     engine_slot(e_, b.ref.slot).attempt_begun;
            });
  return wired;
}

void stream_pool::requeue(std::size_t ci) {
  const std::vector<queued_attempt> wired = take_wired(ci);
  std::deque<queued_attempt> &queue = conns_[ci].queue;
  queue.insert(queue.begin(), wired.begin(), wired.end());
}

// When the server had answered on it and closed it as agreed (idle, or
// busy, as servers may), what it had not answered goes out again on a new
// one as the same attempts. Otherwise (it closed at once, broke the
// stream, or closed with an error) those attempts end, for `cause` or as
// `connect`, and the next connection waits, longer each time: a server
// that closes every connection gets no more of them than the probes have
// attempts.
void stream_pool::lost(std::size_t ci, probe_clock::time_point now, int cause,
                       bool weak) {
  pooled_connection &c = conns_[ci];
  const bool again_as_is = c.productive && cause == PROBE_ERROR_NONE;
  const std::vector<queued_attempt> wired = take_wired(ci);
  close(ci);
  if (again_as_is) {
    c.queue.insert(c.queue.begin(), wired.begin(), wired.end());
  } else {
    for (const queued_attempt &q : wired)
      engine_attempt_ended(
          e_, q.ref, cause == PROBE_ERROR_NONE ? PROBE_ERROR_CONNECT : cause,
          weak || cause == PROBE_ERROR_NONE);
    c.not_before = now + std::chrono::milliseconds(
                             policy_.pause_ms(settings_->timeout_ms));
  }
  if (!c.queue.empty())
    begin_connect(ci, now);
}

void stream_pool::answered(std::size_t ci) {
  conns_[ci].productive = true;
  policy_.answered();
}

bool stream_pool::take_queued(std::size_t ci, queued_attempt *q) {
  std::deque<queued_attempt> &queue = conns_[ci].queue;
  while (!queue.empty()) {
    *q = queue.front();
    queue.pop_front();
    if (engine_current(e_, q->ref))
      return true; // else decided, or a later attempt is under way
  }
  return false;
}

void stream_pool::put_back(std::size_t ci, const queued_attempt &q) {
  conns_[ci].queue.push_front(q);
}

void stream_pool::sent(std::size_t ci, const queued_attempt &q,
                       probe_clock::time_point now) {
  wires_[static_cast<std::size_t>(q.ref.slot)] = wire{ci, q.ref, true};
  engine_sent(e_, q.ref.slot, now, q.again);
}

void stream_pool::send_again(std::size_t ci, int slot) {
  wire &w = wires_[static_cast<std::size_t>(slot)];
  w.on_wire = false;
  std::size_t to = ci;
  if (!adapter_->takes_queries(ci) && conns_.size() > 1)
    to = (ci + 1 + next_conn_++ % (conns_.size() - 1)) % conns_.size();
  w.conn = to;
  conns_[to].queue.push_back(queued_attempt{engine_attempt(e_, slot), true});
}

void stream_pool::send(int slot, probe_clock::time_point now) {
  if (policy_.given_up()) {
    engine_fail(e_, slot, stats_->failure, true);
    return;
  }
  const std::size_t ci = next_conn_++ % conns_.size();
  const attempt_ref ref = engine_attempt(e_, slot);
  wires_[static_cast<std::size_t>(slot)] = wire{ci, ref, false};
  pooled_connection &c = conns_[ci];
  c.queue.push_back(queued_attempt{ref, false});
  if (c.state == CONN_OPEN)
    adapter_->queued(ci, now);
  else
    begin_connect(ci, now);
}

// Still waiting for its connection: the set-up is what took too long (a
// dropped connect, a handshake that never ends).
int stream_pool::timed_out(int slot, probe_clock::time_point now) {
  const std::size_t ci = wires_[static_cast<std::size_t>(slot)].conn;
  const pooled_connection &c = conns_[ci];
  adapter_->timed_out(ci, slot);
  const int state = c.state;
  // A connect that the network drops: the name's next address, if any.
  if (state == CONN_CONNECTING &&
      now - c.setup_start >= std::chrono::milliseconds(settings_->timeout_ms))
    next_address(ci, now);
  return state == CONN_OPEN        ? PROBE_ERROR_TIMEOUT
         : state == CONN_HANDSHAKE ? PROBE_ERROR_TLS
                                   : PROBE_ERROR_CONNECT;
}

int stream_pool::before_wait(probe_clock::time_point now, int wait_ms) {
  for (std::size_t i = 0; i < conns_.size(); ++i) {
    pooled_connection &c = conns_[i];
    if (c.state == CONN_CLOSED && !c.queue.empty()) {
      // A connection that backed off reconnects once its pause is over.
      begin_connect(i, now);
      if (c.state == CONN_CLOSED)
        wait_ms = wait_until(wait_ms, now, c.not_before);
    } else if (c.state == CONN_OPEN && !c.queue.empty() &&
               adapter_->takes_queries(i)) {
      adapter_->queued(i, now); // queries sent again (send_again)
    }
    wait_ms = adapter_->before_wait(i, now, wait_ms);
  }
  return wait_ms;
}

void stream_pool::ready(int tag, int events, probe_clock::time_point now) {
  adapter_->ready(static_cast<std::size_t>(tag), events, now);
}

void stream_pool::finish() {
  for (std::size_t i = 0; i < conns_.size(); ++i) {
    adapter_->close(i, true);
    conns_[i].state = CONN_CLOSED;
  }
}
