// The QUIC transport: ngtcp2's connections over connected datagram
// sockets, GnuTLS for their handshakes. ngtcp2 calls back from inside its
// reads; what must not happen there (writing packets) waits for
// before_wait, which writes for every connection before each wait.
#include "net/quic_transport.h"

#include "net/dns_message.h"
#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <utility>

namespace {

enum {
  // A datagram as large as any QUIC packet of ours or the server's.
  DATAGRAM_SIZE = 65536,
  PACKET_SIZE = 1452,
  // Datagrams read, and packets written, at one go for a connection.
  READS_AT_ONCE = 64,
  WRITES_AT_ONCE = 64,
  // RFC 9250 4.3: the application error codes.
  DOQ_NO_ERROR = 0,
  DOQ_REQUEST_CANCELLED = 3,
};

// TLS 1.3 alone, as QUIC has it; no middlebox compatibility mode.
const char PRIORITY[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:%DISABLE_TLS13_COMPAT_MODE";
const char ALPN[] = "doq";

ngtcp2_tstamp timestamp(probe_clock::time_point t) {
  return static_cast<ngtcp2_tstamp>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch())
          .count());
}

// The reply on a stream so far: 1 when whole, 0 while it comes, -1 when it
// is no DNS message.
int reply_of(const std::string &in, const unsigned char **message,
             long *length) {
  return first_frame(reinterpret_cast<const unsigned char *>(in.data()),
                     in.size(), message, length);
}

std::string hex_code(std::uint64_t code) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(code));
  return text;
}

} // namespace

struct quic_shared {
  gnutls_certificate_credentials_t credentials = nullptr;
  std::string session;            // the newest ticket the server gave
  ngtcp2_transport_params params; // the server's, for 0-RTT data
  bool have_params = false;
  std::vector<unsigned char> datagram =
      std::vector<unsigned char>(DATAGRAM_SIZE);
};

enum {
  QUIC_CLOSED,
  QUIC_HANDSHAKE,
  QUIC_OPEN,
};

// A query of a probe on a stream of its own.
struct quic_stream {
  int slot;
  unsigned generation;
  std::string out; // the length and the query, Message ID 0
  std::size_t written = 0;
  std::string in;
  bool answered = false;
};

// An attempt waiting for a stream.
struct quic_attempt {
  int slot;
  unsigned generation;
  bool again; // sent before, on a connection since lost
};

struct quic_connection {
  quic_transport *t = nullptr;
  std::size_t index = 0;
  sock_t sock = -1;
  sockaddr_storage local{};
  int local_length = 0;
  ngtcp2_crypto_conn_ref ref{};
  ngtcp2_conn *conn = nullptr;
  gnutls_session_t tls = nullptr;
  int state = QUIC_CLOSED;
  bool early = false; // its first queries went as 0-RTT data
  bool heard = false; // a packet came from the server
  bool was_open = false;
  bool productive = false;
  int address_index = 0;
  probe_clock::time_point setup_start;
  probe_clock::time_point not_before;
  std::deque<quic_attempt> queue;
  std::unordered_map<std::int64_t, quic_stream> streams;
  std::deque<std::int64_t> unsent;     // streams with bytes to write
  std::vector<std::int64_t> abandoned; // to be reset: their attempts ended
};

// What ngtcp2 and GnuTLS call back; `user` is the quic_connection.
struct quic_events {
  static quic_connection *of(void *user) {
    return static_cast<quic_connection *>(user);
  }

  static ngtcp2_conn *get_conn(ngtcp2_crypto_conn_ref *ref) {
    return of(ref->user_data)->conn;
  }

  static void rand(std::uint8_t *dest, std::size_t length,
                   const ngtcp2_rand_ctx *) {
    (void)gnutls_rnd(GNUTLS_RND_RANDOM, dest, length);
  }

  static int new_connection_id(ngtcp2_conn *, ngtcp2_cid *cid,
                               std::uint8_t *token, std::size_t length,
                               void *) {
    if (gnutls_rnd(GNUTLS_RND_RANDOM, cid->data, length) != 0 ||
        gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN) !=
            0)
      return NGTCP2_ERR_CALLBACK_FAILURE;
    cid->datalen = length;
    return 0;
  }

  static int handshake_completed(ngtcp2_conn *, void *user) {
    quic_connection *c = of(user);
    c->t->handshake_done(c->index);
    return 0;
  }

  // Each new ticket replaces the last: the next connection resumes with it.
  static int ticket(gnutls_session_t session, unsigned type, unsigned, unsigned,
                    const gnutls_datum_t *) {
    if (type != GNUTLS_HANDSHAKE_NEW_SESSION_TICKET)
      return 0;
    auto *ref =
        static_cast<ngtcp2_crypto_conn_ref *>(gnutls_session_get_ptr(session));
    gnutls_datum_t data;
    if (gnutls_session_get_data2(session, &data) == 0) {
      of(ref->user_data)
          ->t->shared_->session.assign(
              reinterpret_cast<const char *>(data.data), data.size);
      gnutls_free(data.data);
    }
    return 0;
  }

  static int stream_data(ngtcp2_conn *conn, std::uint32_t flags,
                         std::int64_t id, std::uint64_t,
                         const std::uint8_t *data, std::size_t length,
                         void *user, void *) {
    quic_connection *c = of(user);
    ngtcp2_conn_extend_max_stream_offset(conn, id, length);
    ngtcp2_conn_extend_max_offset(conn, length);
    auto found = c->streams.find(id);
    if (found == c->streams.end() || found->second.answered)
      return 0;
    quic_stream &st = found->second;
    st.in.append(reinterpret_cast<const char *>(data), length);
    const unsigned char *message = nullptr;
    long whole = 0;
    // A stream that ends first was cut short: take_reply says so.
    if (reply_of(st.in, &message, &whole) != 0 ||
        (flags & NGTCP2_STREAM_DATA_FLAG_FIN))
      c->t->take_reply(c->index, id);
    return 0;
  }

  // A stream that ends without a reply: closed with an error code (the
  // server's `quic` failure), or with nothing that is a DNS message.
  static int stream_close(ngtcp2_conn *, std::uint32_t flags, std::int64_t id,
                          std::uint64_t code, void *user, void *) {
    quic_connection *c = of(user);
    auto found = c->streams.find(id);
    if (found == c->streams.end())
      return 0;
    const quic_stream st = std::move(found->second);
    c->streams.erase(found);
    quic_transport *t = c->t;
    if (st.answered || !t->current(st.slot, st.generation))
      return 0;
    t->wires_[static_cast<std::size_t>(st.slot)].stream = -1;
    if ((flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) &&
        code != DOQ_NO_ERROR) {
      t->stats_->closed_with =
          "a stream closed with error code " + hex_code(code);
      engine_end_attempt(t->e_, st.slot, PROBE_ERROR_QUIC, false);
    } else {
      engine_end_attempt(t->e_, st.slot, PROBE_ERROR_FORMAT, false);
    }
    return 0;
  }

  // The server refused the 0-RTT data: ngtcp2 forgot those streams, and
  // their queries go again once the handshake is done.
  static int early_data_rejected(ngtcp2_conn *, void *user) {
    quic_connection *c = of(user);
    c->t->requeue_streams(c->index);
    return 0;
  }
};

quic_transport::quic_transport(const ns_target *target,
                               const engine_settings *settings,
                               const stream_options *options,
                               stream_stats *stats)
    : target_(target), settings_(settings), options_(options), stats_(stats),
      shared_(new quic_shared) {}

quic_transport::~quic_transport() {
  for (std::size_t i = 0; i < conns_.size(); ++i)
    close_connection(i, false);
  if (shared_->credentials)
    gnutls_certificate_free_credentials(shared_->credentials);
}

// The run's TLS credentials: the certificate checked against the system's
// CAs or the given file, unless told not to.
int quic_transport::start(probe_engine *e, poller *p) {
  e_ = e;
  waiting_ = p;
  const int connections = std::min(std::max(1, options_->connections),
                                   static_cast<int>(STREAM_MAX_CONNECTIONS));
  for (int i = 0; i < connections; ++i) {
    conns_.emplace_back(new quic_connection);
    conns_.back()->t = this;
    conns_.back()->index = static_cast<std::size_t>(i);
  }
  wires_.assign(static_cast<std::size_t>(std::max(1, settings_->concurrency)),
                wire{0, -1, 0});
  char address[NS_TEXT_SIZE];
  format_ns_address(&target_->address, ns_port(&target_->address), address,
                    sizeof address);
  address_text_ = address;
  if (gnutls_certificate_allocate_credentials(&shared_->credentials) != 0) {
    shared_->credentials = nullptr;
    stats_->reason = "TLS could not start";
    return -1;
  }
  if (!options_->insecure) {
    const int loaded =
        options_->ca_file
            ? gnutls_certificate_set_x509_trust_file(
                  shared_->credentials, options_->ca_file, GNUTLS_X509_FMT_PEM)
            : gnutls_certificate_set_x509_system_trust(shared_->credentials);
    if (loaded <= 0) {
      stats_->reason =
          std::string("cannot read the CA certificates") +
          (options_->ca_file ? std::string(" of ") + options_->ca_file
                             : std::string());
      return -1;
    }
  }
  return 0;
}

quic_connection &quic_transport::conn(std::size_t ci) {
  return *conns_[ci];
}

bool quic_transport::current(int slot, unsigned generation) const {
  const probe_slot &s = engine_slot(e_, slot);
  return s.busy && s.generation == generation;
}

const ns_address *quic_transport::address_at(int index) const {
  return index == 0 ? &target_->address : &target_->fallback[index - 1];
}

void quic_transport::close_connection(std::size_t ci, bool say_goodbye) {
  quic_connection &c = conn(ci);
  if (c.conn && say_goodbye && c.state == QUIC_OPEN &&
      !ngtcp2_conn_is_in_closing_period(c.conn) &&
      !ngtcp2_conn_is_in_draining_period(c.conn)) {
    // So that the server need not wait for its idle timeout.
    ngtcp2_connection_close_error bye;
    ngtcp2_connection_close_error_set_application_error(&bye, DOQ_NO_ERROR,
                                                        nullptr, 0);
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info pi;
    std::uint8_t packet[PACKET_SIZE];
    const ngtcp2_ssize n = ngtcp2_conn_write_connection_close(
        c.conn, &ps.path, &pi, packet, sizeof packet, &bye,
        timestamp(probe_clock::now()));
    if (n > 0)
      (void)stream_send(c.sock, packet, static_cast<std::size_t>(n));
  }
  if (c.conn)
    ngtcp2_conn_del(c.conn);
  c.conn = nullptr;
  if (c.tls)
    gnutls_deinit(c.tls);
  c.tls = nullptr;
  if (c.sock != -1) {
    poller_forget(waiting_, c.sock);
    sock_close(c.sock);
  }
  c.sock = -1;
  c.state = QUIC_CLOSED;
  c.early = false;
  c.heard = false;
  c.productive = false;
  c.streams.clear();
  c.unsent.clear();
  c.abandoned.clear();
}

// A name looked up may have several addresses: until a connection has been
// set up at one, a connection that fails goes to the next.
bool quic_transport::next_address(std::size_t ci, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  if (!policy_.move_on(c.address_index, target_->fallback_count))
    return false;
  requeue_streams(ci);
  close_connection(ci, false);
  begin_connect(ci, now);
  return true;
}

// Set-up failed: the probes waiting for it fail, and after as many failures
// in a row as a probe has attempts, so does every later one.
void quic_transport::setup_failed(std::size_t ci, int cause,
                                  const std::string &reason) {
  if (cause == PROBE_ERROR_CONNECT && next_address(ci, probe_clock::now()))
    return;
  close_connection(ci, false);
  conn(ci).queue.clear();
  policy_.failed(stats_, cause, reason, settings_->attempts);
  for (std::size_t i = 0; i < wires_.size(); ++i) {
    if (engine_slot(e_, static_cast<int>(i)).busy && wires_[i].conn == ci)
      engine_fail(e_, static_cast<int>(i), cause, false);
  }
}

void quic_transport::begin_connect(std::size_t ci,
                                   probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  if (c.state != QUIC_CLOSED || now < c.not_before)
    return; // under way, or backing off: the loop comes back for it
  c.address_index = policy_.address();
  const ns_address *to = address_at(c.address_index);
  int error = 0;
  c.sock = datagram_connect(to, &c.local, &c.local_length, &error);
  if (c.sock == -1 ||
      poller_watch(waiting_, c.sock, static_cast<int>(ci), POLL_READ) != 0) {
    if (c.sock != -1)
      sock_close(c.sock);
    c.sock = -1;
    setup_failed(ci, PROBE_ERROR_CONNECT,
                 sock_error_text(error ? error : sock_error()));
    return;
  }
  c.setup_start = now;
  c.state = QUIC_HANDSHAKE;
  c.ref.get_conn = quic_events::get_conn;
  c.ref.user_data = &c;
  if (start_tls(c) != 0 || start_quic(c, to, now) != 0) {
    setup_failed(ci, PROBE_ERROR_TLS, "QUIC could not start");
    return;
  }
  // A resumed session can carry the first queries in 0-RTT data, within
  // the limits the server gave last time.
  if (!shared_->session.empty() && shared_->have_params) {
    ngtcp2_conn_set_early_remote_transport_params(c.conn, &shared_->params);
    c.early = true;
  }
}

// The TLS side: ALPN "doq", the name (or the address) checked, the last
// session resumed. 0 or -1.
int quic_transport::start_tls(quic_connection &c) {
  if (gnutls_init(&c.tls, GNUTLS_CLIENT | GNUTLS_ENABLE_EARLY_DATA |
                              GNUTLS_NO_END_OF_EARLY_DATA) != 0) {
    c.tls = nullptr;
    return -1;
  }
  if (ngtcp2_crypto_gnutls_configure_client_session(c.tls) != 0 ||
      gnutls_priority_set_direct(c.tls, PRIORITY, nullptr) != 0 ||
      gnutls_credentials_set(c.tls, GNUTLS_CRD_CERTIFICATE,
                             shared_->credentials) != 0)
    return -1;
  gnutls_session_set_ptr(c.tls, &c.ref);
  gnutls_handshake_set_hook_function(c.tls, GNUTLS_HANDSHAKE_ANY,
                                     GNUTLS_HOOK_POST, quic_events::ticket);
  gnutls_datum_t alpn{
      reinterpret_cast<unsigned char *>(const_cast<char *>(ALPN)),
      sizeof ALPN - 1};
  gnutls_alpn_set_protocols(c.tls, &alpn, 1, GNUTLS_ALPN_MANDATORY);
  const char *host = target_->host;
  if (host[0] != '\0')
    gnutls_server_name_set(c.tls, GNUTLS_NAME_DNS, host, std::strlen(host));
  if (!options_->insecure)
    gnutls_session_set_verify_cert(
        c.tls, host[0] != '\0' ? host : address_text_.c_str(), 0);
  if (!shared_->session.empty())
    gnutls_session_set_data(c.tls, shared_->session.data(),
                            shared_->session.size());
  return 0;
}

// The QUIC side, over the TLS session. 0 or -1.
int quic_transport::start_quic(quic_connection &c, const ns_address *to,
                               probe_clock::time_point now) {
  ngtcp2_callbacks callbacks{};
  callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
  callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
  callbacks.handshake_completed = quic_events::handshake_completed;
  callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
  callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
  callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
  callbacks.recv_stream_data = quic_events::stream_data;
  callbacks.stream_close = quic_events::stream_close;
  callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
  callbacks.rand = quic_events::rand;
  callbacks.get_new_connection_id = quic_events::new_connection_id;
  callbacks.update_key = ngtcp2_crypto_update_key_cb;
  callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
  callbacks.delete_crypto_cipher_ctx =
      ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
  callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
  callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
  callbacks.early_data_rejected = quic_events::early_data_rejected;

  ngtcp2_cid dcid, scid;
  dcid.datalen = NGTCP2_MIN_INITIAL_DCIDLEN;
  scid.datalen = 8;
  if (gnutls_rnd(GNUTLS_RND_RANDOM, dcid.data, dcid.datalen) != 0 ||
      gnutls_rnd(GNUTLS_RND_RANDOM, scid.data, scid.datalen) != 0)
    return -1;
  ngtcp2_settings settings;
  ngtcp2_settings_default(&settings);
  settings.initial_ts = timestamp(now);
  // A server that never answers the handshake fails it within an attempt.
  settings.handshake_timeout =
      static_cast<ngtcp2_duration>(std::max(1, settings_->timeout_ms)) *
      NGTCP2_MILLISECONDS;
  ngtcp2_transport_params params;
  ngtcp2_transport_params_default(&params);
  // The server opens no streams; each of ours carries one reply (64 KiB at
  // most), and the credit is given back as replies are read.
  params.initial_max_streams_bidi = 0;
  params.initial_max_streams_uni = 0;
  params.initial_max_stream_data_bidi_local = 65536 + LENGTH_PREFIX;
  params.initial_max_data = 4 * 1024 * 1024;
  params.max_idle_timeout = 30 * NGTCP2_SECONDS;
  ngtcp2_path path{
      {reinterpret_cast<sockaddr *>(&c.local),
       static_cast<ngtcp2_socklen>(c.local_length)},
      {reinterpret_cast<sockaddr *>(const_cast<sockaddr_storage *>(&to->sa)),
       static_cast<ngtcp2_socklen>(to->length)},
      nullptr};
  if (ngtcp2_conn_client_new(&c.conn, &dcid, &scid, &path, NGTCP2_PROTO_VER_V1,
                             &callbacks, &settings, &params, nullptr,
                             &c) != 0) {
    c.conn = nullptr;
    return -1;
  }
  ngtcp2_conn_set_tls_native_handle(c.conn, c.tls);
  return 0;
}

void quic_transport::handshake_done(std::size_t ci) {
  quic_connection &c = conn(ci);
  const probe_clock::time_point now = probe_clock::now();
  if (c.early) {
    if (gnutls_session_get_flags(c.tls) & GNUTLS_SFLAGS_EARLY_DATA) {
      ++stats_->zero_rtt;
    } else {
      // GnuTLS tells only now; ngtcp2 drops the 0-RTT streams.
      c.early = false;
      ngtcp2_conn_early_data_rejected(c.conn);
    }
  }
  if (gnutls_session_is_resumed(c.tls))
    ++stats_->resumed;
  if (const ngtcp2_transport_params *p =
          ngtcp2_conn_get_remote_transport_params(c.conn)) {
    shared_->params = *p;
    // Only the limits are kept; nothing points into this connection.
    shared_->params.version_info_present = 0;
    shared_->params.version_info = ngtcp2_version_info{};
    shared_->have_params = true;
  }
  c.state = QUIC_OPEN;
  policy_.opened();
  stats_->address = *address_at(c.address_index);
  ++stats_->opened;
  if (c.was_open)
    ++stats_->reconnections;
  c.was_open = true;
  stats_->setup_us.push_back(static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - c.setup_start)
          .count()));
}

// The streams' attempts go back to the front of the queue, as the same
// attempts (their connection forgot them, or is gone).
void quic_transport::requeue_streams(std::size_t ci) {
  quic_connection &c = conn(ci);
  std::vector<quic_attempt> again;
  for (const auto &entry : c.streams) {
    const quic_stream &st = entry.second;
    if (!st.answered && current(st.slot, st.generation)) {
      again.push_back(quic_attempt{st.slot, st.generation, true});
      wires_[static_cast<std::size_t>(st.slot)].stream = -1;
    }
  }
  // In the order they were first sent.
  std::sort(again.begin(), again.end(),
            [this](const quic_attempt &a, const quic_attempt &b) {
              return engine_slot(e_, a.slot).attempt_begun <
                     engine_slot(e_, b.slot).attempt_begun;
            });
  c.queue.insert(c.queue.begin(), again.begin(), again.end());
  c.streams.clear();
  c.unsent.clear();
  c.abandoned.clear();
}

// A connection that was open is gone. When the server had answered on it
// and closed it without an error (idle, or busy), what it had not answered
// goes out again on a new one as the same attempts. Otherwise those
// attempts end, and the next connection waits, longer each time, as over
// the other streams.
void quic_transport::connection_lost(std::size_t ci,
                                     probe_clock::time_point now, int cause,
                                     const std::string &reason) {
  quic_connection &c = conn(ci);
  const bool again_as_is = c.productive && cause == PROBE_ERROR_NONE;
  if (cause == PROBE_ERROR_QUIC)
    stats_->closed_with = reason;
  std::vector<std::pair<int, unsigned>> ended;
  if (again_as_is) {
    requeue_streams(ci);
  } else {
    for (const auto &entry : c.streams)
      if (!entry.second.answered &&
          current(entry.second.slot, entry.second.generation))
        ended.emplace_back(entry.second.slot, entry.second.generation);
    c.streams.clear();
  }
  close_connection(ci, false);
  for (const auto &slot : ended) {
    wires_[static_cast<std::size_t>(slot.first)].stream = -1;
    if (current(slot.first, slot.second))
      engine_end_attempt(e_, slot.first,
                         cause == PROBE_ERROR_NONE ? PROBE_ERROR_CONNECT
                                                   : cause,
                         cause == PROBE_ERROR_NONE);
  }
  if (!again_as_is) {
    c.not_before = now + std::chrono::milliseconds(
                             policy_.pause_ms(settings_->timeout_ms));
  }
  if (!c.queue.empty())
    begin_connect(ci, now);
}

// What ngtcp2 said when a read or a timer broke the connection.
void quic_transport::connection_error(std::size_t ci, int error,
                                      probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  const bool open = c.state == QUIC_OPEN;
  if (error == NGTCP2_ERR_HANDSHAKE_TIMEOUT ||
      (error == NGTCP2_ERR_IDLE_CLOSE && !open)) {
    setup_failed(ci, PROBE_ERROR_CONNECT,
                 c.heard ? "the QUIC handshake did not finish"
                         : "no reply to the QUIC handshake");
    return;
  }
  if (error == NGTCP2_ERR_CRYPTO && !open) {
    // The certificate, as GnuTLS judged it, or the server's alert.
    std::string reason = "handshake failed";
    const unsigned status = gnutls_session_get_verify_cert_status(c.tls);
    gnutls_datum_t text;
    if (status != 0 && gnutls_certificate_verification_status_print(
                           status, GNUTLS_CRT_X509, &text, 0) == 0) {
      reason.assign(reinterpret_cast<const char *>(text.data), text.size);
      gnutls_free(text.data);
      reason.erase(reason.find_last_not_of(' ') + 1);
    } else if (const char *alert = gnutls_alert_get_strname(
                   static_cast<gnutls_alert_description_t>(
                       ngtcp2_conn_get_tls_alert(c.conn)))) {
      reason = alert;
    }
    setup_failed(ci, PROBE_ERROR_TLS, reason);
    return;
  }
  int cause = PROBE_ERROR_QUIC;
  std::string reason = ngtcp2_strerror(error);
  if (error == NGTCP2_ERR_DRAINING || error == NGTCP2_ERR_CLOSING ||
      error == NGTCP2_ERR_IDLE_CLOSE) {
    ngtcp2_connection_close_error closed;
    ngtcp2_conn_get_connection_close_error(c.conn, &closed);
    if (error == NGTCP2_ERR_IDLE_CLOSE || closed.error_code == 0) {
      cause = PROBE_ERROR_NONE; // closed as agreed
    } else {
      reason =
          "the connection closed with " +
          std::string(
              closed.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION
                  ? "application"
                  : "transport") +
          " error code " + hex_code(closed.error_code);
      if (closed.reasonlen > 0)
        reason += " (" +
                  std::string(reinterpret_cast<const char *>(closed.reason),
                              closed.reasonlen) +
                  ")";
    }
  }
  if (!open) {
    setup_failed(ci, cause == PROBE_ERROR_NONE ? PROBE_ERROR_CONNECT : cause,
                 cause == PROBE_ERROR_NONE
                     ? "the server closed the connection during the handshake"
                     : reason);
    return;
  }
  connection_lost(ci, now, cause, reason);
}

// The queued attempts get streams while the server gives credit for them:
// once the connection is open, or at once with 0-RTT.
void quic_transport::open_streams(std::size_t ci, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  if (!(c.state == QUIC_OPEN || (c.state == QUIC_HANDSHAKE && c.early)))
    return;
  while (!c.queue.empty() && ngtcp2_conn_get_streams_bidi_left(c.conn) > 0) {
    const quic_attempt q = c.queue.front();
    if (!current(q.slot, q.generation)) {
      c.queue.pop_front();
      continue; // decided, or a later attempt is under way
    }
    std::int64_t id = -1;
    if (ngtcp2_conn_open_bidi_stream(c.conn, &id, nullptr) != 0)
      break; // no credit after all: it waits
    c.queue.pop_front();
    const probe_slot &s = engine_slot(e_, q.slot);
    quic_stream st{q.slot, q.generation,  std::string(),
                   0,      std::string(), false};
    append_frame(&st.out, s.query, s.query_length);
    // RFC 9250 4.2.1: the Message ID is 0; the stream says whose it is.
    st.out[LENGTH_PREFIX + DNS_ID_OFFSET] = 0;
    st.out[LENGTH_PREFIX + DNS_ID_OFFSET + 1] = 0;
    c.streams.emplace(id, std::move(st));
    c.unsent.push_back(id);
    wires_[static_cast<std::size_t>(q.slot)] = wire{ci, id, q.generation};
    engine_sent(e_, q.slot, now, q.again);
  }
}

// Writes what the connection has to send: new streams' queries (each
// stream ended after its query), acknowledgements, retransmissions. True
// when it stopped with more to write.
bool quic_transport::flush(std::size_t ci, probe_clock::time_point now) {
  quic_connection &c = conn(ci);
  if (!c.conn)
    return false;
  for (std::int64_t id : c.abandoned)
    ngtcp2_conn_shutdown_stream(c.conn, id, DOQ_REQUEST_CANCELLED);
  c.abandoned.clear();
  open_streams(ci, now);
  const ngtcp2_tstamp ts = timestamp(now);
  std::vector<std::int64_t> blocked;
  ngtcp2_path_storage ps;
  ngtcp2_path_storage_zero(&ps);
  std::uint8_t packet[PACKET_SIZE];
  int packets = 0;
  while (packets < WRITES_AT_ONCE) {
    std::int64_t id = -1;
    ngtcp2_vec data{nullptr, 0};
    std::size_t vectors = 0;
    std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
    while (!c.unsent.empty()) {
      auto found = c.streams.find(c.unsent.front());
      if (found == c.streams.end() ||
          found->second.written == found->second.out.size()) {
        c.unsent.pop_front();
        continue;
      }
      quic_stream &st = found->second;
      id = found->first;
      data.base = reinterpret_cast<std::uint8_t *>(&st.out[st.written]);
      data.len = st.out.size() - st.written;
      vectors = 1;
      flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
      break;
    }
    ngtcp2_ssize taken = -1;
    ngtcp2_pkt_info pi;
    const ngtcp2_ssize n =
        ngtcp2_conn_writev_stream(c.conn, &ps.path, &pi, packet, sizeof packet,
                                  &taken, flags, id, &data, vectors, ts);
    if (taken > 0) {
      quic_stream &st = c.streams[id];
      st.written += static_cast<std::size_t>(taken);
      if (st.written == st.out.size())
        c.unsent.pop_front();
    }
    if (n == NGTCP2_ERR_WRITE_MORE)
      continue; // room for more streams in this packet
    if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR ||
        n == NGTCP2_ERR_STREAM_NOT_FOUND) {
      blocked.push_back(id); // waits for the server's credit
      c.unsent.pop_front();
      continue;
    }
    if (n < 0) {
      connection_error(ci, static_cast<int>(n), now);
      return false;
    }
    if (n == 0)
      break; // nothing more, or held back by congestion control
    ++packets;
    const long sent = stream_send(c.sock, packet, static_cast<std::size_t>(n));
    if (sent == SOCK_WOULD_BLOCK)
      break; // lost, as on any network: QUIC sends it again
    if (sent < 0 && c.state == QUIC_HANDSHAKE) {
      setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(sock_error()));
      return false;
    }
  }
  c.unsent.insert(c.unsent.end(), blocked.begin(), blocked.end());
  ngtcp2_conn_update_pkt_tx_time(c.conn, ts);
  return packets == WRITES_AT_ONCE;
}

// A whole reply on its stream, or a stream that ended without one.
void quic_transport::take_reply(std::size_t ci, std::int64_t id) {
  quic_connection &c = conn(ci);
  quic_stream &st = c.streams[id];
  st.answered = true;
  if (!current(st.slot, st.generation))
    return;
  wires_[static_cast<std::size_t>(st.slot)].stream = -1;
  const unsigned char *message = nullptr;
  long length = 0;
  if (reply_of(st.in, &message, &length) <= 0) {
    engine_end_attempt(e_, st.slot, PROBE_ERROR_FORMAT, false);
    return;
  }
  if (engine_reply(e_, st.slot, message, length, REPLY_BY_STREAM)) {
    c.productive = true;
    policy_.answered();
  }
}

void quic_transport::send(int slot, probe_clock::time_point now) {
  if (policy_.given_up()) {
    engine_fail(e_, slot, stats_->failure, true);
    return;
  }
  const std::size_t ci = next_conn_++ % conns_.size();
  const unsigned generation = engine_slot(e_, slot).generation;
  wires_[static_cast<std::size_t>(slot)] = wire{ci, -1, generation};
  quic_connection &c = conn(ci);
  c.queue.push_back(quic_attempt{slot, generation, false});
  begin_connect(ci, now); // when closed; the next flush sends it
}

// Still waiting for the handshake: the set-up is what took too long. A
// stream whose attempt ended is cancelled, which frees its credit.
int quic_transport::timed_out(int slot, probe_clock::time_point now) {
  const wire &w = wires_[static_cast<std::size_t>(slot)];
  quic_connection &c = conn(w.conn);
  if (w.stream >= 0 && c.conn && c.streams.count(w.stream))
    c.abandoned.push_back(w.stream);
  if (c.state == QUIC_HANDSHAKE && !c.heard &&
      now - c.setup_start >= std::chrono::milliseconds(settings_->timeout_ms))
    next_address(w.conn, now);
  return c.state == QUIC_HANDSHAKE
             ? (c.heard ? PROBE_ERROR_TLS : PROBE_ERROR_CONNECT)
         : c.state == QUIC_CLOSED ? PROBE_ERROR_CONNECT
                                  : PROBE_ERROR_TIMEOUT;
}

int quic_transport::before_wait(probe_clock::time_point now, int wait_ms) {
  const ngtcp2_tstamp ts = timestamp(now);
  for (std::size_t i = 0; i < conns_.size(); ++i) {
    quic_connection &c = conn(i);
    // A connection that backed off reconnects once its pause is over.
    if (c.state == QUIC_CLOSED && !c.queue.empty()) {
      begin_connect(i, now);
      if (c.state == QUIC_CLOSED)
        wait_ms = wait_until(wait_ms, now, c.not_before);
    }
    if (!c.conn)
      continue;
    if (ngtcp2_conn_get_expiry(c.conn) <= ts) {
      const int r = ngtcp2_conn_handle_expiry(c.conn, ts);
      if (r != 0) {
        connection_error(i, r, now);
        continue;
      }
    }
    const bool more = flush(i, now);
    if (!c.conn)
      continue;
    const ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(c.conn);
    if (more || expiry <= ts) {
      wait_ms = 0;
    } else {
      const ngtcp2_tstamp ms =
          (expiry - ts + NGTCP2_MILLISECONDS - 1) / NGTCP2_MILLISECONDS;
      wait_ms = static_cast<int>(
          std::min<ngtcp2_tstamp>(static_cast<ngtcp2_tstamp>(wait_ms), ms));
    }
  }
  return wait_ms;
}

void quic_transport::ready(int tag, int, probe_clock::time_point now) {
  const std::size_t ci = static_cast<std::size_t>(tag);
  quic_connection &c = conn(ci);
  unsigned char *datagram = shared_->datagram.data();
  for (int reads = 0; reads < READS_AT_ONCE && c.conn; ++reads) {
    const long n = stream_recv(c.sock, datagram, DATAGRAM_SIZE);
    if (n == SOCK_WOULD_BLOCK)
      break;
    if (n < 0) {
      // An ICMP error on the connected socket: nobody listens there.
      const int error = sock_error();
      if (c.state == QUIC_OPEN)
        connection_lost(ci, now, PROBE_ERROR_NONE, std::string());
      else
        setup_failed(ci, PROBE_ERROR_CONNECT, sock_error_text(error));
      return;
    }
    c.heard = true;
    ngtcp2_path path{
        {reinterpret_cast<sockaddr *>(&c.local),
         static_cast<ngtcp2_socklen>(c.local_length)},
        {reinterpret_cast<sockaddr *>(
             const_cast<sockaddr_storage *>(&address_at(c.address_index)->sa)),
         static_cast<ngtcp2_socklen>(address_at(c.address_index)->length)},
        nullptr};
    ngtcp2_pkt_info pi{};
    const int r = ngtcp2_conn_read_pkt(c.conn, &path, &pi, datagram,
                                       static_cast<std::size_t>(n),
                                       timestamp(probe_clock::now()));
    if (r != 0) {
      connection_error(ci, r, now);
      return;
    }
  }
}

void quic_transport::finish() {
  for (std::size_t i = 0; i < conns_.size(); ++i)
    close_connection(i, true);
}
