// The probe engine over DNS over TCP (RFC 7766): many queries pipelined on
// a few connections, replies matched out of order by ID and question, each
// probe judged as over UDP. A connection the server closes is opened again
// and its unanswered queries are sent again, without counting an attempt
// twice. Connection set-up is timed apart from the probes.
#ifndef NET_STREAM_ENGINE_H
#define NET_STREAM_ENGINE_H

#include "net/engine.h"

#include <cstdint>
#include <vector>

enum {
  STREAM_MAX_CONNECTIONS = 64,
};

struct stream_stats {
  int opened;         // connections set up
  int reconnections;  // of those, to replace one the server closed
  int setup_failures; // connects that failed
  int setup_error;    // the last failure's code (sock_error's)
  std::vector<std::int32_t> setup_us; // of each connection set up
};

// As engine_run, over `connections` connections (1 to
// STREAM_MAX_CONNECTIONS). A nameserver that refuses or cannot be reached
// fails the probes waiting for it with PROBE_ERROR_CONNECT; after as many
// failed connects in a row as a probe has attempts, the rest fail at once.
int stream_run(const ns_address *ns, const engine_settings *settings,
               int connections, const engine_job *job, stream_stats *stats);

#endif
