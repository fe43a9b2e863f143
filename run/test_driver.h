// One test run: every nameserver of the sequence, one pass each.
#ifndef RUN_TEST_DRIVER_H
#define RUN_TEST_DRIVER_H

#include "run/slice_worker.h"

enum {
  // At most ten workers run at a time.
  MAX_SLICES = 10,
};

extern const char public_dns_1[];
extern const char public_dns_2[];

int test_driver(char **domains);

// The slices of a list of `count` lines: fills `first` and `last` of
// bounds[0..n-1] and returns n (0 to 10); `domains` is left to the caller.
int build_slices(int count, slice_job bounds[MAX_SLICES]);

#endif
