// What both platforms' pollers share.
#include "net/poller.h"

int poller_add(poller *p, sock_t sock, int tag) {
  return poller_watch(p, sock, tag, POLL_READ);
}
