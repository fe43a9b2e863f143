// What both platforms' pollers share.
#include "net/poller.h"

int poller_add(poller *p, sock_t sock, int tag) {
  return poller_watch(p, sock, tag, POLL_READ);
}

int poller_wait(poller *p, int timeout_ms, int *ready, int capacity) {
  enum { BATCH = 64 };
  poller_event events[BATCH];
  const int n = poller_wait_events(p, timeout_ms, events,
                                   capacity < BATCH ? capacity : BATCH);
  for (int i = 0; i < n; ++i)
    ready[i] = events[i].tag;
  return n;
}
