// The stream pool's rules for setting connections up, apart from its
// connections so that they can be tested alone: a looked-up name's addresses in
// turn until one takes a connection, the set-ups that fail in a row until the
// probes left fail at once, and the pause before reconnecting to a server
// that closed a connection without answering on it.
#ifndef NET_CONNECTION_POLICY_H
#define NET_CONNECTION_POLICY_H

#include "net/target_run.h"

#include <string>

class connection_policy {
public:
  // Where new connections go: 0 for the target's address, then its
  // fallbacks.
  int address() const {
    return address_;
  }
  // A connection at address `used` could not be set up: true when the
  // name has another address, where new connections go from now on.
  bool move_on(int used, int fallback_count);
  // A set-up failed for good, for `cause` (PROBE_ERROR_), which the
  // figures keep with why. After as many in a row as a probe has attempts,
  // the run gives up: every later probe fails at once.
  void failed(stream_stats *stats, int cause, const std::string &reason,
              int attempts);
  bool given_up() const {
    return given_up_;
  }
  // A connection was set up: its address stays, and the failures in a row
  // end.
  void opened();
  // A reply came on a connection: the next may follow at once.
  void answered() {
    backoff_ms_ = 0;
  }
  // A connection closed without answering: the pause before the next, 4 ms
  // at first, doubling up to the timeout.
  int pause_ms(int timeout_ms);

private:
  int address_ = 0;
  bool settled_ = false;
  int failures_in_row_ = 0;
  bool given_up_ = false;
  int backoff_ms_ = 0;
};

#endif
