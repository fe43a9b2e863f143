// The engine's loop: fill the free slots (as the rate allows), wait for a
// datagram or the next deadline, match replies by socket, sender, ID and
// question, and retry or decide.
#include "net/engine.h"

#include "net/dns_message.h"
#include "net/poller.h"
#include "net/probe.h"
#include "net/schedule.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

enum {
  NO_SLOT = -1,
  ID_COUNT = 65536,
  // Up to this many queries in flight, the slots are searched for a
  // reply's ID; beyond, a table per socket (128 KiB) finds it.
  SMALL_CONCURRENCY = 16,
  // A socket for every this many queries in flight, so that the IDs and
  // source ports in use spread; and no more than this many sockets.
  QUERIES_PER_SOCKET = 128,
  MAX_SOCKETS = 64,
  // The longest wait, so that a stop is seen within it.
  MAX_WAIT_MS = 100,
  READY_BATCH = 64,
};

struct slot {
  bool busy;
  std::size_t index; // of the name in the job
  int socket;        // into engine::sockets
  int tries;         // attempts begun
  std::uint16_t ids[ENGINE_MAX_ATTEMPTS];
  int id_count;
  unsigned generation; // a timer for an older attempt is stale
  probe_clock::time_point first_sent;
  bool sent_any;
  unsigned char query[QUERY_BUFFER_SIZE];
  int query_length;
  probe_result result;
};

struct engine {
  const ns_address *ns;
  const engine_settings *settings;
  const engine_job *job;
  std::vector<sock_t> sockets;
  // Per socket, the slot each ID in flight belongs to.
  // Empty at small concurrency. Slot numbers fit: at most 10,000 slots.
  std::vector<std::vector<std::int16_t>> owner;
  std::vector<slot> slots;
  std::vector<int> free_slots;
  schedule sched;
  std::size_t next_name = 0;
  int busy = 0;
  std::mt19937 random;
};

// The slot whose query in flight on `socket` carries `id`, or NO_SLOT.
int owner_of(const engine *e, int socket, std::uint16_t id) {
  if (!e->owner.empty())
    return e->owner[static_cast<std::size_t>(socket)][id];
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    const slot &s = e->slots[i];
    if (!s.busy || s.socket != socket)
      continue;
    for (int k = 0; k < s.id_count; ++k) {
      if (s.ids[k] == id)
        return static_cast<int>(i);
    }
  }
  return NO_SLOT;
}

void set_owner(engine *e, int socket, std::uint16_t id, int index) {
  if (!e->owner.empty())
    e->owner[static_cast<std::size_t>(socket)][id] =
        static_cast<std::int16_t>(index);
}

void release_ids(engine *e, slot *s) {
  for (int i = 0; i < s->id_count; ++i)
    set_owner(e, s->socket, s->ids[i], NO_SLOT);
  s->id_count = 0;
}

void finish(engine *e, int index) {
  slot *s = &e->slots[static_cast<std::size_t>(index)];
  release_ids(e, s);
  s->busy = false;
  ++s->generation;
  --e->busy;
  e->free_slots.push_back(index);
  e->job->done(s->index, &s->result, e->job->context);
}

// A fresh ID, one that no query in flight on the socket has. The counter
// finds one: at most 10,000 × 5 IDs are ever held.
std::uint16_t fresh_id(engine *e, int socket) {
  for (;;) {
    std::uint16_t id = e->settings->classic
                           ? query_id.fetch_add(1)
                           : static_cast<std::uint16_t>(e->random() & 0xFFFF);
    if (owner_of(e, socket, id) == NO_SLOT)
      return id;
  }
}

// One attempt of the slot's probe.
void send_attempt(engine *e, int index, probe_clock::time_point now) {
  slot *s = &e->slots[static_cast<std::size_t>(index)];
  ++s->tries;
  ++s->generation;
  const std::uint16_t id = fresh_id(e, s->socket);
  s->query[DNS_ID_OFFSET] = static_cast<unsigned char>(id >> 8);
  s->query[DNS_ID_OFFSET + 1] = static_cast<unsigned char>(id);
  if (!s->sent_any)
    s->first_sent = now;
  long n = sock_send_to(e->sockets[static_cast<std::size_t>(s->socket)],
                        s->query, s->query_length,
                        reinterpret_cast<const sockaddr *>(&e->ns->sa),
                        e->ns->length);
  if (n < 0) {
    s->result.error = PROBE_ERROR_NETWORK;
    s->result.sys_error = sock_error();
    ++s->result.failed_sends;
    // As the classic probe: a send that fails is an attempt, and the next
    // one follows at once.
    if (s->tries < e->settings->attempts)
      e->sched.retries.push_back(probe_timer{now, index, s->generation});
    else
      finish(e, index);
    return;
  }
  s->sent_any = true;
  ++s->result.attempts;
  // The ID stays registered until the probe ends: a late reply to this
  // attempt still decides it.
  s->ids[s->id_count++] = id;
  set_owner(e, s->socket, id, index);
  e->sched.timers.push_back(
      probe_timer{now + std::chrono::milliseconds(e->settings->timeout_ms),
                  index, s->generation});
}

// Starts the next name's probe in a free slot; false when it could not be
// built (it is then reported at once and the slot stays free).
bool start_probe(engine *e) {
  const std::size_t index = e->next_name++;
  const int si = e->free_slots.back();
  slot *s = &e->slots[static_cast<std::size_t>(si)];
  const char *name = e->job->name(index, e->job->context);
  s->index = index;
  s->tries = 0;
  s->id_count = 0;
  s->sent_any = false;
  s->result = probe_result{PROBE_FAILED, 0, -1, -1, PROBE_ERROR_NONE, 0, 0};
  s->query_length = build_query_with_id(name ? name : "", e->settings->qtype, 0,
                                        s->query, sizeof s->query);
  if (!name || s->query_length <= 0) {
    s->result.error = PROBE_ERROR_UNSENDABLE;
    // Each attempt to build it would have taken an ID.
    if (e->settings->classic)
      query_id.fetch_add(static_cast<std::uint16_t>(e->settings->attempts));
    e->job->done(index, &s->result, e->job->context);
    return false;
  }
  e->free_slots.pop_back();
  s->busy = true;
  ++e->busy;
  // Timed from now: the front end's name may have taken a while.
  send_attempt(e, si, probe_clock::now());
  return true;
}

bool wants_to_send(const engine *e) {
  return !e->sched.retries.empty() ||
         (e->next_name < e->job->count && !e->free_slots.empty());
}

// Sends what is due: retries first, then new names while slots are free.
void send_due(engine *e) {
  for (;;) {
    const probe_clock::time_point now = probe_clock::now();
    if (!wants_to_send(e) || !schedule_may_send(&e->sched, now))
      return;
    bool sent = true;
    if (!e->sched.retries.empty()) {
      const probe_timer due = e->sched.retries.front();
      e->sched.retries.pop_front();
      const slot &s = e->slots[static_cast<std::size_t>(due.slot)];
      if (!s.busy || s.generation != due.generation)
        continue; // decided meanwhile: nothing to send
      send_attempt(e, due.slot, now);
    } else {
      sent = start_probe(e);
    }
    if (sent)
      schedule_sent(&e->sched, now);
  }
}

void expire(engine *e, probe_clock::time_point now) {
  while (!e->sched.timers.empty() && e->sched.timers.front().deadline <= now) {
    const probe_timer t = e->sched.timers.front();
    e->sched.timers.pop_front();
    slot *s = &e->slots[static_cast<std::size_t>(t.slot)];
    if (!s->busy || s->generation != t.generation)
      continue; // decided, or a later attempt is under way
    if (s->result.error == PROBE_ERROR_NONE)
      s->result.error = PROBE_ERROR_TIMEOUT;
    if (s->tries < e->settings->attempts)
      e->sched.retries.push_back(t);
    else
      finish(e, t.slot);
  }
}

void on_reply(engine *e, int socket, const unsigned char *reply, long n,
              const sockaddr_storage *from, int from_length) {
  // Only the nameserver's address and port, an ID in flight on this socket
  // and the question asked make a reply; anything else is dropped.
  if (!is_ns_address(e->ns, from, from_length))
    return;
  long id = message_id(n, reply);
  if (id < 0)
    return;
  const int index = owner_of(e, socket, static_cast<std::uint16_t>(id));
  if (index == NO_SLOT)
    return;
  slot *s = &e->slots[static_cast<std::size_t>(index)];
  const bool whole = n <= REPLY_BUFFER_SIZE;
  if (!e->settings->classic &&
      !(whole && (same_question(s->query, s->query_length, reply, n) ||
                  error_without_question(n, reply))))
    return;
  // A reply too long for the buffer is as good as none.
  const int kind = whole ? classify_reply(n, reply) : REPLY_SHORT;
  if (whole)
    s->result.rcode = static_cast<std::int16_t>(reply_rcode(n, reply));
  if (reply_decides(&s->result, kind, s->first_sent)) {
    finish(e, index);
    return;
  }
  s->result.error = whole && reply_truncated(n, reply) ? PROBE_ERROR_TRUNCATED
                                                       : PROBE_ERROR_RCODE;
  // As the classic probe: a reply that settles nothing ends the attempt,
  // and the next one follows at once. One already under way is not doubled.
  ++s->generation;
  const bool ends =
      e->settings->truncated_ends && s->result.error == PROBE_ERROR_TRUNCATED;
  if (s->tries < e->settings->attempts && !ends)
    e->sched.retries.push_back(
        probe_timer{probe_clock::time_point(), index, s->generation});
  else
    finish(e, index);
}

void read_socket(engine *e, int socket) {
  unsigned char reply[REPLY_BUFFER_SIZE + 1];
  // Bounded, so that one busy socket cannot starve the timers.
  for (int i = 0; i < READY_BATCH; ++i) {
    sockaddr_storage from;
    int from_length = 0;
    long n = sock_recv_from(e->sockets[static_cast<std::size_t>(socket)], reply,
                            sizeof reply, &from, &from_length);
    if (n < 0)
      return; // nothing more now, or an error the next wait will show
    on_reply(e, socket, reply, n, &from, from_length);
    // With nothing in flight nothing more can count: what else waits is
    // read after the next send, which saves a call per probe at one in
    // flight.
    if (e->busy == 0)
      return;
  }
}

} // namespace

int engine_run(const ns_address *ns, const engine_settings *settings,
               const engine_job *job, int *sys_error) {
  engine e;
  e.ns = ns;
  e.settings = settings;
  e.job = job;
  e.random.seed(std::random_device{}());
  const int concurrency = std::max(1, settings->concurrency);
  const int socket_count =
      std::min<int>(MAX_SOCKETS, 1 + (concurrency - 1) / QUERIES_PER_SOCKET);
  poller *p = poller_open();
  *sys_error = 0;
  for (int i = 0; p && i < socket_count; ++i) {
    sock_t sock = sock_udp_nonblocking(ns->sa.ss_family);
    if (sock == -1 || poller_add(p, sock, i) != 0) {
      *sys_error = sock_error();
      sock_close(sock);
      break;
    }
    e.sockets.push_back(sock);
  }
  if (!p || static_cast<int>(e.sockets.size()) < socket_count) {
    for (sock_t sock : e.sockets)
      sock_close(sock);
    poller_close(p);
    if (*sys_error == 0)
      *sys_error = sock_error();
    return -1;
  }
  if (concurrency > SMALL_CONCURRENCY)
    e.owner.assign(e.sockets.size(),
                   std::vector<std::int16_t>(ID_COUNT, NO_SLOT));
  e.slots.resize(static_cast<std::size_t>(concurrency));
  for (int i = concurrency - 1; i >= 0; --i) {
    e.slots[static_cast<std::size_t>(i)].socket = i % socket_count;
    e.free_slots.push_back(i);
  }
  schedule_start(&e.sched, settings->rate);

  int ready[READY_BATCH];
  while (!(job->stop && job->stop->load())) {
    expire(&e, probe_clock::now());
    send_due(&e);
    if (e.busy == 0 && e.sched.retries.empty() && e.next_name >= job->count)
      break;
    int n = poller_wait(
        p, schedule_wait_ms(&e.sched, wants_to_send(&e), MAX_WAIT_MS), ready,
        READY_BATCH);
    for (int i = 0; i < n; ++i)
      read_socket(&e, ready[i]);
  }
  for (sock_t sock : e.sockets)
    sock_close(sock);
  poller_close(p);
  return 0;
}
