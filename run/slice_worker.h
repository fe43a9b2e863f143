// A worker thread's share of the list, probed against the current nameserver.
#ifndef RUN_SLICE_WORKER_H
#define RUN_SLICE_WORKER_H

struct slice_job {
  char **domains;
  int first;
  int last; // inclusive
};

int slice_worker(slice_job *job);

#endif
