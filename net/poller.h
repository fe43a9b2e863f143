// Waiting on many sockets at once: epoll on Linux, WSAPoll on Windows, each
// in a thin file of its own.
#ifndef NET_POLLER_H
#define NET_POLLER_H

#include "net/sock.h"

struct poller;

// Null when the platform refuses one.
poller *poller_open(void);
// Watches `sock` for datagrams to read, known by `tag`; 0 or -1.
int poller_add(poller *p, sock_t sock, int tag);
// Waits up to `timeout_ms` (0: just looks) for sockets with something to
// read, and puts their tags in `ready`; their number, or -1.
int poller_wait(poller *p, int timeout_ms, int *ready, int capacity);
void poller_close(poller *p);

#endif
