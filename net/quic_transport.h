// DNS over QUIC (RFC 9250), as the pool's adapter: each connection a
// QUIC connection (ngtcp2 with GnuTLS, ALPN "doq", TLS 1.3), each query
// on a bidirectional stream of its own with Message ID 0, the reply
// matched by its stream. Queries beyond the streams the server allows
// wait for its credit. A connection opened again resumes the TLS session
// and sends its first queries as 0-RTT data where the server takes it
// (DNS queries are safe to replay). The libraries' set-up is in
// quic_glue.h, what their errors mean in quic_errors.h.
#ifndef NET_QUIC_TRANSPORT_H
#define NET_QUIC_TRANSPORT_H

#include "net/quic_glue.h"
#include "net/stream_pool.h"

#include <cstdint>
#include <memory>
#include <vector>

struct quic_connection; // one connection's link and streams
struct quic_events;     // what ngtcp2 calls back

class quic_transport : public stream_adapter {
public:
  quic_transport();
  ~quic_transport() override;
  // Fails when the CA certificates cannot be read (stats->reason says).
  int start(stream_pool *pool, poller *p) override;
  int connect(std::size_t ci, const ns_address *to, probe_clock::time_point now,
              std::string *reason) override;
  void queued(std::size_t ci, probe_clock::time_point now) override;
  void ready(std::size_t ci, int events, probe_clock::time_point now) override;
  int before_wait(std::size_t ci, probe_clock::time_point now,
                  int wait_ms) override;
  void close(std::size_t ci, bool goodbye) override;
  void timed_out(std::size_t ci, int slot) override;

private:
  friend struct quic_events;

  quic_connection &conn(std::size_t ci);
  void release(quic_connection &c);
  void handshake_done(std::size_t ci);
  void forget_streams(std::size_t ci);
  void cancel_ended(quic_connection &c);
  void connection_error(std::size_t ci, int error, probe_clock::time_point now);
  void open_streams(std::size_t ci, probe_clock::time_point now);
  bool flush(std::size_t ci, probe_clock::time_point now);
  void take_reply(std::size_t ci, std::int64_t stream);

  stream_pool *pool_ = nullptr;
  probe_engine *e_ = nullptr;
  poller *waiting_ = nullptr;
  quic_shared shared_;
  std::vector<unsigned char> datagram_;
  std::vector<std::unique_ptr<quic_connection>> conns_;
  std::vector<std::int64_t> stream_of_; // by slot: its attempt's stream
};

#endif
