// DNS over TCP: a few connections to the nameserver, the attempts given to
// them in turn, pipelined, the replies in length frames matched out of
// order by ID and question. A connection is set up when a query waits for
// it, at the name's next address while none has been set up; one lost is
// opened again with what it left unanswered. TLS (tls_transport.h) and
// HTTPS (https_transport.h) are layers over these connections.
#ifndef NET_TCP_TRANSPORT_H
#define NET_TCP_TRANSPORT_H

#include "net/connection_policy.h"
#include "net/stream_run.h"
#include "net/transport.h"

#include <deque>
#include <string>
#include <vector>

enum {
  CONN_CLOSED,
  CONN_CONNECTING,
  CONN_HANDSHAKE, // TLS
  CONN_OPEN,
};

// An attempt waiting for its connection to open.
struct queued_attempt {
  int slot;
  unsigned generation;
  bool again; // sent before, on a connection since lost: not a new attempt
};

struct stream_connection {
  sock_t sock = -1;
  int state = CONN_CLOSED;
  bool wants_write = false; // the layer above must write before going on
  std::string out;          // bytes still to write (before TLS)
  std::string in;           // bytes read, not yet a whole message
  std::deque<queued_attempt> queue;
  probe_clock::time_point setup_start;
  bool was_open = false;
  int address_index = 0; // of the target's addresses, the one it went to
  // Since it opened: a reply answered a query of ours. Only then are the
  // queries it leaves unanswered sent again as the same attempts.
  bool productive = false;
  // Something came that is no DNS framing: the stream is broken.
  bool junk = false;
  probe_clock::time_point not_before; // no reconnection before this
  int watched = 0; // the POLL_ events its socket is watched for; 0: none
};

class tcp_transport : public transport {
public:
  tcp_transport(const ns_target *target, const engine_settings *settings,
                const stream_options *options, stream_stats *stats);
  int start(probe_engine *e, poller *p) override;
  void send(int slot, probe_clock::time_point now) override;
  int timed_out(int slot, probe_clock::time_point now) override;
  int before_wait(probe_clock::time_point now, int wait_ms) override;
  void ready(int tag, int events, probe_clock::time_point now) override;
  void finish() override;

protected:
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
  // The slot's query joins the connection's output; false when refused
  // (the attempt times out).
  virtual bool put_query(std::size_t ci, int slot);
  // After the queued queries were put.
  virtual void queries_put(std::size_t ci);
  // Bytes read; false when they are not what the stream carries.
  virtual bool take_bytes(std::size_t ci, const unsigned char *bytes,
                          long length);
  // All that could be read was read (`lost`: the stream ended); false
  // when the connection is to be given up.
  virtual bool read_done(std::size_t ci, bool lost);

  // For the layers.
  const ns_address *address_at(int index) const;
  void opened(std::size_t ci, probe_clock::time_point now);
  void setup_failed(std::size_t ci, int cause, const std::string &reason);
  // A reply to a query of ours came on the connection: the server speaks
  // DNS.
  void answered_on(std::size_t ci);
  // The server refused the slot's query before processing it: it goes
  // again as the same attempt, once the loop comes round, on its
  // connection while that takes queries, else on another (or on this one
  // opened again).
  void send_again(std::size_t ci, int slot);
  // The connection may be given new queries (an HTTP/2 session that the
  // server is closing may not).
  virtual bool takes_queries(std::size_t ci);
  bool write_out(std::size_t ci, probe_clock::time_point now);

  const ns_target *target_;
  const engine_settings *settings_;
  const stream_options *options_;
  stream_stats *stats_;
  probe_engine *e_ = nullptr;
  std::deque<stream_connection> conns_;

private:
  // Where each slot's attempt went.
  struct wire {
    std::size_t conn;
    unsigned generation; // of the attempt written there, not yet answered
    bool on_wire;
  };

  bool on_wire(std::size_t slot) const;
  void close_connection(std::size_t ci);
  bool next_address(std::size_t ci, probe_clock::time_point now);
  void begin_connect(std::size_t ci, probe_clock::time_point now);
  void connection_lost(std::size_t ci, probe_clock::time_point now);
  void flush_queue(std::size_t ci, probe_clock::time_point now);
  void read_connection(std::size_t ci, probe_clock::time_point now);
  void watch(std::size_t ci);
  struct frame_reader;
  static void take_frame(const unsigned char *message, long length,
                         void *context);

  poller *waiting_ = nullptr;
  std::vector<wire> wires_; // by slot
  std::size_t next_conn_ = 0;
  connection_policy policy_;
};

#endif
