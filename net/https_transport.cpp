// The HTTPS layer: an HTTP/2 session on each open TLS connection, its
// frames in the connection's bytes instead of length frames.
#include "net/https_transport.h"

#include <algorithm>
#include <cstring>

namespace {

enum {
  HTTP_OK = 200,
  // A query's streams that a server may refuse before its attempt ends.
  MAX_REFUSALS = 4,
};

std::string base64url(const unsigned char *bytes, int length) {
  static const char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  unsigned bits = 0;
  int held = 0;
  for (int i = 0; i < length; ++i) {
    bits = bits << 8 | bytes[i];
    held += 8;
    while (held >= 6) {
      held -= 6;
      text += digits[(bits >> held) & 63];
    }
  }
  if (held > 0)
    text += digits[(bits << (6 - held)) & 63];
  return text; // RFC 8484 4.1: no padding
}

nghttp2_nv header(const char *name, const std::string &value) {
  nghttp2_nv nv;
  nv.name = reinterpret_cast<std::uint8_t *>(const_cast<char *>(name));
  nv.namelen = std::strlen(name);
  nv.value = reinterpret_cast<std::uint8_t *>(const_cast<char *>(value.data()));
  nv.valuelen = value.size();
  nv.flags = NGHTTP2_NV_FLAG_NONE;
  return nv;
}

} // namespace

int https_transport::start(stream_pool *pool, poller *p) {
  if (tls_transport::start(pool, p) != 0)
    return -1;
  h2_.clear();
  for (std::size_t i = 0; i < pool->size(); ++i)
    h2_.push_back(h2_session{this, i, nullptr, {}});
  const ns_target *target = pool->target();
  // The authority names the port only when it is not HTTPS's own.
  authority_ =
      target->host[0] != '\0' ? target->host : pool->address_text().c_str();
  if (target->address.sa.ss_family == AF_INET6 && target->host[0] == '\0')
    authority_ = "[" + authority_ + "]";
  if (ns_port(&target->address) != transport_port(NS_HTTPS))
    authority_ += ":" + std::to_string(ns_port(&target->address));
  return 0;
}

void https_transport::offer_protocols(SSL_CTX *ctx) {
  static const unsigned char h2[] = {2, 'h', '2'};
  SSL_CTX_set_alpn_protos(ctx, h2, sizeof h2);
}

int https_transport::open_session(std::size_t ci, std::string *reason) {
  const unsigned char *alpn = nullptr;
  unsigned alpn_length = 0;
  SSL_get0_alpn_selected(ssl_[ci], &alpn, &alpn_length);
  if (alpn_length != 2 || std::memcmp(alpn, "h2", 2) != 0) {
    *reason = "the server does not speak HTTP/2";
    return PROBE_ERROR_HTTP;
  }
  nghttp2_session_callbacks *callbacks = nullptr;
  *reason = "HTTP/2 could not start";
  if (nghttp2_session_callbacks_new(&callbacks) != 0)
    return PROBE_ERROR_HTTP;
  nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks,
                                                         on_stream_close);
  h2_session &h = h2_[ci];
  const int r = nghttp2_session_client_new(&h.session, callbacks, &h);
  nghttp2_session_callbacks_del(callbacks);
  if (r != 0)
    return PROBE_ERROR_HTTP;
  const nghttp2_settings_entry entries[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, ENGINE_MAX_CONCURRENCY}};
  if (nghttp2_submit_settings(h.session, NGHTTP2_FLAG_NONE, entries, 1) != 0)
    return PROBE_ERROR_HTTP;
  reason->clear();
  return tls_transport::open_session(ci, reason);
}

void https_transport::close_session(std::size_t ci) {
  h2_session &h = h2_[ci];
  if (h.session)
    nghttp2_session_del(h.session);
  h.session = nullptr;
  h.streams.clear();
  tls_transport::close_session(ci);
}

// What nghttp2 has to send joins the output.
void https_transport::pump(std::size_t ci) {
  for (;;) {
    const std::uint8_t *data = nullptr;
    const ssize_t n = nghttp2_session_mem_send(h2_[ci].session, &data);
    if (n <= 0)
      return;
    streams_[ci].out.append(reinterpret_cast<const char *>(data),
                            static_cast<std::size_t>(n));
  }
}

ssize_t https_transport::read_request(nghttp2_session *, std::int32_t stream_id,
                                      std::uint8_t *buffer, std::size_t length,
                                      std::uint32_t *flags,
                                      nghttp2_data_source *, void *user) {
  h2_session *h = static_cast<h2_session *>(user);
  auto found = h->streams.find(stream_id);
  if (found == h->streams.end()) {
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return 0;
  }
  h2_stream &st = found->second;
  const std::size_t n = std::min(length, st.request.size() - st.sent);
  std::memcpy(buffer, st.request.data() + st.sent, n);
  st.sent += n;
  if (st.sent == st.request.size())
    *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

// One query as an HTTP/2 request.
bool https_transport::put_query(std::size_t ci, const attempt_ref &ref) {
  const probe_slot &s = engine_slot(e_, ref.slot);
  const bool get = pool_->options()->doh_get;
  const char *target_path = pool_->target()->path;
  const std::string path = get ? std::string(target_path) + "?dns=" +
                                     base64url(s.query, s.query_length)
                               : std::string(target_path);
  const std::string method = get ? "GET" : "POST";
  const std::string scheme = "https";
  const std::string type = "application/dns-message";
  const std::string size = std::to_string(s.query_length);
  std::vector<nghttp2_nv> headers = {
      header(":method", method), header(":scheme", scheme),
      header(":authority", authority_), header(":path", path),
      header("accept", type)};
  if (!get) {
    headers.push_back(header("content-type", type));
    headers.push_back(header("content-length", size));
  }
  nghttp2_data_provider body;
  body.source.ptr = nullptr;
  body.read_callback = read_request;
  h2_session &h = h2_[ci];
  const std::int32_t id =
      nghttp2_submit_request(h.session, nullptr, headers.data(), headers.size(),
                             get ? nullptr : &body, nullptr);
  if (id < 0)
    return false;
  h2_stream &st = h.streams[id];
  st = h2_stream{ref, 0, std::string(), 0, std::string()};
  if (!get)
    st.request.assign(reinterpret_cast<const char *>(s.query),
                      static_cast<std::size_t>(s.query_length));
  // Its headers and body leave together, before the next request's: some
  // servers refuse a new stream while an earlier one's body is missing.
  pump(ci);
  return true;
}

void https_transport::queries_put(std::size_t ci) {
  pump(ci);
}

int https_transport::on_header(nghttp2_session *, const nghttp2_frame *frame,
                               const std::uint8_t *name,
                               std::size_t name_length,
                               const std::uint8_t *value,
                               std::size_t value_length, std::uint8_t,
                               void *user) {
  h2_session *h = static_cast<h2_session *>(user);
  auto found = h->streams.find(frame->hd.stream_id);
  if (found != h->streams.end() && name_length == 7 &&
      std::memcmp(name, ":status", 7) == 0)
    found->second.status = std::atoi(
        std::string(reinterpret_cast<const char *>(value), value_length)
            .c_str());
  return 0;
}

int https_transport::on_data(nghttp2_session *, std::uint8_t,
                             std::int32_t stream_id, const std::uint8_t *data,
                             std::size_t length, void *user) {
  h2_session *h = static_cast<h2_session *>(user);
  auto found = h->streams.find(stream_id);
  // A DNS message is at most 65535 bytes; a longer body is no message.
  if (found != h->streams.end() && found->second.reply.size() < 65536)
    found->second.reply.append(reinterpret_cast<const char *>(data), length);
  return 0;
}

int https_transport::on_stream_close(nghttp2_session *, std::int32_t stream_id,
                                     std::uint32_t error_code, void *user) {
  h2_session *h = static_cast<h2_session *>(user);
  auto found = h->streams.find(stream_id);
  if (found == h->streams.end())
    return 0;
  const h2_stream st = found->second;
  h->streams.erase(found);
  https_transport *t = h->owner;
  if (st.status == HTTP_OK) {
    if (engine_reply_to(
            t->e_, st.ref,
            reinterpret_cast<const unsigned char *>(st.reply.data()),
            static_cast<long>(st.reply.size()), REPLY_BY_STREAM))
      t->pool_->answered(h->ci);
    return 0;
  }
  if (!engine_current(t->e_, st.ref))
    return 0; // decided meanwhile, or a later attempt is under way
  const int slot = st.ref.slot;
  if (st.status == 0 && error_code == NGHTTP2_REFUSED_STREAM) {
    // Refused before it was processed (RST_STREAM, or above a GOAWAY's
    // last stream; RFC 9113 8.7): safe to send again, and at once.
    auto &refused = t->refused_[slot];
    if (refused.first != st.ref.probe)
      refused = std::make_pair(st.ref.probe, 0);
    if (++refused.second <= MAX_REFUSALS) {
      t->pool_->send_again(h->ci, slot);
      return 0;
    }
    t->pool_->stats()->closed_with = "the server refused a query's stream " +
                                     std::to_string(refused.second) +
                                     " times (REFUSED_STREAM)";
    engine_end_attempt(t->e_, slot, PROBE_ERROR_HTTP, false);
    return 0;
  }
  if (st.status == 0)
    return 0; // reset without an answer: the attempt times out
  t->pool_->stats()->http_status = st.status;
  engine_end_attempt(t->e_, slot, PROBE_ERROR_HTTP, false);
  return 0;
}

// What nghttp2 cannot take is no HTTP/2 (an HTTP/1.1 error page).
bool https_transport::take_bytes(std::size_t ci, const unsigned char *bytes,
                                 long length) {
  return nghttp2_session_mem_recv(h2_[ci].session, bytes,
                                  static_cast<std::size_t>(length)) >= 0;
}

bool https_transport::takes_queries(std::size_t ci) {
  return h2_[ci].session &&
         nghttp2_session_check_request_allowed(h2_[ci].session) != 0;
}

bool https_transport::read_done(std::size_t ci, bool lost) {
  if (lost)
    return false;
  pump(ci);
  // The server said goodbye (GOAWAY) and has nothing more to send.
  nghttp2_session *session = h2_[ci].session;
  return nghttp2_session_want_read(session) ||
         nghttp2_session_want_write(session) || !streams_[ci].out.empty();
}
