// What a QUIC connection's error means for its probes: a pure function of
// what ngtcp2 said and what the connection knew, so that every case can
// be checked without a network.
#ifndef NET_QUIC_ERRORS_H
#define NET_QUIC_ERRORS_H

#include <cstdint>
#include <string>

struct quic_error_facts {
  int error;  // ngtcp2's, from a read or a timer
  bool open;  // the handshake had finished
  bool heard; // a packet came from the server
  // The CONNECTION_CLOSE that the server sent, if any: its code (0: none,
  // or without error), whether the application's, and its reason phrase.
  std::uint64_t close_code;
  bool application;
  std::string close_reason;
  std::string tls_failure;  // for a failed handshake; "" when unknown
  std::string library_text; // ngtcp2's words for `error`
};

struct quic_failure {
  bool setup; // the set-up failed (else an open connection was lost)
  // PROBE_ERROR_; PROBE_ERROR_NONE for a connection closed as agreed.
  int cause;
  std::string reason;
};

quic_failure quic_failure_of(const quic_error_facts &facts);

// "0x" and the code in hexadecimal, as the codes are written.
std::string quic_hex_code(std::uint64_t code);

#endif
