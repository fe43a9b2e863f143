// One pool of connections for every stream transport. It keeps what does
// not depend on what the connections carry: the name's addresses in turn,
// the set-ups that fail in a row, the pause before reconnecting, the
// attempts waiting for a connection, where each attempt went, and the
// set-up figures. What a kind of connection does (TCP with TLS and HTTPS
// over its bytes, QUIC) is its adapter's, behind stream_adapter.
#ifndef NET_STREAM_POOL_H
#define NET_STREAM_POOL_H

#include "net/connection_policy.h"
#include "net/target_run.h"
#include "net/transport.h"

#include <deque>
#include <string>
#include <vector>

enum {
  CONN_CLOSED,
  CONN_CONNECTING, // nothing heard from the server yet
  CONN_HANDSHAKE,  // TLS, or QUIC once the server answered
  CONN_OPEN,
};

// An attempt waiting for its connection.
struct queued_attempt {
  attempt_ref ref;
  bool again; // sent before, on a connection since lost: not a new attempt
};

struct pooled_connection {
  int state = CONN_CLOSED;
  std::deque<queued_attempt> queue;
  probe_clock::time_point setup_start;
  probe_clock::time_point not_before; // no reconnection before this
  bool was_open = false;
  int address_index = 0; // of the target's addresses, the one it went to
  // Since it opened: a reply answered a query of ours. Only then are the
  // queries it leaves unanswered sent again as the same attempts.
  bool productive = false;
};

class stream_pool;

// What differs between kinds of connection; `ci` is the pool's index.
class stream_adapter {
public:
  virtual ~stream_adapter() {}
  // What the run needs (TLS credentials): 0, or -1 with stats->reason set.
  virtual int start(stream_pool *pool, poller *p) = 0;
  // Begins setting the connection up at `to`, in state CONN_CONNECTING or
  // later: PROBE_ERROR_NONE, or the cause with why.
  virtual int connect(std::size_t ci, const ns_address *to,
                      probe_clock::time_point now, std::string *reason) = 0;
  // Attempts wait in the queue of the open connection (or it has just
  // opened).
  virtual void queued(std::size_t ci, probe_clock::time_point now) = 0;
  virtual void ready(std::size_t ci, int events,
                     probe_clock::time_point now) = 0;
  // Before each wait, for each connection.
  virtual int before_wait(std::size_t ci, probe_clock::time_point now,
                          int wait_ms) = 0;
  // Closes it; `goodbye` at the run's end, where the protocol says one.
  virtual void close(std::size_t ci, bool goodbye) = 0;
  // The connection may be given new queries (an HTTP/2 session that the
  // server is closing may not).
  virtual bool takes_queries(std::size_t ci) {
    (void)ci;
    return true;
  }
  // The attempt on the connection ran out of time.
  virtual void timed_out(std::size_t ci, int slot) {
    (void)ci;
    (void)slot;
  }
};

class stream_pool : public transport {
public:
  stream_pool(stream_adapter *adapter, const ns_target *target,
              const engine_settings *settings, const stream_options *options,
              stream_stats *stats);
  int start(probe_engine *e, poller *p) override;
  void send(int slot, probe_clock::time_point now) override;
  int timed_out(int slot, probe_clock::time_point now) override;
  int before_wait(probe_clock::time_point now, int wait_ms) override;
  void ready(int tag, int events, probe_clock::time_point now) override;
  void finish() override;

  // For the adapters.
  std::size_t size() const {
    return conns_.size();
  }
  pooled_connection &at(std::size_t ci) {
    return conns_[ci];
  }
  probe_engine *engine() const {
    return e_;
  }
  const ns_target *target() const {
    return target_;
  }
  const engine_settings *settings() const {
    return settings_;
  }
  const stream_options *options() const {
    return options_;
  }
  stream_stats *stats() const {
    return stats_;
  }
  const ns_address *address_of(std::size_t ci) const;
  // The target's address as text, to check a certificate without a name.
  const std::string &address_text() const {
    return address_text_;
  }
  // The set-up ended well: figures kept, and the queue goes out.
  void opened(std::size_t ci, probe_clock::time_point now);
  // Set-up failed: a connect goes on to the name's next address while
  // none has taken one; otherwise the probes waiting fail, and after as
  // many failures in a row as a probe has attempts, so does every later
  // one.
  void setup_failed(std::size_t ci, int cause, const std::string &reason);
  // A connection that was open is gone (see stream_pool.cpp).
  void lost(std::size_t ci, probe_clock::time_point now, int cause, bool weak);
  // A reply to a query of ours came on the connection: the server speaks
  // DNS.
  void answered(std::size_t ci);
  // The next attempt of the queue still under way; false when none.
  bool take_queued(std::size_t ci, queued_attempt *q);
  // It could not go yet (no credit): first in line again.
  void put_back(std::size_t ci, const queued_attempt &q);
  // The attempt's query is on the connection.
  void sent(std::size_t ci, const queued_attempt &q,
            probe_clock::time_point now);
  // The attempts on the connection, not yet answered, go back to the
  // front of its queue in the order first sent, as the same attempts.
  void requeue(std::size_t ci);
  // The server refused the slot's query before processing it: it goes
  // again as the same attempt, once the loop comes round, on its
  // connection while that takes queries, else on another.
  void send_again(std::size_t ci, int slot);

private:
  // Where each slot's attempt went.
  struct wire {
    std::size_t conn;
    attempt_ref ref; // of the attempt put there, not yet answered
    bool on_wire;
  };

  const ns_address *address_at(int index) const;
  bool next_address(std::size_t ci, probe_clock::time_point now);
  void begin_connect(std::size_t ci, probe_clock::time_point now);
  void close(std::size_t ci);
  std::vector<queued_attempt> take_wired(std::size_t ci);

  stream_adapter *adapter_;
  const ns_target *target_;
  const engine_settings *settings_;
  const stream_options *options_;
  stream_stats *stats_;
  probe_engine *e_ = nullptr;
  std::vector<pooled_connection> conns_;
  std::vector<wire> wires_; // by slot
  std::size_t next_conn_ = 0;
  connection_policy policy_;
  std::string address_text_;
};

#endif
