// One test run of the Windows program: every nameserver of the sequence,
// one pass each, the list cut into slices that workers probe side by side.
#ifndef RUN_TEST_DRIVER_H
#define RUN_TEST_DRIVER_H

#include "net/engine.h"
#include "run/local_dns.h"
#include "run/slice_worker.h"

enum {
  // At most ten workers run at a time.
  MAX_SLICES = 10,
  // Two local nameservers and two public resolvers.
  MAX_NAMESERVERS = 4,
};

// Everything a run goes by, handed to it whole.
struct driver_settings {
  char **domains; // the list's lines, as loaded
  int count;
  const char *log_path; // rewritten by the run; null for no log
  const char *nameservers[MAX_NAMESERVERS];
  int nameserver_count;
  int slices;             // workers, 1 to MAX_SLICES
  engine_settings engine; // each worker's: one query in flight
};

// The Windows program's run of `domains`: ./log.txt; the machine's
// nameservers, then each public resolver that none of them names; ten
// workers; two attempts of 2000 ms, type A, over IPv4.
driver_settings classic_driver_settings(char **domains, int count);

int test_driver(const driver_settings *settings);

// Ends the run in progress early, from any thread: once this returns, no
// report is being written and none will be; the driver then ends the run
// after its current pass. A report already under way is finished first.
// The next run starts afresh.
void stop_test(void);

// The slices of a list of `count` lines among at most `slices` workers:
// fills `first` and `last` of bounds[0..n-1] and returns n (0 to slices);
// the rest is left to the caller.
int build_slices(int count, int slices, slice_job bounds[MAX_SLICES]);

#endif
