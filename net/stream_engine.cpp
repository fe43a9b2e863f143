// The stream engine's loop: fill the free slots (as the rate allows), queue
// each attempt on a connection (round robin), set up what is needed (TCP,
// then TLS, then HTTP/2), write what is queued, read what comes back and
// decide, retry or time out as the datagram engine does.
#include "net/stream_engine.h"

#include "net/dns_message.h"
#include "net/poller.h"
#include "net/probe.h"
#include "net/schedule.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <unordered_map>

namespace {

enum {
  NO_SLOT = -1,
  ID_COUNT = 65536,
  // The longest wait, so that a stop is seen within it.
  MAX_WAIT_MS = 100,
  READ_CHUNK = 16384,
  HTTP_OK = 200,
  // The first pause before reconnecting to a server that closed without
  // answering; it doubles up to the attempt's timeout.
  BACKOFF_FIRST_MS = 4,
};

enum { CLOSED, CONNECTING, HANDSHAKE, OPEN };

struct slot {
  bool busy;
  std::size_t index;
  int tries;
  std::uint16_t ids[ENGINE_MAX_ATTEMPTS];
  int id_count;
  unsigned generation;
  probe_clock::time_point first_sent;
  bool sent_any;
  // The length prefix, then the query.
  unsigned char frame[LENGTH_PREFIX + QUERY_BUFFER_SIZE];
  int frame_length;
  int conn;     // the connection its attempt went to
  bool on_wire; // written there, not yet answered
  probe_result result;
};

struct queued {
  int slot;
  unsigned generation;
  bool again; // sent before, on a connection since lost: not a new attempt
};

// An HTTP/2 stream: one query of one probe.
struct h2_stream {
  int slot;
  std::size_t probe; // the job's index: a slot may hold another probe later
  int status;
  std::string request; // the body of a POST
  std::size_t sent;
  std::string reply;
};

struct engine;

struct connection {
  engine *owner;
  sock_t sock = -1;
  int state = CLOSED;
  SSL *ssl = nullptr;
  nghttp2_session *h2 = nullptr;
  std::unordered_map<std::int32_t, h2_stream> streams;
  bool tls_wants_write = false;
  std::string out; // bytes still to write (before TLS)
  std::string in;  // bytes read, not yet a whole message
  std::deque<queued> queue;
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

struct engine {
  const ns_target *target;
  const engine_settings *settings;
  const stream_options *options;
  const engine_job *job;
  stream_stats *stats;
  poller *waiting = nullptr;
  SSL_CTX *tls = nullptr;
  SSL_SESSION *session = nullptr; // the last one the server gave
  std::string address_text;       // to check a certificate without a name
  std::string authority;
  std::vector<slot> slots;
  std::vector<int> free_slots;
  std::deque<connection> conns;    // stable addresses: nghttp2 keeps one
  std::vector<std::int32_t> owner; // by ID, for the whole engine
  schedule sched;
  std::size_t next_name = 0;
  int busy = 0;
  std::size_t next_conn = 0;
  int failures_in_row = 0;
  bool given_up = false;
  int address_index = 0; // the address connections go to
  bool settled = false;  // a connection was set up there: it stays
  int backoff_ms = 0;    // the pause after the last fruitless connection
  std::mt19937 random;
};

const ns_address *address_at(const engine *e, int index) {
  return index == 0 ? &e->target->address : &e->target->fallback[index - 1];
}

bool over_tls(const engine *e) {
  return e->target->transport == NS_TLS || e->target->transport == NS_HTTPS;
}

bool over_http(const engine *e) {
  return e->target->transport == NS_HTTPS;
}

slot &slot_at(engine *e, int index) {
  return e->slots[static_cast<std::size_t>(index)];
}

void finish(engine *e, int index) {
  slot &s = slot_at(e, index);
  for (int i = 0; i < s.id_count; ++i)
    e->owner[s.ids[i]] = NO_SLOT;
  s.id_count = 0;
  s.busy = false;
  s.on_wire = false;
  ++s.generation;
  --e->busy;
  e->free_slots.push_back(index);
  e->job->done(s.index, &s.result, e->job->context);
}

// A reply that settles nothing ends the attempt; the next follows at once.
void end_attempt(engine *e, int index) {
  slot &s = slot_at(e, index);
  s.on_wire = false;
  ++s.generation;
  if (s.tries < e->settings->attempts)
    e->sched.retries.push_back(
        probe_timer{probe_clock::time_point(), index, s.generation});
  else
    finish(e, index);
}

// A reply for the slot's probe: decides it, or ends its attempt; true when
// it answered the query. Over TCP and TLS a reply for another question is
// not ours and is passed over; over HTTPS, where the stream says whose it
// is (`by_stream`), it ends the attempt as `format`, as a body that is no
// DNS message does.
bool take_reply(engine *e, int index, const unsigned char *reply, long n,
                bool by_stream) {
  slot &s = slot_at(e, index);
  const bool ours = n >= DNS_HEADER_SIZE &&
                    (same_question(s.frame + LENGTH_PREFIX,
                                   s.frame_length - LENGTH_PREFIX, reply, n) ||
                     error_without_question(n, reply));
  if (!ours && !by_stream)
    return false;
  if (!ours) {
    s.result.error = PROBE_ERROR_FORMAT;
    end_attempt(e, index);
    return false;
  }
  s.result.rcode = static_cast<std::int16_t>(reply_rcode(n, reply));
  s.result.error =
      reply_truncated(n, reply) ? PROBE_ERROR_TRUNCATED : PROBE_ERROR_RCODE;
  if (reply_decides(&s.result, classify_reply(n, reply), s.first_sent))
    finish(e, index);
  else
    end_attempt(e, index);
  return true;
}

// A reply to a query of ours came on `c`: the server speaks DNS.
void answered_on(engine *e, connection *c) {
  c->productive = true;
  e->backoff_ms = 0;
}

void close_connection(connection *c) {
  if (c->h2)
    nghttp2_session_del(c->h2);
  c->h2 = nullptr;
  c->streams.clear();
  if (c->ssl) {
    // A connection that was open ends as agreed, whoever closed it: freed
    // otherwise, its session would be marked unfit for resumption.
    if (c->state == OPEN)
      SSL_set_shutdown(c->ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(c->ssl);
  }
  c->ssl = nullptr;
  if (c->watched)
    poller_forget(c->owner->waiting, c->sock);
  c->watched = 0;
  sock_close(c->sock);
  c->sock = -1;
  c->state = CLOSED;
  c->tls_wants_write = false;
  c->out.clear();
  c->in.clear();
  c->productive = false;
  c->junk = false;
}

void begin_connect(engine *e, std::size_t ci, probe_clock::time_point now);

// A name looked up may have several addresses: until a connection has been
// set up at one, a connection that fails goes to the next.
bool next_address(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  if (e->settled || (c.address_index == e->address_index &&
                     e->address_index >= e->target->fallback_count))
    return false;
  if (c.address_index == e->address_index)
    ++e->address_index;
  close_connection(&c);
  begin_connect(e, ci, now);
  return true;
}

// Set-up failed: the probes waiting for it fail, and after as many failures
// in a row as a probe has attempts, so does every later one.
void setup_failed(engine *e, std::size_t ci, int cause,
                  const std::string &reason) {
  connection &c = e->conns[ci];
  if (cause == PROBE_ERROR_CONNECT && next_address(e, ci, probe_clock::now()))
    return;
  close_connection(&c);
  c.queue.clear();
  ++e->stats->setup_failures;
  e->stats->failure = cause;
  e->stats->reason = reason;
  if (++e->failures_in_row >= e->settings->attempts)
    e->given_up = true;
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    slot &s = e->slots[i];
    if (s.busy && s.conn == static_cast<int>(ci)) {
      s.result.error = static_cast<std::int16_t>(cause);
      finish(e, static_cast<int>(i));
    }
  }
}

void begin_connect(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  if (c.state != CLOSED || now < c.not_before)
    return; // under way, or backing off: the loop comes back for it
  int error = 0;
  c.address_index = e->address_index;
  c.sock = stream_connect(address_at(e, c.address_index), &error);
  if (c.sock == -1) {
    setup_failed(e, ci, PROBE_ERROR_CONNECT, sock_error_text(error));
    return;
  }
  c.state = CONNECTING;
  c.setup_start = now;
}

// A connection that was open is gone. When the server had answered on it
// (it closes idle or busy connections, as servers may), what it had not
// answered goes out again on a new one as the same attempts. Otherwise
// (it closed at once, or sent what is no DNS) those attempts end, as
// `connect` or `format`, and the next connection waits, longer each time:
// a server that closes every connection gets no more of them than the
// probes have attempts.
void connection_lost(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  const bool broken = c.junk || !c.in.empty(); // a message cut short
  const bool again_as_is = c.productive && !broken;
  close_connection(&c);
  std::deque<queued> again;
  for (std::size_t i = 0; i < e->slots.size(); ++i) {
    slot &s = e->slots[i];
    if (!s.busy || !s.on_wire || s.conn != static_cast<int>(ci))
      continue;
    s.on_wire = false;
    if (again_as_is) {
      again.push_back(queued{static_cast<int>(i), s.generation, true});
      continue;
    }
    if (s.result.error == PROBE_ERROR_NONE ||
        s.result.error == PROBE_ERROR_TIMEOUT)
      s.result.error = broken ? PROBE_ERROR_FORMAT : PROBE_ERROR_CONNECT;
    end_attempt(e, static_cast<int>(i));
  }
  if (!again_as_is) {
    const int timeout = std::max(1, e->settings->timeout_ms);
    e->backoff_ms = e->backoff_ms == 0
                        ? std::min<int>(BACKOFF_FIRST_MS, timeout)
                        : std::min(2 * e->backoff_ms, timeout);
    c.not_before = now + std::chrono::milliseconds(e->backoff_ms);
  }
  c.queue.insert(c.queue.begin(), again.begin(), again.end());
  if (!c.queue.empty())
    begin_connect(e, ci, now);
}

// Writes what waits, through TLS where there is TLS; false when the
// connection was lost.
bool write_out(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  c.tls_wants_write = false;
  while (!c.out.empty()) {
    long n = 0;
    if (c.ssl) {
      const int length =
          static_cast<int>(std::min<std::size_t>(c.out.size(), 1 << 20));
      const int r = SSL_write(c.ssl, c.out.data(), length);
      if (r <= 0) {
        const int error = SSL_get_error(c.ssl, r);
        if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
          c.tls_wants_write = error == SSL_ERROR_WANT_WRITE;
          return true;
        }
        connection_lost(e, ci, now);
        return false;
      }
      n = r;
    } else {
      n = stream_send(c.sock,
                      reinterpret_cast<const unsigned char *>(c.out.data()),
                      c.out.size());
      if (n == SOCK_WOULD_BLOCK)
        return true;
      if (n <= 0) {
        connection_lost(e, ci, now);
        return false;
      }
    }
    c.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

// What nghttp2 has to send joins the output.
void pump_h2(connection *c) {
  for (;;) {
    const std::uint8_t *data = nullptr;
    const ssize_t n = nghttp2_session_mem_send(c->h2, &data);
    if (n <= 0)
      return;
    c->out.append(reinterpret_cast<const char *>(data),
                  static_cast<std::size_t>(n));
  }
}

ssize_t read_request(nghttp2_session *, std::int32_t stream_id,
                     std::uint8_t *buffer, std::size_t length,
                     std::uint32_t *flags, nghttp2_data_source *, void *user) {
  connection *c = static_cast<connection *>(user);
  auto found = c->streams.find(stream_id);
  if (found == c->streams.end()) {
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

// One query as an HTTP/2 request; false when nghttp2 refused it.
bool submit_h2(engine *e, connection *c, int index) {
  slot &s = slot_at(e, index);
  const unsigned char *query = s.frame + LENGTH_PREFIX;
  const int length = s.frame_length - LENGTH_PREFIX;
  const bool get = e->options->doh_get;
  const std::string path =
      get ? std::string(e->target->path) + "?dns=" + base64url(query, length)
          : std::string(e->target->path);
  const std::string method = get ? "GET" : "POST";
  const std::string scheme = "https";
  const std::string type = "application/dns-message";
  const std::string size = std::to_string(length);
  std::vector<nghttp2_nv> headers = {
      header(":method", method), header(":scheme", scheme),
      header(":authority", e->authority), header(":path", path),
      header("accept", type)};
  if (!get) {
    headers.push_back(header("content-type", type));
    headers.push_back(header("content-length", size));
  }
  nghttp2_data_provider body;
  body.source.ptr = nullptr;
  body.read_callback = read_request;
  const std::int32_t id =
      nghttp2_submit_request(c->h2, nullptr, headers.data(), headers.size(),
                             get ? nullptr : &body, nullptr);
  if (id < 0)
    return false;
  h2_stream &st = c->streams[id];
  st = h2_stream{index, s.index, 0, std::string(), 0, std::string()};
  if (!get)
    st.request.assign(reinterpret_cast<const char *>(query),
                      static_cast<std::size_t>(length));
  return true;
}

// Moves the queued attempts of an open connection into its output.
void flush_queue(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  while (!c.queue.empty()) {
    const queued q = c.queue.front();
    c.queue.pop_front();
    slot &s = slot_at(e, q.slot);
    if (!s.busy || s.generation != q.generation)
      continue; // decided, or a later attempt is under way
    if (c.h2) {
      if (!submit_h2(e, &c, q.slot))
        continue; // the attempt times out
    } else {
      c.out.append(reinterpret_cast<const char *>(s.frame),
                   static_cast<std::size_t>(s.frame_length));
    }
    s.on_wire = true;
    if (!s.sent_any) {
      s.sent_any = true;
      s.first_sent = now;
    }
    if (!q.again)
      ++s.result.attempts;
  }
  if (c.h2)
    pump_h2(&c);
  write_out(e, ci, now);
}

int on_header(nghttp2_session *, const nghttp2_frame *frame,
              const std::uint8_t *name, std::size_t name_length,
              const std::uint8_t *value, std::size_t value_length, std::uint8_t,
              void *user) {
  connection *c = static_cast<connection *>(user);
  auto found = c->streams.find(frame->hd.stream_id);
  if (found != c->streams.end() && name_length == 7 &&
      std::memcmp(name, ":status", 7) == 0)
    found->second.status = std::atoi(
        std::string(reinterpret_cast<const char *>(value), value_length)
            .c_str());
  return 0;
}

int on_data(nghttp2_session *, std::uint8_t, std::int32_t stream_id,
            const std::uint8_t *data, std::size_t length, void *user) {
  connection *c = static_cast<connection *>(user);
  auto found = c->streams.find(stream_id);
  // A DNS message is at most 65535 bytes; a longer body is no message.
  if (found != c->streams.end() && found->second.reply.size() < 65536)
    found->second.reply.append(reinterpret_cast<const char *>(data), length);
  return 0;
}

int on_stream_close(nghttp2_session *, std::int32_t stream_id, std::uint32_t,
                    void *user) {
  connection *c = static_cast<connection *>(user);
  auto found = c->streams.find(stream_id);
  if (found == c->streams.end())
    return 0;
  const h2_stream st = found->second;
  c->streams.erase(found);
  engine *e = c->owner;
  slot &s = slot_at(e, st.slot);
  if (!s.busy || s.index != st.probe)
    return 0; // decided meanwhile
  if (st.status == HTTP_OK) {
    if (take_reply(e, st.slot,
                   reinterpret_cast<const unsigned char *>(st.reply.data()),
                   static_cast<long>(st.reply.size()), true))
      answered_on(e, c);
    return 0;
  }
  if (st.status == 0)
    return 0; // reset without an answer: the attempt times out
  e->stats->http_status = st.status;
  s.result.error = PROBE_ERROR_HTTP;
  end_attempt(e, st.slot);
  return 0;
}

bool start_h2(connection *c) {
  nghttp2_session_callbacks *callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0)
    return false;
  nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks,
                                                         on_stream_close);
  const int r = nghttp2_session_client_new(&c->h2, callbacks, c);
  nghttp2_session_callbacks_del(callbacks);
  if (r != 0)
    return false;
  const nghttp2_settings_entry entries[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, ENGINE_MAX_CONCURRENCY}};
  return nghttp2_submit_settings(c->h2, NGHTTP2_FLAG_NONE, entries, 1) == 0;
}

void opened(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  if (over_http(e) && !start_h2(&c)) {
    setup_failed(e, ci, PROBE_ERROR_HTTP, "HTTP/2 could not start");
    return;
  }
  c.state = OPEN;
  e->settled = true;
  e->stats->address = *address_at(e, c.address_index);
  ++e->stats->opened;
  if (c.was_open)
    ++e->stats->reconnections;
  if (c.ssl && SSL_session_reused(c.ssl))
    ++e->stats->resumed;
  c.was_open = true;
  e->failures_in_row = 0;
  e->stats->setup_us.push_back(static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - c.setup_start)
          .count()));
  flush_queue(e, ci, now);
}

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

void drive_handshake(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  ERR_clear_error();
  const int r = SSL_connect(c.ssl);
  if (r == 1) {
    if (over_http(e)) {
      const unsigned char *alpn = nullptr;
      unsigned alpn_length = 0;
      SSL_get0_alpn_selected(c.ssl, &alpn, &alpn_length);
      if (alpn_length != 2 || std::memcmp(alpn, "h2", 2) != 0) {
        setup_failed(e, ci, PROBE_ERROR_HTTP,
                     "the server does not speak HTTP/2");
        return;
      }
    }
    opened(e, ci, now);
    return;
  }
  const int error = SSL_get_error(c.ssl, r);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    c.tls_wants_write = error == SSL_ERROR_WANT_WRITE;
    return;
  }
  setup_failed(e, ci, PROBE_ERROR_TLS, tls_reason(c.ssl, error));
}

void begin_tls(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  c.ssl = SSL_new(e->tls);
  if (!c.ssl || SSL_set_fd(c.ssl, static_cast<int>(c.sock)) != 1) {
    setup_failed(e, ci, PROBE_ERROR_TLS, "TLS could not start");
    return;
  }
  SSL_set_app_data(c.ssl, e);
  SSL_set_mode(c.ssl, SSL_MODE_ENABLE_PARTIAL_WRITE |
                          SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const char *host = e->target->host;
  if (host[0] != '\0') {
    SSL_set_tlsext_host_name(c.ssl, host);
    SSL_set1_host(c.ssl, host);
  } else {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl),
                                  e->address_text.c_str());
  }
  if (e->session)
    SSL_set_session(c.ssl, e->session);
  c.state = HANDSHAKE;
  drive_handshake(e, ci, now);
}

// Keeps the newest session the server gives, for the next connection.
int keep_session(SSL *ssl, SSL_SESSION *session) {
  engine *e = static_cast<engine *>(SSL_get_app_data(ssl));
  if (e->session)
    SSL_SESSION_free(e->session);
  e->session = session;
  return 1; // the engine holds it now
}

std::uint16_t fresh_id(engine *e) {
  for (;;) {
    std::uint16_t id = static_cast<std::uint16_t>(e->random() & 0xFFFF);
    if (e->owner[id] == NO_SLOT)
      return id;
  }
}

void send_attempt(engine *e, int index, probe_clock::time_point now) {
  slot &s = slot_at(e, index);
  ++s.tries;
  ++s.generation;
  if (e->given_up) {
    if (s.result.error == PROBE_ERROR_NONE ||
        s.result.error == PROBE_ERROR_TIMEOUT)
      s.result.error = static_cast<std::int16_t>(e->stats->failure);
    finish(e, index);
    return;
  }
  const std::uint16_t id = fresh_id(e);
  s.frame[LENGTH_PREFIX + DNS_ID_OFFSET] = static_cast<unsigned char>(id >> 8);
  s.frame[LENGTH_PREFIX + DNS_ID_OFFSET + 1] = static_cast<unsigned char>(id);
  // A late reply to an earlier attempt still decides the probe.
  s.ids[s.id_count++] = id;
  e->owner[id] = index;
  const std::size_t ci = e->next_conn++ % e->conns.size();
  s.conn = static_cast<int>(ci);
  s.on_wire = false;
  e->sched.timers.push_back(
      probe_timer{now + std::chrono::milliseconds(e->settings->timeout_ms),
                  index, s.generation});
  connection &c = e->conns[ci];
  c.queue.push_back(queued{index, s.generation, false});
  if (c.state == OPEN)
    flush_queue(e, ci, now);
  else
    begin_connect(e, ci, now);
}

bool start_probe(engine *e) {
  const std::size_t index = e->next_name++;
  const int si = e->free_slots.back();
  slot &s = slot_at(e, si);
  const char *name = e->job->name(index, e->job->context);
  s.index = index;
  s.tries = 0;
  s.id_count = 0;
  s.sent_any = false;
  s.on_wire = false;
  s.conn = -1;
  s.result = probe_result{PROBE_FAILED, 0, -1, -1, PROBE_ERROR_NONE, 0, 0};
  const int length =
      build_query_with_id(name ? name : "", e->settings->qtype, 0,
                          s.frame + LENGTH_PREFIX, QUERY_BUFFER_SIZE);
  if (!name || length <= 0) {
    s.result.error = PROBE_ERROR_UNSENDABLE;
    e->job->done(index, &s.result, e->job->context);
    return false;
  }
  s.frame[0] = static_cast<unsigned char>(length >> 8);
  s.frame[1] = static_cast<unsigned char>(length);
  s.frame_length = LENGTH_PREFIX + length;
  e->free_slots.pop_back();
  s.busy = true;
  ++e->busy;
  send_attempt(e, si, probe_clock::now());
  return true;
}

bool wants_to_send(const engine *e) {
  return !e->sched.retries.empty() ||
         (e->next_name < e->job->count && !e->free_slots.empty());
}

void send_due(engine *e) {
  for (;;) {
    const probe_clock::time_point now = probe_clock::now();
    if (!wants_to_send(e) || !schedule_may_send(&e->sched, now))
      return;
    bool sent = true;
    if (!e->sched.retries.empty()) {
      const probe_timer due = e->sched.retries.front();
      e->sched.retries.pop_front();
      const slot &s = slot_at(e, due.slot);
      if (!s.busy || s.generation != due.generation)
        continue;
      send_attempt(e, due.slot, now);
    } else {
      sent = start_probe(e);
    }
    if (sent)
      schedule_sent(&e->sched, now);
  }
}

void expire(engine *e, probe_clock::time_point now) {
  while (!e->sched.timers.empty() && e->sched.timers.front().deadline <= now) {
    const probe_timer t = e->sched.timers.front();
    e->sched.timers.pop_front();
    slot &s = slot_at(e, t.slot);
    if (!s.busy || s.generation != t.generation)
      continue;
    // Still waiting for its connection: the set-up is what took too long
    // (a dropped connect, a handshake that never ends).
    const connection &c = e->conns[static_cast<std::size_t>(s.conn)];
    const int state = c.state;
    // A connect that the network drops: the name's next address, if any.
    if (state == CONNECTING &&
        now - c.setup_start >=
            std::chrono::milliseconds(e->settings->timeout_ms))
      next_address(e, static_cast<std::size_t>(s.conn), now);
    if (s.result.error == PROBE_ERROR_NONE ||
        s.result.error == PROBE_ERROR_TIMEOUT)
      s.result.error = state == CONNECTING  ? PROBE_ERROR_CONNECT
                       : state == HANDSHAKE ? PROBE_ERROR_TLS
                                            : PROBE_ERROR_TIMEOUT;
    if (s.tries < e->settings->attempts)
      e->sched.retries.push_back(t);
    else
      finish(e, t.slot);
  }
}

struct frame_reader {
  engine *e;
  connection *c;
};

// A whole message of a TCP or TLS stream. One whose ID no query in flight
// carries may be a late reply to a query already decided: it is passed over.
void take_frame(const unsigned char *message, long length, void *context) {
  frame_reader *r = static_cast<frame_reader *>(context);
  const long id = message_id(length, message);
  const int index =
      id < 0 ? NO_SLOT : r->e->owner[static_cast<std::size_t>(id)];
  if (index != NO_SLOT && take_reply(r->e, index, message, length, false))
    answered_on(r->e, r->c);
}

// False when the stream is broken.
bool take_frames(engine *e, connection *c) {
  frame_reader reader{e, c};
  const long used =
      split_frames(reinterpret_cast<const unsigned char *>(c->in.data()),
                   c->in.size(), take_frame, &reader);
  if (used < 0) {
    c->junk = true;
    return false;
  }
  c->in.erase(0, static_cast<std::size_t>(used));
  return true;
}

void read_connection(engine *e, std::size_t ci, probe_clock::time_point now) {
  connection &c = e->conns[ci];
  unsigned char chunk[READ_CHUNK];
  // A server that closes after its last replies sends them with the close:
  // they are taken before the connection is given up.
  bool lost = false;
  while (!lost) {
    long n = 0;
    if (c.ssl) {
      ERR_clear_error();
      const int r = SSL_read(c.ssl, chunk, static_cast<int>(sizeof chunk));
      if (r <= 0) {
        const int error = SSL_get_error(c.ssl, r);
        c.tls_wants_write = error == SSL_ERROR_WANT_WRITE;
        lost = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
        break;
      }
      n = r;
    } else {
      n = stream_recv(c.sock, chunk, sizeof chunk);
      if (n == SOCK_WOULD_BLOCK)
        break;
      if (n <= 0) {
        lost = true;
        break;
      }
    }
    if (c.h2) {
      // What nghttp2 cannot take is no HTTP/2 (an HTTP/1.1 error page).
      c.junk = nghttp2_session_mem_recv(c.h2, chunk,
                                        static_cast<std::size_t>(n)) < 0;
      lost = c.junk;
    } else {
      c.in.append(reinterpret_cast<const char *>(chunk),
                  static_cast<std::size_t>(n));
    }
  }
  if (!c.h2) {
    // A stream that breaks ends the attempts on it, whatever came after.
    if (!take_frames(e, &c))
      lost = true;
  } else if (!lost) {
    pump_h2(&c);
    // The server said goodbye (GOAWAY) and has nothing more to send.
    lost = !nghttp2_session_want_read(c.h2) &&
           !nghttp2_session_want_write(c.h2) && c.out.empty();
  }
  if (lost)
    connection_lost(e, ci, now);
  else if (c.h2)
    write_out(e, ci, now);
}

// The TLS context of a run: TLS 1.2 or later, the certificate checked
// against the system's CAs or the given file (unless told not to),
// sessions kept for resumption, and HTTP/2 offered for DNS over HTTPS.
SSL_CTX *tls_context(const engine *e, std::string *reason) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    *reason = "TLS could not start";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (e->options->insecure) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const int loaded =
        e->options->ca_file
            ? SSL_CTX_load_verify_locations(ctx, e->options->ca_file, nullptr)
            : SSL_CTX_set_default_verify_paths(ctx);
    if (loaded != 1) {
      *reason = std::string("cannot read the CA certificates") +
                (e->options->ca_file ? std::string(" of ") + e->options->ca_file
                                     : std::string());
      SSL_CTX_free(ctx);
      return nullptr;
    }
  }
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT |
                                          SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, keep_session);
  if (over_http(e)) {
    static const unsigned char h2[] = {2, 'h', '2'};
    SSL_CTX_set_alpn_protos(ctx, h2, sizeof h2);
  }
  return ctx;
}

// What a connection waits for: to read always, and to write while it
// connects or has bytes to write. Told to the poller only when it changes.
void watch(engine *e, std::size_t i) {
  connection &c = e->conns[i];
  if (c.sock == -1)
    return;
  const bool write = c.state == CONNECTING || c.tls_wants_write ||
                     (c.state == OPEN && !c.out.empty());
  const int events = POLL_READ | (write ? POLL_WRITE : 0);
  if (events != c.watched &&
      poller_watch(e->waiting, c.sock, static_cast<int>(i), events) == 0)
    c.watched = events;
}

void step_connection(engine *e, std::size_t i, int events,
                     probe_clock::time_point now) {
  connection &c = e->conns[i];
  const bool readable = (events & POLL_READ) != 0;
  const bool writable = (events & POLL_WRITE) != 0;
  if (c.sock == -1 || !(readable || writable))
    return;
  if (c.state == CONNECTING) {
    const int error = stream_connect_result(c.sock);
    if (error != 0)
      setup_failed(e, i, PROBE_ERROR_CONNECT, sock_error_text(error));
    else if (over_tls(e))
      begin_tls(e, i, now);
    else
      opened(e, i, now);
    return;
  }
  if (c.state == HANDSHAKE) {
    drive_handshake(e, i, now);
    return;
  }
  if (writable && (!c.out.empty() || c.tls_wants_write) &&
      !write_out(e, i, now))
    return;
  if (readable && c.state == OPEN)
    read_connection(e, i, now);
}

} // namespace

int stream_run(const ns_target *target, const engine_settings *settings,
               const stream_options *options, const engine_job *job,
               stream_stats *stats) {
  engine e;
  e.target = target;
  e.settings = settings;
  e.options = options;
  e.job = job;
  e.stats = stats;
  *stats = stream_stats{
      0, 0, 0, 0, PROBE_ERROR_NONE, std::string(), 0, {}, target->address};
  char address[NS_TEXT_SIZE];
  format_ns_address(&target->address, ns_port(&target->address), address,
                    sizeof address);
  e.address_text = address;
  // The authority names the port only when it is not HTTPS's own.
  e.authority = target->host[0] != '\0' ? target->host : e.address_text;
  if (target->address.sa.ss_family == AF_INET6 && target->host[0] == '\0')
    e.authority = "[" + e.authority + "]";
  if (ns_port(&target->address) != transport_port(NS_HTTPS))
    e.authority += ":" + std::to_string(ns_port(&target->address));
  if (over_tls(&e)) {
    e.tls = tls_context(&e, &stats->reason);
    if (!e.tls)
      return -1;
  }
  e.waiting = poller_open();
  if (!e.waiting) {
    stats->reason = sock_error_text(sock_error());
    if (e.tls)
      SSL_CTX_free(e.tls);
    return -1;
  }
  e.random.seed(std::random_device{}());
  const int concurrency = std::max(1, settings->concurrency);
  const int connections = std::min(std::max(1, options->connections),
                                   static_cast<int>(STREAM_MAX_CONNECTIONS));
  for (int i = 0; i < connections; ++i) {
    e.conns.emplace_back();
    e.conns.back().owner = &e;
  }
  e.owner.assign(ID_COUNT, NO_SLOT);
  e.slots.resize(static_cast<std::size_t>(concurrency));
  for (int i = concurrency - 1; i >= 0; --i) {
    slot_at(&e, i) = slot{};
    e.free_slots.push_back(i);
  }
  schedule_start(&e.sched, settings->rate);

  std::vector<poller_event> ready(e.conns.size());
  while (!(job->stop && job->stop->load())) {
    expire(&e, probe_clock::now());
    send_due(&e);
    if (e.busy == 0 && e.sched.retries.empty() && e.next_name >= job->count)
      break;
    int wait_ms = schedule_wait_ms(&e.sched, wants_to_send(&e), MAX_WAIT_MS);
    const probe_clock::time_point before = probe_clock::now();
    for (std::size_t i = 0; i < e.conns.size(); ++i) {
      connection &c = e.conns[i];
      // A connection that backed off reconnects once its pause is over.
      if (c.state == CLOSED && !c.queue.empty())
        begin_connect(&e, i, before);
      if (c.state == CLOSED && !c.queue.empty()) {
        const auto pause =
            std::chrono::duration_cast<std::chrono::milliseconds>(c.not_before -
                                                                  before);
        wait_ms =
            std::min(wait_ms, 1 + std::max(0, static_cast<int>(pause.count())));
      }
      watch(&e, i);
    }
    const int n = poller_wait_events(e.waiting, wait_ms, ready.data(),
                                     static_cast<int>(ready.size()));
    const probe_clock::time_point now = probe_clock::now();
    for (int k = 0; k < n; ++k)
      step_connection(
          &e, static_cast<std::size_t>(ready[static_cast<std::size_t>(k)].tag),
          ready[static_cast<std::size_t>(k)].events, now);
  }
  for (connection &c : e.conns)
    close_connection(&c);
  poller_close(e.waiting);
  if (e.session)
    SSL_SESSION_free(e.session);
  if (e.tls)
    SSL_CTX_free(e.tls);
  return 0;
}
