// The libraries' set-up for a QUIC connection: GnuTLS's session, ngtcp2's
// connection over it, the callbacks that need nothing of the transport.
#include "net/quic_glue.h"

#include "net/stream_framing.h"
#include "net/stream_sock.h"

#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <gnutls/crypto.h>

#include <algorithm>
#include <cstring>

namespace {

enum {
  PACKET_SIZE = 1452,
  DOQ_NO_ERROR = 0, // RFC 9250 4.3
};

// TLS 1.3 alone, as QUIC has it; no middlebox compatibility mode.
const char PRIORITY[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:%DISABLE_TLS13_COMPAT_MODE";
const char ALPN[] = "doq";

ngtcp2_conn *get_conn(ngtcp2_crypto_conn_ref *ref) {
  return static_cast<quic_link *>(ref->user_data)->conn;
}

void random_bytes(std::uint8_t *dest, std::size_t length,
                  const ngtcp2_rand_ctx *) {
  (void)gnutls_rnd(GNUTLS_RND_RANDOM, dest, length);
}

int new_connection_id(ngtcp2_conn *, ngtcp2_cid *cid, std::uint8_t *token,
                      std::size_t length, void *) {
  if (gnutls_rnd(GNUTLS_RND_RANDOM, cid->data, length) != 0 ||
      gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN) !=
          0)
    return NGTCP2_ERR_CALLBACK_FAILURE;
  cid->datalen = length;
  return 0;
}

// Each new ticket replaces the last: the next connection resumes with it.
int keep_ticket(gnutls_session_t session, unsigned type, unsigned, unsigned,
                const gnutls_datum_t *) {
  if (type != GNUTLS_HANDSHAKE_NEW_SESSION_TICKET)
    return 0;
  auto *ref =
      static_cast<ngtcp2_crypto_conn_ref *>(gnutls_session_get_ptr(session));
  gnutls_datum_t data;
  if (gnutls_session_get_data2(session, &data) == 0) {
    static_cast<quic_link *>(ref->user_data)
        ->shared->session.assign(reinterpret_cast<const char *>(data.data),
                                 data.size);
    gnutls_free(data.data);
  }
  return 0;
}

int start_tls(quic_link *link, const quic_setup *setup) {
  if (gnutls_init(&link->tls, GNUTLS_CLIENT | GNUTLS_ENABLE_EARLY_DATA |
                                  GNUTLS_NO_END_OF_EARLY_DATA) != 0) {
    link->tls = nullptr;
    return -1;
  }
  const quic_shared *shared = link->shared;
  if (ngtcp2_crypto_gnutls_configure_client_session(link->tls) != 0 ||
      gnutls_priority_set_direct(link->tls, PRIORITY, nullptr) != 0 ||
      gnutls_credentials_set(link->tls, GNUTLS_CRD_CERTIFICATE,
                             shared->credentials) != 0)
    return -1;
  gnutls_session_set_ptr(link->tls, &link->ref);
  gnutls_handshake_set_hook_function(link->tls, GNUTLS_HANDSHAKE_ANY,
                                     GNUTLS_HOOK_POST, keep_ticket);
  gnutls_datum_t alpn{
      reinterpret_cast<unsigned char *>(const_cast<char *>(ALPN)),
      sizeof ALPN - 1};
  gnutls_alpn_set_protocols(link->tls, &alpn, 1, GNUTLS_ALPN_MANDATORY);
  const char *host = setup->host;
  if (host[0] != '\0')
    gnutls_server_name_set(link->tls, GNUTLS_NAME_DNS, host, std::strlen(host));
  if (!setup->insecure)
    gnutls_session_set_verify_cert(
        link->tls, host[0] != '\0' ? host : setup->address_text, 0);
  if (!shared->session.empty())
    gnutls_session_set_data(link->tls, shared->session.data(),
                            shared->session.size());
  return 0;
}

int start_quic(quic_link *link, const quic_setup *setup) {
  ngtcp2_callbacks callbacks = setup->events;
  callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
  callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
  callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
  callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
  callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
  callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
  callbacks.rand = random_bytes;
  callbacks.get_new_connection_id = new_connection_id;
  callbacks.update_key = ngtcp2_crypto_update_key_cb;
  callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
  callbacks.delete_crypto_cipher_ctx =
      ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
  callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
  callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;

  ngtcp2_cid dcid, scid;
  dcid.datalen = NGTCP2_MIN_INITIAL_DCIDLEN;
  scid.datalen = 8;
  if (gnutls_rnd(GNUTLS_RND_RANDOM, dcid.data, dcid.datalen) != 0 ||
      gnutls_rnd(GNUTLS_RND_RANDOM, scid.data, scid.datalen) != 0)
    return -1;
  ngtcp2_settings settings;
  ngtcp2_settings_default(&settings);
  settings.initial_ts = quic_timestamp(setup->now);
  // A server that never answers the handshake fails it within an attempt.
  settings.handshake_timeout =
      static_cast<ngtcp2_duration>(std::max(1, setup->timeout_ms)) *
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
  const ns_address *to = setup->to;
  ngtcp2_path path{
      {reinterpret_cast<sockaddr *>(&link->local),
       static_cast<ngtcp2_socklen>(link->local_length)},
      {reinterpret_cast<sockaddr *>(const_cast<sockaddr_storage *>(&to->sa)),
       static_cast<ngtcp2_socklen>(to->length)},
      nullptr};
  if (ngtcp2_conn_client_new(&link->conn, &dcid, &scid, &path,
                             NGTCP2_PROTO_VER_V1, &callbacks, &settings,
                             &params, nullptr, setup->user) != 0) {
    link->conn = nullptr;
    return -1;
  }
  ngtcp2_conn_set_tls_native_handle(link->conn, link->tls);
  return 0;
}

} // namespace

ngtcp2_tstamp quic_timestamp(probe_clock::time_point t) {
  return static_cast<ngtcp2_tstamp>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch())
          .count());
}

int quic_credentials(quic_shared *shared, const stream_options *options,
                     std::string *reason) {
  if (gnutls_certificate_allocate_credentials(&shared->credentials) != 0) {
    shared->credentials = nullptr;
    *reason = "TLS could not start";
    return -1;
  }
  if (options->insecure)
    return 0;
  const int loaded =
      options->ca_file
          ? gnutls_certificate_set_x509_trust_file(
                shared->credentials, options->ca_file, GNUTLS_X509_FMT_PEM)
          : gnutls_certificate_set_x509_system_trust(shared->credentials);
  if (loaded > 0)
    return 0;
  *reason = unreadable_ca(options);
  return -1;
}

void quic_credentials_free(quic_shared *shared) {
  if (shared->credentials)
    gnutls_certificate_free_credentials(shared->credentials);
  shared->credentials = nullptr;
}

int quic_link_start(quic_link *link, const quic_setup *setup, bool *early) {
  link->ref.get_conn = get_conn;
  link->ref.user_data = link;
  *early = false;
  if (start_tls(link, setup) != 0 || start_quic(link, setup) != 0)
    return -1;
  const quic_shared *shared = link->shared;
  if (!shared->session.empty() && shared->have_params) {
    ngtcp2_conn_set_early_remote_transport_params(link->conn, &shared->params);
    *early = true;
  }
  return 0;
}

void quic_link_goodbye(quic_link *link, sock_t sock,
                       probe_clock::time_point now) {
  if (!link->conn || ngtcp2_conn_is_in_closing_period(link->conn) ||
      ngtcp2_conn_is_in_draining_period(link->conn))
    return;
  ngtcp2_connection_close_error bye;
  ngtcp2_connection_close_error_set_application_error(&bye, DOQ_NO_ERROR,
                                                      nullptr, 0);
  ngtcp2_path_storage ps;
  ngtcp2_path_storage_zero(&ps);
  ngtcp2_pkt_info pi;
  std::uint8_t packet[PACKET_SIZE];
  const ngtcp2_ssize n = ngtcp2_conn_write_connection_close(
      link->conn, &ps.path, &pi, packet, sizeof packet, &bye,
      quic_timestamp(now));
  if (n > 0)
    (void)stream_send(sock, packet, static_cast<std::size_t>(n));
}

void quic_link_close(quic_link *link) {
  if (link->conn)
    ngtcp2_conn_del(link->conn);
  link->conn = nullptr;
  if (link->tls)
    gnutls_deinit(link->tls);
  link->tls = nullptr;
}

quic_handshake quic_link_handshake_done(quic_link *link, bool early) {
  quic_handshake said{false, false};
  if (early) {
    // GnuTLS tells only now whether the server took the 0-RTT data.
    said.early_taken =
        (gnutls_session_get_flags(link->tls) & GNUTLS_SFLAGS_EARLY_DATA) != 0;
    if (!said.early_taken)
      ngtcp2_conn_early_data_rejected(link->conn);
  }
  said.resumed = gnutls_session_is_resumed(link->tls) != 0;
  if (const ngtcp2_transport_params *p =
          ngtcp2_conn_get_remote_transport_params(link->conn)) {
    quic_shared *shared = link->shared;
    shared->params = *p;
    // Only the limits are kept; nothing points into this connection.
    shared->params.version_info_present = 0;
    shared->params.version_info = ngtcp2_version_info{};
    shared->have_params = true;
  }
  return said;
}

std::string quic_link_tls_failure(const quic_link *link) {
  std::string reason;
  const unsigned status = gnutls_session_get_verify_cert_status(link->tls);
  gnutls_datum_t text;
  if (status != 0 && gnutls_certificate_verification_status_print(
                         status, GNUTLS_CRT_X509, &text, 0) == 0) {
    reason.assign(reinterpret_cast<const char *>(text.data), text.size);
    gnutls_free(text.data);
    reason.erase(reason.find_last_not_of(' ') + 1);
  } else if (const char *alert = gnutls_alert_get_strname(
                 static_cast<gnutls_alert_description_t>(
                     ngtcp2_conn_get_tls_alert(link->conn)))) {
    reason = alert;
  }
  return reason;
}
