// DNS over TCP, as the pool's adapter: each connection a socket, the
// attempts pipelined on it, the replies in length frames matched out of
// order by ID and question. TLS (tls_transport.h) and HTTPS
// (https_transport.h) are layers over its bytes, through the hooks below.
#ifndef NET_TCP_TRANSPORT_H
#define NET_TCP_TRANSPORT_H

#include "net/stream_pool.h"

#include <string>
#include <vector>

class tcp_transport : public stream_adapter {
public:
  int start(stream_pool *pool, poller *p) override;
  int connect(std::size_t ci, const ns_address *to, probe_clock::time_point now,
              std::string *reason) override;
  void queued(std::size_t ci, probe_clock::time_point now) override;
  void ready(std::size_t ci, int events, probe_clock::time_point now) override;
  int before_wait(std::size_t ci, probe_clock::time_point now,
                  int wait_ms) override;
  void close(std::size_t ci, bool goodbye) override;

protected:
  // A connection's bytes.
  struct byte_stream {
    sock_t sock = -1;
    bool wants_write = false; // the layer above must write before going on
    std::string out;          // bytes still to write (before TLS)
    std::string in;           // bytes read, not yet a whole message
    // Something came that is no DNS framing: the stream is broken.
    bool junk = false;
    int watched = 0; // the POLL_ events its socket is watched for; 0: none
  };

  // What the layers above change. The TCP connect succeeded: TCP's
  // connection is open; TLS begins its handshake.
  virtual void connected(std::size_t ci, probe_clock::time_point now);
  // A handshake under way can go on.
  virtual void handshake(std::size_t ci, probe_clock::time_point now);
  // Bytes to and from the connection: how many, 0 when it must wait, -1
  // when it is lost.
  virtual long write_bytes(std::size_t ci, const char *bytes,
                           std::size_t length);
  virtual long read_bytes(std::size_t ci, unsigned char *buffer,
                          std::size_t capacity);
  // What runs on the connection once open: 0, or a cause (PROBE_ERROR_)
  // with its reason.
  virtual int open_session(std::size_t ci, std::string *reason);
  virtual void close_session(std::size_t ci);
  // The attempt's query joins the connection's output; false when refused
  // (the attempt times out).
  virtual bool put_query(std::size_t ci, const attempt_ref &ref);
  // After the queued queries were put.
  virtual void queries_put(std::size_t ci);
  // Bytes read; false when they are not what the stream carries.
  virtual bool take_bytes(std::size_t ci, const unsigned char *bytes,
                          long length);
  // All that could be read was read (`lost`: the stream ended); false
  // when the connection is to be given up.
  virtual bool read_done(std::size_t ci, bool lost);

  // For the layers.
  void opened(std::size_t ci, probe_clock::time_point now);
  bool write_out(std::size_t ci, probe_clock::time_point now);

  stream_pool *pool_ = nullptr;
  probe_engine *e_ = nullptr;
  std::vector<byte_stream> streams_; // by connection

private:
  void connection_lost(std::size_t ci, probe_clock::time_point now);
  void read_connection(std::size_t ci, probe_clock::time_point now);
  void watch(std::size_t ci);
  struct frame_reader;
  static void take_frame(const unsigned char *message, long length,
                         void *context);

  poller *waiting_ = nullptr;
};

#endif
