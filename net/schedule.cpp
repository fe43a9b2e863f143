// The engine's time keeping.
#include "net/schedule.h"

#include "net/dns_message.h"
#include "net/probe.h"

#include <algorithm>

void schedule_start(schedule *s, double rate) {
  s->interval = probe_clock::duration::zero();
  if (rate > 0.0)
    s->interval = std::chrono::duration_cast<probe_clock::duration>(
        std::chrono::duration<double>(1.0 / rate));
  s->next_send = probe_clock::now();
}

bool schedule_may_send(const schedule *s, probe_clock::time_point now) {
  return s->interval == probe_clock::duration::zero() || now >= s->next_send;
}

void schedule_sent(schedule *s, probe_clock::time_point now) {
  // A late send keeps its place in the pace, but no more than one interval
  // is made up.
  if (s->interval != probe_clock::duration::zero())
    s->next_send = std::max(s->next_send, now - s->interval) + s->interval;
}

int schedule_wait_ms(const schedule *s, bool want_send, int max_ms) {
  const probe_clock::time_point now = probe_clock::now();
  probe_clock::time_point until = now + std::chrono::milliseconds(max_ms);
  if (!s->timers.empty())
    until = std::min(until, s->timers.front().deadline);
  if (want_send && s->interval != probe_clock::duration::zero())
    until = std::min(until, s->next_send);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now)
                .count();
  // Rounded up, so that a deadline is not polled for again and again.
  if (until > now + std::chrono::milliseconds(ms))
    ++ms;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

bool reply_decides(probe_result *result, int kind,
                   probe_clock::time_point first_sent) {
  if (kind != REPLY_ANSWERED && kind != REPLY_NEGATIVE)
    return false;
  result->outcome = kind == REPLY_ANSWERED ? PROBE_OK : PROBE_NEGATIVE;
  result->error = PROBE_ERROR_NONE;
  result->reply_us = static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(probe_clock::now() -
                                                            first_sent)
          .count());
  return true;
}

int wait_until(int wait_ms, probe_clock::time_point now,
               probe_clock::time_point then) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
  return std::min(wait_ms, 1 + std::max(0, static_cast<int>(ms)));
}
