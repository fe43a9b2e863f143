// The TLS layer: a handshake after each TCP connect, then reads and writes
// through OpenSSL on the same non-blocking socket.
#include "net/tls_transport.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace {

// Why a handshake failed, in a few words.
std::string tls_reason(SSL *ssl, int error) {
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK)
    return X509_verify_cert_error_string(verify);
  const unsigned long queued_error = ERR_get_error();
  ERR_clear_error();
  if (queued_error != 0) {
    const char *reason = ERR_reason_error_string(queued_error);
    return reason ? reason : "handshake failed";
  }
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN)
    return "the server closed the connection during the handshake";
  return "handshake failed";
}

} // namespace

tls_transport::~tls_transport() {
  if (session_)
    SSL_SESSION_free(session_);
  if (ctx_)
    SSL_CTX_free(ctx_);
}

// The TLS context of a run: TLS 1.2 or later, the certificate checked
// against the system's CAs or the given file (unless told not to), and
// sessions kept for resumption.
int tls_transport::start(stream_pool *pool, poller *p) {
  tcp_transport::start(pool, p);
  ssl_.assign(pool->size(), nullptr);
  const stream_options *options = pool->options();
  ctx_ = SSL_CTX_new(TLS_client_method());
  stream_stats *stats = pool->stats();
  stats->failure = PROBE_ERROR_TLS; // until it has started
  if (!ctx_) {
    stats->reason = "TLS could not start";
    return -1;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (options->insecure) {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    const int loaded =
        options->ca_file
            ? SSL_CTX_load_verify_locations(ctx_, options->ca_file, nullptr)
            : SSL_CTX_set_default_verify_paths(ctx_);
    if (loaded != 1) {
      stats->reason = unreadable_ca(options);
      return -1;
    }
  }
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT |
                                           SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx_, keep_session);
  offer_protocols(ctx_);
  stats->failure = PROBE_ERROR_NONE;
  return 0;
}

void tls_transport::offer_protocols(SSL_CTX *) {}

// Keeps the newest session the server gives, for the next connection.
int tls_transport::keep_session(SSL *ssl, SSL_SESSION *session) {
  tls_transport *t = static_cast<tls_transport *>(SSL_get_app_data(ssl));
  if (t->session_)
    SSL_SESSION_free(t->session_);
  t->session_ = session;
  return 1; // the transport holds it now
}

void tls_transport::connected(std::size_t ci, probe_clock::time_point now) {
  SSL *ssl = SSL_new(ctx_);
  ssl_[ci] = ssl;
  if (!ssl || SSL_set_fd(ssl, static_cast<int>(streams_[ci].sock)) != 1) {
    pool_->setup_failed(ci, PROBE_ERROR_TLS, "TLS could not start");
    return;
  }
  SSL_set_app_data(ssl, this);
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE |
                        SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const char *host = pool_->target()->host;
  if (host[0] != '\0') {
    SSL_set_tlsext_host_name(ssl, host);
    SSL_set1_host(ssl, host);
  } else {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl),
                                  pool_->address_text().c_str());
  }
  if (session_)
    SSL_set_session(ssl, session_);
  pool_->at(ci).state = CONN_HANDSHAKE;
  handshake(ci, now);
}

void tls_transport::handshake(std::size_t ci, probe_clock::time_point now) {
  SSL *ssl = ssl_[ci];
  ERR_clear_error();
  const int r = SSL_connect(ssl);
  if (r == 1) {
    opened(ci, now);
    return;
  }
  const int error = SSL_get_error(ssl, r);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    streams_[ci].wants_write = error == SSL_ERROR_WANT_WRITE;
    return;
  }
  pool_->setup_failed(ci, PROBE_ERROR_TLS, tls_reason(ssl, error));
}

int tls_transport::open_session(std::size_t ci, std::string *) {
  if (SSL_session_reused(ssl_[ci]))
    ++pool_->stats()->resumed;
  return PROBE_ERROR_NONE;
}

void tls_transport::close_session(std::size_t ci) {
  SSL *ssl = ssl_[ci];
  if (!ssl)
    return;
  // A connection that was open ends as agreed, whoever closed it: freed
  // otherwise, its session would be marked unfit for resumption.
  if (pool_->at(ci).state == CONN_OPEN)
    SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  SSL_free(ssl);
  ssl_[ci] = nullptr;
}

long tls_transport::write_bytes(std::size_t ci, const char *bytes,
                                std::size_t length) {
  SSL *ssl = ssl_[ci];
  const int r = SSL_write(
      ssl, bytes, static_cast<int>(std::min<std::size_t>(length, 1 << 20)));
  if (r > 0)
    return r;
  const int error = SSL_get_error(ssl, r);
  if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
    streams_[ci].wants_write = error == SSL_ERROR_WANT_WRITE;
    return 0;
  }
  return -1;
}

long tls_transport::read_bytes(std::size_t ci, unsigned char *buffer,
                               std::size_t capacity) {
  SSL *ssl = ssl_[ci];
  ERR_clear_error();
  const int r = SSL_read(ssl, buffer, static_cast<int>(capacity));
  if (r > 0)
    return r;
  const int error = SSL_get_error(ssl, r);
  streams_[ci].wants_write = error == SSL_ERROR_WANT_WRITE;
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}
