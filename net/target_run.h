// One entry for a run against any target, whatever its transport: UDP,
// or the stream pool over TCP (RFC 7766), TLS (RFC 7858), HTTPS (RFC 8484,
// HTTP/2) or QUIC (RFC 9250). Over streams, many queries share a few
// connections: over TCP and TLS they are pipelined and the replies matched
// out of order by ID and question; over HTTPS and QUIC each is a stream of
// its own. A connection the server closes is opened again and its
// unanswered queries sent again, without counting an attempt twice.
// Connection set-up (TCP, the TLS handshake, the HTTP/2 preface) is timed
// apart from the probes. The terminal program's alone (OpenSSL, nghttp2;
// ngtcp2 and GnuTLS).
#ifndef NET_TARGET_RUN_H
#define NET_TARGET_RUN_H

#include "net/engine.h"
#include "net/ns_address.h"

#include <cstdint>
#include <string>
#include <vector>

enum {
  STREAM_MAX_CONNECTIONS = 64,
};

struct stream_options {
  int connections;     // 1 to STREAM_MAX_CONNECTIONS
  const char *ca_file; // trusted CAs instead of the system's; null for those
  bool insecure;       // no certificate check at all
  bool doh_get;        // GET with a "dns" parameter instead of POST
};

struct stream_stats {
  int opened = 0;         // connections set up
  int reconnections = 0;  // of those, to replace one the server closed
  int resumed = 0;        // of those, with a TLS session resumed
  int setup_failures = 0; // connects or handshakes that failed
  // The last set-up failure: PROBE_ERROR_CONNECT, PROBE_ERROR_TLS, ..., and
  // why, in a few words ("Connection refused", "certificate has expired").
  int failure = PROBE_ERROR_NONE;
  std::string reason;
  int http_status = 0; // the last HTTP status other than 200; 0 for none
  std::vector<std::int32_t> setup_us; // of each connection set up
  // Where the connections went: the address at which one was set up, or
  // else the first tried.
  ns_address address{};
  int zero_rtt = 0; // QUIC: connections whose 0-RTT queries were taken
  // QUIC: the last error code a connection or stream was closed with, in
  // words; empty for none.
  std::string closed_with;
  int sys_error = 0; // why no socket could be had: sock_error()'s code
};

// Whether the target's replies may come cut short for their size (TC),
// to be asked again over TCP: over UDP alone.
bool cut_short_by_size(const ns_target *target);

// Why the run's CA certificates could not be read, in a few words.
std::string unreadable_ca(const stream_options *options);

// Runs `job` over `target`'s transport; `options` are for streams. A
// nameserver that cannot be reached, or whose certificate or handshake
// fails, fails the probes waiting for it (PROBE_ERROR_CONNECT,
// PROBE_ERROR_TLS); after as many failed set-ups in a row as a probe has
// attempts, the rest fail at once. 0; or, when the run could not start,
// nothing is reported and the cause that every probe fails with
// (PROBE_ERROR_NETWORK for no socket, with stats->sys_error; the
// set-up's cause for a CA file that cannot be read, with stats->reason).
// Over UDP only stats->address and stats->sys_error are set.
int target_run(const ns_target *target, const engine_settings *settings,
               const stream_options *options, const engine_job *job,
               stream_stats *stats);

#endif
