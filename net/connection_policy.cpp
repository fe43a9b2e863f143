#include "net/connection_policy.h"

#include <algorithm>

namespace {

enum {
  BACKOFF_FIRST_MS = 4,
};

} // namespace

bool connection_policy::move_on(int used, int fallback_count) {
  if (settled_ || (used == address_ && address_ >= fallback_count))
    return false;
  if (used == address_)
    ++address_;
  return true;
}

void connection_policy::failed(stream_stats *stats, int cause,
                               const std::string &reason, int attempts) {
  ++stats->setup_failures;
  stats->failure = cause;
  stats->reason = reason;
  if (++failures_in_row_ >= attempts)
    given_up_ = true;
}

void connection_policy::opened() {
  settled_ = true;
  failures_in_row_ = 0;
}

int connection_policy::pause_ms(int timeout_ms) {
  const int timeout = std::max(1, timeout_ms);
  backoff_ms_ = backoff_ms_ == 0 ? std::min<int>(BACKOFF_FIRST_MS, timeout)
                                 : std::min(2 * backoff_ms_, timeout);
  return backoff_ms_;
}
