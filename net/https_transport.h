// DNS over HTTPS: each query a stream of an HTTP/2 connection (nghttp2)
// over the TLS transport's connections, by POST or by GET; the stream
// says whose reply it is.
#ifndef NET_HTTPS_TRANSPORT_H
#define NET_HTTPS_TRANSPORT_H

#include "net/tls_transport.h"

#include <nghttp2/nghttp2.h>

#include <unordered_map>

class https_transport : public tls_transport {
public:
  int start(stream_pool *pool, poller *p) override;

protected:
  void offer_protocols(SSL_CTX *ctx) override;
  int open_session(std::size_t ci, std::string *reason) override;
  void close_session(std::size_t ci) override;
  bool put_query(std::size_t ci, const attempt_ref &ref) override;
  void queries_put(std::size_t ci) override;
  bool take_bytes(std::size_t ci, const unsigned char *bytes,
                  long length) override;
  bool read_done(std::size_t ci, bool lost) override;
  bool takes_queries(std::size_t ci) override;

private:
  // One query of one probe.
  struct h2_stream {
    attempt_ref ref;
    int status;
    std::string request; // the body of a POST
    std::size_t sent;
    std::string reply;
  };
  // A connection's HTTP/2 session; nghttp2 keeps its address.
  struct h2_session {
    https_transport *owner;
    std::size_t ci;
    nghttp2_session *session;
    std::unordered_map<std::int32_t, h2_stream> streams;
  };

  void pump(std::size_t ci);
  static ssize_t read_request(nghttp2_session *, std::int32_t stream_id,
                              std::uint8_t *buffer, std::size_t length,
                              std::uint32_t *flags, nghttp2_data_source *,
                              void *user);
  static int on_header(nghttp2_session *, const nghttp2_frame *frame,
                       const std::uint8_t *name, std::size_t name_length,
                       const std::uint8_t *value, std::size_t value_length,
                       std::uint8_t, void *user);
  static int on_data(nghttp2_session *, std::uint8_t, std::int32_t stream_id,
                     const std::uint8_t *data, std::size_t length, void *user);
  static int on_stream_close(nghttp2_session *, std::int32_t stream_id,
                             std::uint32_t, void *user);

  std::deque<h2_session> h2_; // by connection
  std::string authority_;
  // By slot: the probe whose queries the server refused, and how often.
  std::unordered_map<int, std::pair<std::size_t, int>> refused_;
};

#endif
