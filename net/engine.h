// The probe engine: one nameserver, many names, many queries in flight
// over one transport (net/transport.h), each probe judged as the classic
// probe does (answer count, then authority count) or by the settings'
// judgement, with its attempts, timeout and an optional rate limit. It
// prints nothing: failures come back as codes.
#ifndef NET_ENGINE_H
#define NET_ENGINE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// Why a probe failed.
enum {
  PROBE_ERROR_NONE = 0,
  PROBE_ERROR_TIMEOUT,    // no reply to any attempt
  PROBE_ERROR_RCODE,      // a reply with neither answer nor authority
  PROBE_ERROR_TRUNCATED,  // a reply cut short (TC) with no answer
  PROBE_ERROR_UNSENDABLE, // the name has no wire form; nothing was sent
  PROBE_ERROR_NETWORK,    // the query could not be sent
  // The next code is the run's own (RUN_ERROR_IDNA), kept apart so that
  // every cause has one number.
  PROBE_ERROR_CONNECT = PROBE_ERROR_NETWORK + 2, // no stream could be set up
  PROBE_ERROR_TLS,    // its certificate or TLS handshake failed
  PROBE_ERROR_HTTP,   // an HTTP status other than 200
  PROBE_ERROR_FORMAT, // a reply that is no DNS message
  // The next two codes are the run's too (RUN_ERROR_REDIRECTED,
  // RUN_ERROR_SUSPECT).
  // A QUIC connection or stream closed with an error code.
  PROBE_ERROR_QUIC = PROBE_ERROR_FORMAT + 3,
  // A NOERROR reply that neither answers nor says there is no data (the
  // open rules'): an empty reply, or a referral.
  PROBE_ERROR_NOANSWER,
  // A new cause of the engine's takes the next code.
};

enum {
  ENGINE_MAX_CONCURRENCY = 10000,
  ENGINE_MAX_ATTEMPTS = 5,
};

struct engine_settings {
  int concurrency; // queries in flight, 1 to ENGINE_MAX_CONCURRENCY
  int timeout_ms;  // per attempt
  int attempts;    // 1 to ENGINE_MAX_ATTEMPTS
  double rate;     // at most this many queries a second; 0 for no limit
  int qtype;       // DNS_TYPE_A, ...
  // The Windows program's wire: every query, and every attempt of a name
  // that cannot be built, takes its ID from the process-wide query_id; a
  // reply is judged by sender and ID alone, and one too short or too long
  // ends its attempt as a reply that settles nothing does.
  bool classic;
  // A truncated reply ends the probe at once (the run asks again over TCP)
  // instead of ending its attempt.
  bool truncated_ends;
  // After the reply that decides a probe, its IDs and question are still
  // listened for this long (never past the attempt's deadline), and each
  // further reply goes to the job's `echo`; its place in flight is free
  // meanwhile. 0: not at all.
  int hold_ms = 0;
  // How a reply of `length` bytes to a query of `qtype` is judged (REPLY_);
  // null for the classic counts (answer, then authority).
  int (*judge)(const unsigned char *reply, long length, int qtype) = nullptr;
};

struct probe_result {
  std::int32_t outcome;      // PROBE_OK, PROBE_NEGATIVE, PROBE_FAILED
  std::int32_t attempts;     // queries sent
  std::int32_t reply_us;     // first query to the deciding reply; -1 for none
  std::int16_t rcode;        // of the last reply that counted; -1 for none
  std::int16_t error;        // PROBE_ERROR_, for a failed probe
  std::int32_t sys_error;    // with PROBE_ERROR_NETWORK: sock_error()'s code
  std::int32_t failed_sends; // attempts whose query could not be sent
  // The reply that decided the probe, while `done` runs; null for none.
  const unsigned char *reply;
  std::int32_t reply_length;
};

// A further reply to a probe already decided (see hold_ms): its bytes, the
// microseconds since the probe's first query, and the IP TTL it and the
// deciding reply came with (-1 where unknown).
struct probe_echo {
  const unsigned char *reply;
  long length;
  std::int32_t us;
  int ip_ttl;
  int first_ip_ttl;
};

// The names of one run of the engine, by index from 0: `name` gives each
// when its probe starts (the text must last until `done` is called for
// it); `done` takes each result, in the order the probes end, on the
// engine's thread. `stop`, when set, ends the run early: probes not yet
// decided are not reported.
struct engine_job {
  std::size_t count;
  const char *(*name)(std::size_t index, void *context);
  void (*done)(std::size_t index, const probe_result *result, void *context);
  void *context;
  const std::atomic<bool> *stop;
  // A further reply to a probe already decided, within the hold; null for
  // none.
  void (*echo)(std::size_t index, const probe_echo *echo,
               void *context) = nullptr;
  // An attempt ended without deciding the probe, and another follows;
  // null for none.
  void (*retrying)(std::size_t index, void *context) = nullptr;
};

class transport;

// Runs `job` over `t`. 0 when every probe was reported (or the job was
// stopped); -1 when the engine could not start (no poller, or the
// transport could not start: it keeps why); nothing is reported then.
int probe_run(transport *t, const engine_settings *settings,
              const engine_job *job);

#endif
