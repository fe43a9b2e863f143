// ngtcp2 and GnuTLS for the QUIC transport: the run's credentials, one
// connection's TLS session and QUIC state set up and torn down, and what
// a finished handshake says. Every set-up call of the two libraries is
// here: their interfaces change between releases.
#ifndef NET_QUIC_GLUE_H
#define NET_QUIC_GLUE_H

#include "net/schedule.h"
#include "net/sock.h"
#include "net/target_run.h"

#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <gnutls/gnutls.h>

#include <string>

// What a run's connections share: TLS credentials, and what the last
// handshake left for the next.
struct quic_shared {
  gnutls_certificate_credentials_t credentials = nullptr;
  std::string session;            // the newest ticket the server gave
  ngtcp2_transport_params params; // the server's, for 0-RTT data
  bool have_params = false;
};

// One connection's QUIC and TLS state.
struct quic_link {
  quic_shared *shared = nullptr;
  ngtcp2_crypto_conn_ref ref{};
  ngtcp2_conn *conn = nullptr;
  gnutls_session_t tls = nullptr;
  sockaddr_storage local{};
  int local_length = 0;
};

// How a connection is set up; `events` holds the transport's own
// callbacks (the rest are filled in), called with `user`.
struct quic_setup {
  const char *host;         // "" for none
  const char *address_text; // checked against the certificate without one
  bool insecure;
  int timeout_ms; // the handshake's limit
  const ns_address *to;
  probe_clock::time_point now;
  ngtcp2_callbacks events;
  void *user;
};

ngtcp2_tstamp quic_timestamp(probe_clock::time_point t);

// The certificate checked against the system's CAs or the given file,
// unless told not to. 0, or -1 with why.
int quic_credentials(quic_shared *shared, const stream_options *options,
                     std::string *reason);
void quic_credentials_free(quic_shared *shared);

// TLS 1.3 with ALPN "doq", the name (or the address) checked, the last
// session resumed, and the QUIC state over it. 0, or -1 (the link is to
// be closed). *early: the first queries may go as 0-RTT data, within the
// limits the server gave last time.
int quic_link_start(quic_link *link, const quic_setup *setup, bool *early);
// A CONNECTION_CLOSE without error on `sock`, so that the server need not
// wait for its idle timeout; nothing once closing.
void quic_link_goodbye(quic_link *link, sock_t sock,
                       probe_clock::time_point now);
void quic_link_close(quic_link *link);

// What the finished handshake said: whether 0-RTT data was taken (when
// not, ngtcp2 is told, and drops those streams), and whether the session
// was resumed. The server's limits are kept for the next connection.
struct quic_handshake {
  bool early_taken;
  bool resumed;
};
quic_handshake quic_link_handshake_done(quic_link *link, bool early);
// Why the TLS handshake failed: the certificate's status as GnuTLS judged
// it, or the server's alert; "" when neither says.
std::string quic_link_tls_failure(const quic_link *link);

#endif
