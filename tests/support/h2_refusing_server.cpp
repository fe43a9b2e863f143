// The refusing DoH double: a listener thread, and a thread a connection
// that drives a blocking TLS stream through an nghttp2 server session.
#include "tests/support/h2_refusing_server.h"

#include "net/dns_message.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct h2_refusing_server {
  int listener = -1;
  int answers_per_connection = 0;
  SSL_CTX *ctx = nullptr;
  std::atomic<bool> stop{false};
  std::thread accepting;
  std::mutex lock; // guards what follows
  std::vector<std::thread> connections;
  std::set<std::string> seen; // questions whose first stream was refused
  h2_refusing_counts counts{};
};

namespace {

struct connection {
  h2_refusing_server *server;
  nghttp2_session *session = nullptr;
  std::map<std::int32_t, std::string> bodies;  // requests, by stream
  std::map<std::int32_t, std::string> replies; // what is being sent back
  int answered = 0;
  std::int32_t last = -1; // the GOAWAY's last stream; -1 before it
};

int select_h2(SSL *, const unsigned char **out, unsigned char *out_length,
              const unsigned char *in, unsigned in_length, void *) {
  static const unsigned char H2[] = {2, 'h', '2'};
  unsigned char *chosen = nullptr;
  if (SSL_select_next_proto(&chosen, out_length, H2, sizeof H2, in,
                            in_length) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// A key and a certificate of its own: nothing checks them.
SSL_CTX *make_context(void) {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char *>("dns.test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(ctx, cert);
  SSL_CTX_use_PrivateKey(ctx, key);
  SSL_CTX_set_alpn_select_cb(ctx, select_h2, nullptr);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

ssize_t read_reply(nghttp2_session *, std::int32_t stream_id,
                   std::uint8_t *buffer, std::size_t length,
                   std::uint32_t *flags, nghttp2_data_source *, void *user) {
  connection *c = static_cast<connection *>(user);
  std::string &reply = c->replies[stream_id];
  const std::size_t n = std::min(length, reply.size());
  std::memcpy(buffer, reply.data(), n);
  reply.erase(0, n);
  if (reply.empty())
    *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

// A whole request: refused the first time its question comes, else
// answered with the query turned into a reply that counts one answer.
void take_request(connection *c, std::int32_t stream_id) {
  if (c->last >= 0 && stream_id > c->last)
    return; // beyond the GOAWAY: the client sends it again elsewhere
  const std::string query = c->bodies[stream_id];
  if (query.size() < DNS_HEADER_SIZE)
    return;
  h2_refusing_server *s = c->server;
  bool first;
  {
    std::lock_guard<std::mutex> hold(s->lock);
    ++s->counts.streams;
    first = s->seen.insert(query.substr(2)).second;
    ++(first ? s->counts.refused : s->counts.answered);
  }
  if (first) {
    nghttp2_submit_rst_stream(c->session, NGHTTP2_FLAG_NONE, stream_id,
                              NGHTTP2_REFUSED_STREAM);
    return;
  }
  std::string reply = query;
  reply[DNS_FLAGS_OFFSET] = static_cast<char>(reply[DNS_FLAGS_OFFSET] | 0x80);
  reply[DNS_ANCOUNT_OFFSET + 1] = 1;
  c->replies[stream_id] = reply;
  const std::string size = std::to_string(reply.size());
  nghttp2_nv headers[] = {
      {const_cast<std::uint8_t *>(
           reinterpret_cast<const std::uint8_t *>(":status")),
       const_cast<std::uint8_t *>(
           reinterpret_cast<const std::uint8_t *>("200")),
       7, 3, NGHTTP2_NV_FLAG_NONE},
      {const_cast<std::uint8_t *>(
           reinterpret_cast<const std::uint8_t *>("content-type")),
       const_cast<std::uint8_t *>(
           reinterpret_cast<const std::uint8_t *>("application/dns-message")),
       12, 23, NGHTTP2_NV_FLAG_NONE},
  };
  nghttp2_data_provider body;
  body.source.ptr = nullptr;
  body.read_callback = read_reply;
  nghttp2_submit_response(c->session, stream_id, headers, 2, &body);
  if (++c->answered == s->answers_per_connection) {
    c->last = stream_id;
    nghttp2_submit_goaway(c->session, NGHTTP2_FLAG_NONE, stream_id,
                          NGHTTP2_NO_ERROR, nullptr, 0);
    std::lock_guard<std::mutex> hold(s->lock);
    ++s->counts.goaways;
  }
}

int on_frame(nghttp2_session *, const nghttp2_frame *frame, void *user) {
  if ((frame->hd.type == NGHTTP2_DATA || frame->hd.type == NGHTTP2_HEADERS) &&
      (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0)
    take_request(static_cast<connection *>(user), frame->hd.stream_id);
  return 0;
}

int on_data(nghttp2_session *, std::uint8_t, std::int32_t stream_id,
            const std::uint8_t *data, std::size_t length, void *user) {
  static_cast<connection *>(user)->bodies[stream_id].append(
      reinterpret_cast<const char *>(data), length);
  return 0;
}

void serve_connection(h2_refusing_server *s, int fd) {
  // Bounded: a client that goes silent ends the connection.
  timeval most{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &most, sizeof most);
  SSL *ssl = SSL_new(s->ctx);
  SSL_set_fd(ssl, fd);
  connection c;
  c.server = s;
  nghttp2_session_callbacks *callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, on_frame);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
  nghttp2_session_server_new(&c.session, callbacks, &c);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_submit_settings(c.session, NGHTTP2_FLAG_NONE, nullptr, 0);
  if (SSL_accept(ssl) == 1) {
    for (;;) {
      const std::uint8_t *out = nullptr;
      ssize_t n;
      while ((n = nghttp2_session_mem_send(c.session, &out)) > 0)
        SSL_write(ssl, out, static_cast<int>(n));
      if (!nghttp2_session_want_read(c.session) &&
          !nghttp2_session_want_write(c.session))
        break;
      unsigned char in[16384];
      const int got = SSL_read(ssl, in, sizeof in);
      if (got <= 0 || nghttp2_session_mem_recv(
                          c.session, in, static_cast<std::size_t>(got)) < 0)
        break;
    }
  }
  nghttp2_session_del(c.session);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  // Closed with unread bytes, a socket resets the connection, and the
  // client may lose the last replies: what it still sends is read first.
  shutdown(fd, SHUT_WR);
  char rest[4096];
  while (recv(fd, rest, sizeof rest, 0) > 0) {
  }
  close(fd);
}

void accept_loop(h2_refusing_server *s) {
  while (!s->stop.load()) {
    pollfd p{s->listener, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    const int fd = accept(s->listener, nullptr, nullptr);
    if (fd < 0)
      continue;
    std::lock_guard<std::mutex> hold(s->lock);
    ++s->counts.connections;
    s->connections.emplace_back(serve_connection, s, fd);
  }
}

} // namespace

h2_refusing_server *h2_refusing_start(const char *ip,
                                      int answers_per_connection) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(443);
  if (inet_pton(AF_INET, ip, &a.sin_addr) != 1)
    return nullptr;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      listen(fd, 16) != 0) {
    if (fd >= 0)
      close(fd);
    return nullptr;
  }
  h2_refusing_server *s = new h2_refusing_server;
  s->listener = fd;
  s->answers_per_connection = answers_per_connection;
  s->ctx = make_context();
  s->accepting = std::thread(accept_loop, s);
  return s;
}

h2_refusing_counts h2_refusing_stop(h2_refusing_server *s) {
  s->stop.store(true);
  s->accepting.join();
  for (std::thread &t : s->connections)
    t.join();
  close(s->listener);
  SSL_CTX_free(s->ctx);
  const h2_refusing_counts counts = s->counts;
  delete s;
  return counts;
}
