// A worker thread's share of the list, probed against one nameserver.
#ifndef RUN_SLICE_WORKER_H
#define RUN_SLICE_WORKER_H

#include "net/engine.h"

struct slice_job {
  char **domains;
  int first;
  int last;                      // inclusive
  int total;                     // lines of the whole list
  const char *ns;                // the nameserver's text
  const engine_settings *engine; // how each name is probed
};

// The Windows program's probe of a name: one query in flight, two attempts
// of 2000 ms, type A, the classic wire. The terminal program starts from
// the same attempts and timeout.
enum {
  PROBE_ATTEMPTS = 2,
  REPLY_TIMEOUT_MS = 2000, // per attempt
};
extern const engine_settings CLASSIC_ENGINE;

int slice_worker(slice_job *job);

#endif
