// What the probe engine keeps of time: the attempts' deadlines and the
// retries due, the pace of sends, how long the loop may wait, and a reply
// that decides a probe.
#ifndef NET_SCHEDULE_H
#define NET_SCHEDULE_H

#include "net/engine.h"

#include <chrono>
#include <deque>

typedef std::chrono::steady_clock probe_clock;

// An attempt's deadline (among retries, when it fell due) for the probe in
// `slot`; stale once the slot's generation has moved on.
struct probe_timer {
  probe_clock::time_point deadline;
  int slot;
  unsigned generation;
};

struct schedule {
  // Timeouts are all the same length, so a plain queue in send order is
  // also in deadline order.
  std::deque<probe_timer> timers;
  // Slots whose next attempt is due, with the generation that made it due:
  // a probe decided meanwhile (by a late reply) has a newer one.
  std::deque<probe_timer> retries;
  probe_clock::duration interval{}; // between sends; zero for no limit
  probe_clock::time_point next_send;
};

// At most `rate` queries a second; 0 for no limit.
void schedule_start(schedule *s, double rate);
bool schedule_may_send(const schedule *s, probe_clock::time_point now);
void schedule_sent(schedule *s, probe_clock::time_point now);
// How long the loop may wait, in whole milliseconds rounded up: until the
// first deadline, until the pace allows a send when `want_send`, and at
// most `max_ms`.
int schedule_wait_ms(const schedule *s, bool want_send, int max_ms);
// A wait of `wait_ms` cut short to end just after `then`.
int wait_until(int wait_ms, probe_clock::time_point now,
               probe_clock::time_point then);

// True when a reply of `kind` (REPLY_) decides the probe; its outcome and
// its time since `first_sent` are then in `result`.
bool reply_decides(probe_result *result, int kind,
                   probe_clock::time_point first_sent);

#endif
