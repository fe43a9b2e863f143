// The engine's loop: fill the free slots (as the rate allows), give each
// attempt to the transport, wait for what it watches or the next deadline,
// and retry or decide on what it hands back.
#include "net/engine.h"

#include "net/dns_message.h"
#include "net/transport.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <random>
#include <vector>

namespace {

enum {
  ID_COUNT = 65536,
  // Up to this many queries in flight, and when no probe is held after its
  // reply, the slots are searched for a reply's ID; beyond, a table per
  // channel (256 KiB) finds it. A Windows worker has one in flight.
  SMALL_CONCURRENCY = 16,
  // The longest wait, so that a stop is seen within it.
  MAX_WAIT_MS = 100,
  READY_BATCH = 64,
};

// A probe decided, still listened for.
struct held_probe {
  std::size_t index; // the job's
  int channel;
  std::uint16_t ids[ENGINE_MAX_ATTEMPTS];
  int id_count;
  probe_clock::time_point first_sent;
  // The question, as a digest: many may be held at once.
  std::uint64_t question;
  int query_length;
  int first_ip_ttl; // of the deciding reply
};

typedef std::pair<probe_clock::time_point, int> hold_end;

} // namespace

struct probe_engine {
  transport *t;
  const engine_settings *settings;
  const engine_job *job;
  // Per channel, the slot each ID in flight belongs to, or slots.size() +
  // a held probe's number. Empty at small concurrency without holds.
  std::vector<std::vector<std::int32_t>> owner;
  std::vector<held_probe> held;
  std::vector<int> free_held;
  std::priority_queue<hold_end, std::vector<hold_end>, std::greater<hold_end>>
      hold_ends;
  int holding = 0;
  std::vector<probe_slot> slots;
  std::vector<int> free_slots;
  schedule sched;
  std::size_t next_name = 0;
  int busy = 0;
  std::mt19937 random;
};

namespace {

probe_slot &slot_at(probe_engine *e, int index) {
  return e->slots[static_cast<std::size_t>(index)];
}

void set_owner(probe_engine *e, int channel, std::uint16_t id, int index) {
  if (!e->owner.empty())
    e->owner[static_cast<std::size_t>(channel)][id] = index;
}

// The decided probe in `slot` keeps its IDs a while (see hold_ms).
void hold(probe_engine *e, int slot, probe_clock::time_point now, int ip_ttl) {
  probe_slot &s = slot_at(e, slot);
  const probe_clock::time_point until = std::min(
      now + std::chrono::milliseconds(e->settings->hold_ms),
      s.attempt_begun + std::chrono::milliseconds(e->settings->timeout_ms));
  if (until <= now || s.id_count == 0)
    return;
  int h;
  if (!e->free_held.empty()) {
    h = e->free_held.back();
    e->free_held.pop_back();
  } else {
    h = static_cast<int>(e->held.size());
    e->held.emplace_back();
  }
  held_probe &p = e->held[static_cast<std::size_t>(h)];
  p.index = s.index;
  p.channel = e->t->channel_of(slot);
  p.id_count = s.id_count;
  std::copy(s.ids, s.ids + s.id_count, p.ids);
  p.first_sent = s.first_sent;
  p.query_length = s.query_length;
  p.question = question_digest(s.query, s.query_length);
  p.first_ip_ttl = ip_ttl;
  const int number = static_cast<int>(e->slots.size()) + h;
  for (int i = 0; i < s.id_count; ++i)
    set_owner(e, p.channel, s.ids[i], number);
  s.id_count = 0; // they are the held probe's now
  e->hold_ends.push(hold_end{until, h});
  ++e->holding;
}

// Holds that have run their time let their IDs go.
void end_holds(probe_engine *e, probe_clock::time_point now) {
  while (!e->hold_ends.empty() && e->hold_ends.top().first <= now) {
    const int h = e->hold_ends.top().second;
    e->hold_ends.pop();
    const held_probe &p = e->held[static_cast<std::size_t>(h)];
    const int number = static_cast<int>(e->slots.size()) + h;
    for (int i = 0; i < p.id_count; ++i) {
      if (e->owner[static_cast<std::size_t>(p.channel)][p.ids[i]] == number)
        set_owner(e, p.channel, p.ids[i], NO_SLOT);
    }
    e->free_held.push_back(h);
    --e->holding;
  }
}

void finish(probe_engine *e, int index) {
  probe_slot &s = slot_at(e, index);
  const int channel = e->t->channel_of(index);
  for (int i = 0; i < s.id_count; ++i)
    set_owner(e, channel, s.ids[i], NO_SLOT);
  s.id_count = 0;
  s.busy = false;
  ++s.generation;
  --e->busy;
  e->free_slots.push_back(index);
  e->job->done(s.index, &s.result, e->job->context);
}

// An attempt ended without deciding its probe, and another follows.
void retry(probe_engine *e, const probe_timer &t) {
  e->sched.retries.push_back(t);
  if (e->job->retrying)
    e->job->retrying(slot_at(e, t.slot).index, e->job->context);
}

// The next attempt follows at once, or the probe ends.
void end_attempt(probe_engine *e, int index) {
  probe_slot &s = slot_at(e, index);
  ++s.generation;
  if (s.tries < e->settings->attempts)
    retry(e, probe_timer{probe_clock::time_point(), index, s.generation});
  else
    finish(e, index);
}

void set_cause(probe_slot *s, int cause, bool weak) {
  if (!weak || s->result.error == PROBE_ERROR_NONE ||
      s->result.error == PROBE_ERROR_TIMEOUT)
    s->result.error = static_cast<std::int16_t>(cause);
}

// A fresh ID, one that no query in flight on the channel has. The counter
// finds one: at most 10,000 × 5 IDs are ever held.
std::uint16_t fresh_id(probe_engine *e, int channel) {
  for (;;) {
    std::uint16_t id = e->settings->classic
                           ? query_id.fetch_add(1)
                           : static_cast<std::uint16_t>(e->random() & 0xFFFF);
    if (engine_owner(e, channel, id) == NO_SLOT)
      return id;
  }
}

// One attempt of the slot's probe. Its ID stays registered until the probe
// ends: a late reply to this attempt still decides it.
void send_attempt(probe_engine *e, int index, probe_clock::time_point now) {
  probe_slot &s = slot_at(e, index);
  ++s.tries;
  ++s.generation;
  s.attempt_begun = now;
  const int channel = e->t->channel_of(index);
  const std::uint16_t id = fresh_id(e, channel);
  s.query[DNS_ID_OFFSET] = static_cast<unsigned char>(id >> 8);
  s.query[DNS_ID_OFFSET + 1] = static_cast<unsigned char>(id);
  s.ids[s.id_count++] = id;
  set_owner(e, channel, id, index);
  e->sched.timers.push_back(
      probe_timer{now + std::chrono::milliseconds(e->settings->timeout_ms),
                  index, s.generation});
  e->t->send(index, now);
}

// Starts the next name's probe in a free slot; false when it could not be
// built (it is then reported at once and the slot stays free).
bool start_probe(probe_engine *e) {
  const std::size_t index = e->next_name++;
  const int si = e->free_slots.back();
  probe_slot &s = slot_at(e, si);
  const char *name = e->job->name(index, e->job->context);
  s.index = index;
  s.tries = 0;
  s.id_count = 0;
  s.sent_any = false;
  s.result =
      probe_result{PROBE_FAILED, 0, -1, -1, PROBE_ERROR_NONE, 0, 0, nullptr, 0};
  s.query_length = build_query_with_id(name ? name : "", e->settings->qtype, 0,
                                       s.query, sizeof s.query);
  if (!name || s.query_length <= 0) {
    s.result.error = PROBE_ERROR_UNSENDABLE;
    // Each attempt to build it would have taken an ID.
    if (e->settings->classic)
      query_id.fetch_add(static_cast<std::uint16_t>(e->settings->attempts));
    e->job->done(index, &s.result, e->job->context);
    return false;
  }
  e->free_slots.pop_back();
  s.busy = true;
  ++e->busy;
  // Timed from now: the front end's name may have taken a while.
  send_attempt(e, si, probe_clock::now());
  return true;
}

bool wants_to_send(const probe_engine *e) {
  return !e->sched.retries.empty() ||
         (e->next_name < e->job->count && !e->free_slots.empty());
}

// Sends what is due: retries first, then new names while slots are free.
void send_due(probe_engine *e) {
  for (;;) {
    const probe_clock::time_point now = probe_clock::now();
    if (!wants_to_send(e) || !schedule_may_send(&e->sched, now))
      return;
    bool sent = true;
    if (!e->sched.retries.empty()) {
      const probe_timer due = e->sched.retries.front();
      e->sched.retries.pop_front();
      const probe_slot &s = slot_at(e, due.slot);
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

void expire(probe_engine *e, probe_clock::time_point now) {
  end_holds(e, now);
  while (!e->sched.timers.empty() && e->sched.timers.front().deadline <= now) {
    const probe_timer t = e->sched.timers.front();
    e->sched.timers.pop_front();
    probe_slot &s = slot_at(e, t.slot);
    if (!s.busy || s.generation != t.generation)
      continue; // decided, or a later attempt is under way
    set_cause(&s, e->t->timed_out(t.slot, now), true);
    if (s.tries < e->settings->attempts)
      retry(e, t);
    else
      finish(e, t.slot);
  }
}

} // namespace

const probe_slot &engine_slot(const probe_engine *e, int slot) {
  return e->slots[static_cast<std::size_t>(slot)];
}

int engine_busy(const probe_engine *e) {
  return e->busy;
}

int engine_owner(const probe_engine *e, int channel, std::uint16_t id) {
  if (!e->owner.empty())
    return e->owner[static_cast<std::size_t>(channel)][id];
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    const probe_slot &s = e->slots[i];
    if (!s.busy || e->t->channel_of(static_cast<int>(i)) != channel)
      continue;
    for (int k = 0; k < s.id_count; ++k) {
      if (s.ids[k] == id)
        return static_cast<int>(i);
    }
  }
  return NO_SLOT;
}

attempt_ref engine_attempt(const probe_engine *e, int slot) {
  const probe_slot &s = engine_slot(e, slot);
  return attempt_ref{slot, s.index, s.generation};
}

bool engine_awaits_reply(const probe_engine *e, const attempt_ref &ref) {
  const probe_slot &s = engine_slot(e, ref.slot);
  return s.busy && s.index == ref.probe;
}

bool engine_current(const probe_engine *e, const attempt_ref &ref) {
  return engine_awaits_reply(e, ref) &&
         engine_slot(e, ref.slot).generation == ref.generation;
}

bool engine_reply_to(probe_engine *e, const attempt_ref &ref,
                     const unsigned char *reply, long length, int how) {
  return engine_awaits_reply(e, ref) &&
         engine_reply(e, ref.slot, reply, length, how);
}

void engine_attempt_ended(probe_engine *e, const attempt_ref &ref, int cause,
                          bool weak) {
  if (engine_current(e, ref))
    engine_end_attempt(e, ref.slot, cause, weak);
}

void engine_sent(probe_engine *e, int slot, probe_clock::time_point now,
                 bool again) {
  probe_slot &s = slot_at(e, slot);
  if (!s.sent_any) {
    s.sent_any = true;
    s.first_sent = now;
  }
  if (!again)
    ++s.result.attempts;
}

void engine_send_failed(probe_engine *e, int slot, int sys_error) {
  probe_slot &s = slot_at(e, slot);
  // Nothing went out with its ID: it is free again.
  set_owner(e, e->t->channel_of(slot), s.ids[--s.id_count], NO_SLOT);
  s.result.error = PROBE_ERROR_NETWORK;
  s.result.sys_error = sys_error;
  ++s.result.failed_sends;
  // As the classic probe: a send that fails is an attempt.
  end_attempt(e, slot);
}

bool engine_reply(probe_engine *e, int slot, const unsigned char *reply,
                  long length, int how, int ip_ttl) {
  if (slot >= static_cast<int>(e->slots.size())) {
    // A probe already decided: a further reply to it, if it is one.
    const held_probe &p =
        e->held[static_cast<std::size_t>(slot) - e->slots.size()];
    if (length < p.query_length ||
        question_digest(reply, p.query_length) != p.question)
      return false;
    if (e->job->echo) {
      const probe_echo echo{
          reply, length,
          static_cast<std::int32_t>(
              std::chrono::duration_cast<std::chrono::microseconds>(
                  probe_clock::now() - p.first_sent)
                  .count()),
          ip_ttl, p.first_ip_ttl};
      e->job->echo(p.index, &echo, e->job->context);
    }
    return true;
  }
  probe_slot &s = slot_at(e, slot);
  if (how != REPLY_BY_ID &&
      !(length >= DNS_HEADER_SIZE &&
        (same_question(s.query, s.query_length, reply, length) ||
         error_without_question(length, reply)))) {
    if (how == REPLY_BY_STREAM) {
      s.result.error = PROBE_ERROR_FORMAT;
      end_attempt(e, slot);
    }
    return false;
  }
  s.result.rcode = static_cast<std::int16_t>(reply_rcode(length, reply));
  const int kind = e->settings->judge
                       ? e->settings->judge(reply, length, e->settings->qtype)
                       : classify_reply(length, reply);
  if (reply_decides(&s.result, kind, s.first_sent)) {
    s.result.reply = reply;
    s.result.reply_length = static_cast<std::int32_t>(length);
    if (e->settings->hold_ms > 0)
      hold(e, slot, probe_clock::now(), ip_ttl);
    finish(e, slot);
    s.result.reply = nullptr;
    return true;
  }
  s.result.error = reply_truncated(length, reply) ? PROBE_ERROR_TRUNCATED
                   : kind == REPLY_NO_ANSWER      ? PROBE_ERROR_NOANSWER
                                                  : PROBE_ERROR_RCODE;
  // As the classic probe: a reply that settles nothing ends the attempt.
  if (e->settings->truncated_ends && s.result.error == PROBE_ERROR_TRUNCATED)
    finish(e, slot);
  else
    end_attempt(e, slot);
  return true;
}

void engine_end_attempt(probe_engine *e, int slot, int cause, bool weak) {
  set_cause(&slot_at(e, slot), cause, weak);
  end_attempt(e, slot);
}

void engine_fail(probe_engine *e, int slot, int cause, bool weak) {
  set_cause(&slot_at(e, slot), cause, weak);
  finish(e, slot);
}

int probe_run(transport *t, const engine_settings *settings,
              const engine_job *job) {
  probe_engine e;
  e.t = t;
  e.settings = settings;
  e.job = job;
  e.random.seed(std::random_device{}());
  poller *p = poller_open();
  if (!p)
    return -1;
  if (t->start(&e, p) != 0) {
    poller_close(p);
    return -1;
  }
  const int concurrency = std::max(1, settings->concurrency);
  if (concurrency > SMALL_CONCURRENCY || settings->hold_ms > 0)
    e.owner.assign(static_cast<std::size_t>(t->channels()),
                   std::vector<std::int32_t>(ID_COUNT, NO_SLOT));
  e.slots.resize(static_cast<std::size_t>(concurrency));
  for (int i = concurrency - 1; i >= 0; --i)
    e.free_slots.push_back(i);
  schedule_start(&e.sched, settings->rate);

  poller_event ready[READY_BATCH];
  while (!(job->stop && job->stop->load())) {
    expire(&e, probe_clock::now());
    send_due(&e);
    if (e.busy == 0 && e.holding == 0 && e.sched.retries.empty() &&
        e.next_name >= job->count)
      break;
    int wait_ms = schedule_wait_ms(&e.sched, wants_to_send(&e), MAX_WAIT_MS);
    if (!e.hold_ends.empty())
      wait_ms =
          wait_until(wait_ms, probe_clock::now(), e.hold_ends.top().first);
    wait_ms = t->before_wait(probe_clock::now(), wait_ms);
    const int n = poller_wait(p, wait_ms, ready, READY_BATCH);
    const probe_clock::time_point now = probe_clock::now();
    for (int i = 0; i < n; ++i)
      t->ready(ready[i].tag, ready[i].events, now);
  }
  t->finish();
  poller_close(p);
  return 0;
}
