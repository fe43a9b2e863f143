// ngtcp2's errors in the probes' terms: before the handshake ends, a
// set-up failure (`connect` for silence or a close, `tls` for the
// certificate); after, a lost connection, closed as agreed or with a code
// (`quic`).
#include "net/quic_errors.h"

#include "net/engine.h"

#include <ngtcp2/ngtcp2.h>

#include <cstdio>

std::string quic_hex_code(std::uint64_t code) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(code));
  return text;
}

quic_failure quic_failure_of(const quic_error_facts &facts) {
  const int error = facts.error;
  if (error == NGTCP2_ERR_HANDSHAKE_TIMEOUT ||
      (error == NGTCP2_ERR_IDLE_CLOSE && !facts.open))
    return quic_failure{true, PROBE_ERROR_CONNECT,
                        facts.heard ? "the QUIC handshake did not finish"
                                    : "no reply to the QUIC handshake"};
  if (error == NGTCP2_ERR_CRYPTO && !facts.open)
    return quic_failure{true, PROBE_ERROR_TLS,
                        facts.tls_failure.empty() ? "handshake failed"
                                                  : facts.tls_failure};
  int cause = PROBE_ERROR_QUIC;
  std::string reason = facts.library_text;
  if (error == NGTCP2_ERR_DRAINING || error == NGTCP2_ERR_CLOSING ||
      error == NGTCP2_ERR_IDLE_CLOSE) {
    if (error == NGTCP2_ERR_IDLE_CLOSE || facts.close_code == 0) {
      cause = PROBE_ERROR_NONE; // closed as agreed
    } else {
      reason = "the connection closed with " +
               std::string(facts.application ? "application" : "transport") +
               " error code " + quic_hex_code(facts.close_code);
      if (!facts.close_reason.empty())
        reason += " (" + facts.close_reason + ")";
    }
  }
  if (!facts.open && cause == PROBE_ERROR_NONE)
    return quic_failure{
        true, PROBE_ERROR_CONNECT,
        "the server closed the connection during the handshake"};
  return quic_failure{!facts.open, cause, reason};
}
