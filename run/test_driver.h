// One test run: every nameserver of the sequence, one pass each.
#ifndef RUN_TEST_DRIVER_H
#define RUN_TEST_DRIVER_H

#include "run/local_dns.h"
#include "run/slice_worker.h"

enum {
  // At most ten workers run at a time.
  MAX_SLICES = 10,
};

int test_driver(char **domains);

// Ends the run in progress early, from any thread: once this returns, no
// report is being written and none will be; the driver then ends the run
// after its current pass. A report already under way is finished first.
// The next run starts afresh.
void stop_test(void);

// The slices of a list of `count` lines: fills `first` and `last` of
// bounds[0..n-1] and returns n (0 to 10); `domains` is left to the caller.
int build_slices(int count, slice_job bounds[MAX_SLICES]);

#endif
