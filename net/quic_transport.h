// DNS over QUIC (RFC 9250): a few QUIC connections to the nameserver
// (ngtcp2 with GnuTLS, ALPN "doq", TLS 1.3), each query on a bidirectional
// stream of its own with Message ID 0, the reply matched by its stream.
// Queries beyond the streams the server allows wait for its credit. A
// connection that is closed is opened again with its unanswered queries,
// resuming the TLS session and sending them as 0-RTT data where the server
// takes it (DNS queries are safe to replay). Every ngtcp2 and GnuTLS call
// is in quic_transport.cpp: their interfaces change between releases.
#ifndef NET_QUIC_TRANSPORT_H
#define NET_QUIC_TRANSPORT_H

#include "net/connection_policy.h"
#include "net/stream_run.h"
#include "net/transport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct quic_connection; // one connection's QUIC and TLS state
struct quic_events;     // what ngtcp2 and GnuTLS call back
struct quic_shared;     // what the connections share: TLS credentials,
                        // and what the last handshake left for the next

class quic_transport : public transport {
public:
  quic_transport(const ns_target *target, const engine_settings *settings,
                 const stream_options *options, stream_stats *stats);
  ~quic_transport() override;
  // Fails when the CA certificates cannot be read (stats->reason says).
  int start(probe_engine *e, poller *p) override;
  void send(int slot, probe_clock::time_point now) override;
  int timed_out(int slot, probe_clock::time_point now) override;
  int before_wait(probe_clock::time_point now, int wait_ms) override;
  void ready(int tag, int events, probe_clock::time_point now) override;
  void finish() override;

private:
  friend struct quic_events;
  // Where each slot's attempt went.
  struct wire {
    std::size_t conn;
    std::int64_t stream; // -1 while it waits for one
    unsigned generation;
  };

  quic_connection &conn(std::size_t ci);
  bool current(int slot, unsigned generation) const;
  const ns_address *address_at(int index) const;
  void begin_connect(std::size_t ci, probe_clock::time_point now);
  int start_tls(quic_connection &c);
  int start_quic(quic_connection &c, const ns_address *to,
                 probe_clock::time_point now);
  bool next_address(std::size_t ci, probe_clock::time_point now);
  void close_connection(std::size_t ci, bool say_goodbye);
  void setup_failed(std::size_t ci, int cause, const std::string &reason);
  void handshake_done(std::size_t ci);
  void connection_lost(std::size_t ci, probe_clock::time_point now, int cause,
                       const std::string &reason);
  void connection_error(std::size_t ci, int error, probe_clock::time_point now);
  void open_streams(std::size_t ci, probe_clock::time_point now);
  bool flush(std::size_t ci, probe_clock::time_point now);
  void take_reply(std::size_t ci, std::int64_t stream);
  void requeue_streams(std::size_t ci);

  const ns_target *target_;
  const engine_settings *settings_;
  const stream_options *options_;
  stream_stats *stats_;
  probe_engine *e_ = nullptr;
  poller *waiting_ = nullptr;
  std::unique_ptr<quic_shared> shared_;
  std::vector<std::unique_ptr<quic_connection>> conns_;
  std::vector<wire> wires_; // by slot
  std::size_t next_conn_ = 0;
  connection_policy policy_;
  std::string address_text_; // to check a certificate without a name
};

#endif
