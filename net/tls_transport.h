// DNS over TLS: OpenSSL over the TCP transport's connections, TLS 1.2 or
// later, the certificate checked against the name (or the address) given,
// and sessions resumed on the connections that follow.
#ifndef NET_TLS_TRANSPORT_H
#define NET_TLS_TRANSPORT_H

#include "net/tcp_transport.h"

#include <openssl/ssl.h>

class tls_transport : public tcp_transport {
public:
  ~tls_transport() override;
  // Fails when the CA certificates cannot be read (stats->reason says).
  int start(stream_pool *pool, poller *p) override;

protected:
  void connected(std::size_t ci, probe_clock::time_point now) override;
  void handshake(std::size_t ci, probe_clock::time_point now) override;
  long write_bytes(std::size_t ci, const char *bytes,
                   std::size_t length) override;
  long read_bytes(std::size_t ci, unsigned char *buffer,
                  std::size_t capacity) override;
  int open_session(std::size_t ci, std::string *reason) override;
  void close_session(std::size_t ci) override;
  // The protocols offered in the handshake (ALPN); none by default.
  virtual void offer_protocols(SSL_CTX *ctx);

  std::vector<SSL *> ssl_; // by connection

private:
  static int keep_session(SSL *ssl, SSL_SESSION *session);

  SSL_CTX *ctx_ = nullptr;
  SSL_SESSION *session_ = nullptr; // the last one the server gave
};

#endif
