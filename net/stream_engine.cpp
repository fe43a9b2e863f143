// The stream engine's loop: fill the free slots (as the rate allows), queue
// each attempt on a connection (round robin), connect what is needed, write
// what is queued, read whole messages (a two-byte length, then the message)
// and decide, retry or time out as the datagram engine does.
#include "net/stream_engine.h"

#include "net/dns_message.h"
#include "net/probe.h"
#include "net/stream_sock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace {

typedef std::chrono::steady_clock clock_type;

enum {
  NO_SLOT = -1,
  ID_COUNT = 65536,
  // The longest wait, so that a stop is seen within it.
  MAX_WAIT_MS = 100,
  READ_CHUNK = 16384,
  LENGTH_PREFIX = 2, // RFC 1035 4.2.2
};

enum { CLOSED, CONNECTING, OPEN };

struct slot {
  bool busy;
  std::size_t index;
  int tries;
  std::uint16_t ids[ENGINE_MAX_ATTEMPTS];
  int id_count;
  unsigned generation;
  clock_type::time_point first_sent;
  bool sent_any;
  // The length prefix, then the query.
  unsigned char frame[LENGTH_PREFIX + QUERY_BUFFER_SIZE];
  int frame_length;
  int conn;     // the connection its attempt went to
  bool on_wire; // written there, not yet answered
  probe_result result;
};

struct queued {
  int slot;
  unsigned generation;
  bool again; // sent before, on a connection since lost: not a new attempt
};

struct connection {
  sock_t sock = -1;
  int state = CLOSED;
  std::string out; // bytes still to write
  std::string in;  // bytes read, not yet a whole message
  std::deque<queued> queue;
  clock_type::time_point setup_start;
  bool was_open = false;
};

struct timer {
  clock_type::time_point deadline;
  int slot;
  unsigned generation;
};

struct engine {
  const ns_address *ns;
  const engine_settings *settings;
  const engine_job *job;
  stream_stats *stats;
  std::vector<slot> slots;
  std::vector<int> free_slots;
  std::vector<connection> conns;
  std::vector<std::int32_t> owner; // by ID, for the whole engine
  std::deque<timer> timers;
  std::deque<timer> retries;
  std::size_t next_name = 0;
  int busy = 0;
  std::size_t next_conn = 0;
  int failures_in_row = 0;
  bool given_up = false;
  clock_type::duration interval{};
  clock_type::time_point next_send;
  std::mt19937 random;
};

slot &slot_at(engine *e, int index) {
  return e->slots[static_cast<std::size_t>(index)];
}

void finish(engine *e, int index) {
  slot &s = slot_at(e, index);
  for (int i = 0; i < s.id_count; ++i)
    e->owner[s.ids[i]] = NO_SLOT;
  s.id_count = 0;
  s.busy = false;
  s.on_wire = false;
  ++s.generation;
  --e->busy;
  e->free_slots.push_back(index);
  e->job->done(s.index, &s.result, e->job->context);
}

void close_connection(connection *c) {
  sock_close(c->sock);
  c->sock = -1;
  c->state = CLOSED;
  c->out.clear();
  c->in.clear();
}

// The connect failed: the probes waiting for it fail, and after as many
// failures in a row as a probe has attempts, so does every later one.
void connect_failed(engine *e, std::size_t ci, int error) {
  connection &c = e->conns[ci];
  close_connection(&c);
  c.queue.clear();
  ++e->stats->setup_failures;
  e->stats->setup_error = error;
  if (++e->failures_in_row >= e->settings->attempts)
    e->given_up = true;
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    slot &s = e->slots[i];
    if (s.busy && s.conn == static_cast<int>(ci)) {
      s.result.error = PROBE_ERROR_CONNECT;
      finish(e, static_cast<int>(i));
    }
  }
}

void begin_connect(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  if (c.state != CLOSED)
    return;
  int error = 0;
  c.sock = stream_connect(e->ns, &error);
  if (c.sock == -1) {
    connect_failed(e, ci, error);
    return;
  }
  c.state = CONNECTING;
  c.setup_start = now;
}

// The server closed a connection that was open: what it had not answered
// goes out again on a new one.
void connection_lost(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  close_connection(&c);
  std::deque<queued> again;
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    slot &s = e->slots[i];
    if (s.busy && s.on_wire && s.conn == static_cast<int>(ci)) {
      s.on_wire = false;
      again.push_back(queued{static_cast<int>(i), s.generation, true});
    }
  }
  c.queue.insert(c.queue.begin(), again.begin(), again.end());
  if (!c.queue.empty())
    begin_connect(e, ci, now);
}

void write_out(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  while (!c.out.empty()) {
    long n = stream_send(c.sock,
                         reinterpret_cast<const unsigned char *>(c.out.data()),
                         c.out.size());
    if (n == SOCK_WOULD_BLOCK)
      return;
    if (n <= 0) {
      connection_lost(e, ci, now);
      return;
    }
    c.out.erase(0, static_cast<std::size_t>(n));
  }
}

// Moves the queued attempts of an open connection into its output.
void flush_queue(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  while (!c.queue.empty()) {
    const queued q = c.queue.front();
    c.queue.pop_front();
    slot &s = slot_at(e, q.slot);
    if (!s.busy || s.generation != q.generation)
      continue; // decided, or a later attempt is under way
    c.out.append(reinterpret_cast<const char *>(s.frame),
                 static_cast<std::size_t>(s.frame_length));
    s.on_wire = true;
    if (!s.sent_any) {
      s.sent_any = true;
      s.first_sent = now;
    }
    if (!q.again)
      ++s.result.attempts;
  }
  write_out(e, ci, now);
}

void opened(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  c.state = OPEN;
  ++e->stats->opened;
  if (c.was_open)
    ++e->stats->reconnections;
  c.was_open = true;
  e->failures_in_row = 0;
  e->stats->setup_us.push_back(static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - c.setup_start)
          .count()));
  flush_queue(e, ci, now);
}

std::uint16_t fresh_id(engine *e) {
  for (;;) {
    std::uint16_t id = static_cast<std::uint16_t>(e->random() & 0xFFFF);
    if (e->owner[id] == NO_SLOT)
      return id;
  }
}

void send_attempt(engine *e, int index, clock_type::time_point now) {
  slot &s = slot_at(e, index);
  ++s.tries;
  ++s.generation;
  if (e->given_up) {
    s.result.error = PROBE_ERROR_CONNECT;
    finish(e, index);
    return;
  }
  const std::uint16_t id = fresh_id(e);
  s.frame[LENGTH_PREFIX + DNS_ID_OFFSET] = static_cast<unsigned char>(id >> 8);
  s.frame[LENGTH_PREFIX + DNS_ID_OFFSET + 1] = static_cast<unsigned char>(id);
  // A late reply to an earlier attempt still decides the probe.
  s.ids[s.id_count++] = id;
  e->owner[id] = index;
  const std::size_t ci = e->next_conn++ % e->conns.size();
  s.conn = static_cast<int>(ci);
  s.on_wire = false;
  e->timers.push_back(
      timer{now + std::chrono::milliseconds(e->settings->timeout_ms), index,
            s.generation});
  connection &c = e->conns[ci];
  c.queue.push_back(queued{index, s.generation, false});
  if (c.state == OPEN)
    flush_queue(e, ci, now);
  else
    begin_connect(e, ci, now);
}

bool start_probe(engine *e) {
  const std::size_t index = e->next_name++;
  const int si = e->free_slots.back();
  slot &s = slot_at(e, si);
  const char *name = e->job->name(index, e->job->context);
  s.index = index;
  s.tries = 0;
  s.id_count = 0;
  s.sent_any = false;
  s.on_wire = false;
  s.conn = -1;
  s.result = probe_result{PROBE_FAILED, 0, -1, -1, PROBE_ERROR_NONE, 0, 0};
  const int length =
      build_query_with_id(name ? name : "", e->settings->qtype, 0,
                          s.frame + LENGTH_PREFIX, QUERY_BUFFER_SIZE);
  if (!name || length <= 0) {
    s.result.error = PROBE_ERROR_UNSENDABLE;
    e->job->done(index, &s.result, e->job->context);
    return false;
  }
  s.frame[0] = static_cast<unsigned char>(length >> 8);
  s.frame[1] = static_cast<unsigned char>(length);
  s.frame_length = LENGTH_PREFIX + length;
  e->free_slots.pop_back();
  s.busy = true;
  ++e->busy;
  send_attempt(e, si, clock_type::now());
  return true;
}

bool wants_to_send(const engine *e) {
  return !e->retries.empty() ||
         (e->next_name < e->job->count && !e->free_slots.empty());
}

void send_due(engine *e) {
  for (;;) {
    const clock_type::time_point now = clock_type::now();
    if (!wants_to_send(e) ||
        (e->interval != clock_type::duration::zero() && now < e->next_send))
      return;
    bool sent = true;
    if (!e->retries.empty()) {
      const timer due = e->retries.front();
      e->retries.pop_front();
      const slot &s = slot_at(e, due.slot);
      if (!s.busy || s.generation != due.generation)
        continue;
      send_attempt(e, due.slot, now);
    } else {
      sent = start_probe(e);
    }
    if (sent && e->interval != clock_type::duration::zero())
      e->next_send = std::max(e->next_send, now - e->interval) + e->interval;
  }
}

void expire(engine *e, clock_type::time_point now) {
  while (!e->timers.empty() && e->timers.front().deadline <= now) {
    const timer t = e->timers.front();
    e->timers.pop_front();
    slot &s = slot_at(e, t.slot);
    if (!s.busy || s.generation != t.generation)
      continue;
    if (s.result.error == PROBE_ERROR_NONE)
      s.result.error = PROBE_ERROR_TIMEOUT;
    if (s.tries < e->settings->attempts)
      e->retries.push_back(t);
    else
      finish(e, t.slot);
  }
}

void on_message(engine *e, const unsigned char *reply, long n) {
  const long id = message_id(n, reply);
  if (id < 0)
    return;
  const int index = e->owner[static_cast<std::size_t>(id)];
  if (index == NO_SLOT)
    return;
  slot &s = slot_at(e, index);
  if (!(same_question(s.frame + LENGTH_PREFIX, s.frame_length - LENGTH_PREFIX,
                      reply, n) ||
        error_without_question(n, reply)))
    return;
  s.result.rcode = static_cast<std::int16_t>(reply_rcode(n, reply));
  const int kind = classify_reply(n, reply);
  if (kind == REPLY_ANSWERED || kind == REPLY_NEGATIVE) {
    s.result.outcome = kind == REPLY_ANSWERED ? PROBE_OK : PROBE_NEGATIVE;
    s.result.error = PROBE_ERROR_NONE;
    s.result.reply_us = static_cast<std::int32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(
            clock_type::now() - s.first_sent)
            .count());
    finish(e, index);
    return;
  }
  s.result.error =
      reply_truncated(n, reply) ? PROBE_ERROR_TRUNCATED : PROBE_ERROR_RCODE;
  s.on_wire = false;
  ++s.generation;
  if (s.tries < e->settings->attempts)
    e->retries.push_back(timer{clock_type::time_point(), index, s.generation});
  else
    finish(e, index);
}

void read_connection(engine *e, std::size_t ci, clock_type::time_point now) {
  connection &c = e->conns[ci];
  unsigned char chunk[READ_CHUNK];
  for (;;) {
    long n = stream_recv(c.sock, chunk, sizeof chunk);
    if (n == SOCK_WOULD_BLOCK)
      break;
    if (n <= 0) {
      connection_lost(e, ci, now);
      return;
    }
    c.in.append(reinterpret_cast<const char *>(chunk),
                static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof chunk)
      break;
  }
  std::size_t at = 0;
  while (c.in.size() - at >= LENGTH_PREFIX) {
    const unsigned char *p =
        reinterpret_cast<const unsigned char *>(c.in.data()) + at;
    const std::size_t length = static_cast<std::size_t>(p[0] << 8 | p[1]);
    if (c.in.size() - at < LENGTH_PREFIX + length)
      break;
    on_message(e, p + LENGTH_PREFIX, static_cast<long>(length));
    at += LENGTH_PREFIX + length;
  }
  c.in.erase(0, at);
}

int wait_ms(const engine *e) {
  const clock_type::time_point now = clock_type::now();
  clock_type::time_point until = now + std::chrono::milliseconds(MAX_WAIT_MS);
  if (!e->timers.empty())
    until = std::min(until, e->timers.front().deadline);
  if (wants_to_send(e) && e->interval != clock_type::duration::zero())
    until = std::min(until, e->next_send);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now)
                .count();
  if (until > now + std::chrono::milliseconds(ms))
    ++ms;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

} // namespace

int stream_run(const ns_address *ns, const engine_settings *settings,
               int connections, const engine_job *job, stream_stats *stats) {
  engine e;
  e.ns = ns;
  e.settings = settings;
  e.job = job;
  e.stats = stats;
  *stats = stream_stats{0, 0, 0, 0, {}};
  e.random.seed(std::random_device{}());
  const int concurrency = std::max(1, settings->concurrency);
  e.conns.resize(static_cast<std::size_t>(std::min(
      std::max(1, connections), static_cast<int>(STREAM_MAX_CONNECTIONS))));
  e.owner.assign(ID_COUNT, NO_SLOT);
  e.slots.resize(static_cast<std::size_t>(concurrency));
  for (int i = concurrency - 1; i >= 0; --i) {
    slot_at(&e, i) = slot{};
    e.free_slots.push_back(i);
  }
  if (settings->rate > 0.0)
    e.interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(1.0 / settings->rate));
  e.next_send = clock_type::now();

  std::vector<stream_wait> waits(e.conns.size());
  while (!(job->stop && job->stop->load())) {
    expire(&e, clock_type::now());
    send_due(&e);
    if (e.busy == 0 && e.retries.empty() && e.next_name >= job->count)
      break;
    for (std::size_t i = 0; i < e.conns.size(); ++i) {
      const connection &c = e.conns[i];
      waits[i] = stream_wait{c.sock, c.state == CONNECTING || !c.out.empty(),
                             false, false};
    }
    if (stream_poll(waits.data(), static_cast<int>(waits.size()),
                    wait_ms(&e)) <= 0)
      continue;
    const clock_type::time_point now = clock_type::now();
    for (std::size_t i = 0; i < e.conns.size(); ++i) {
      connection &c = e.conns[i];
      if (c.sock == -1 || !(waits[i].readable || waits[i].writable))
        continue;
      if (c.state == CONNECTING) {
        const int error = stream_connect_result(c.sock);
        if (error != 0)
          connect_failed(&e, i, error);
        else
          opened(&e, i, now);
        continue;
      }
      if (waits[i].writable && !c.out.empty())
        write_out(&e, i, now);
      if (waits[i].readable && c.state == OPEN)
        read_connection(&e, i, now);
    }
  }
  for (connection &c : e.conns)
    close_connection(&c);
  return 0;
}
