// Waiting on many sockets at once: epoll on Linux, WSAPoll on Windows, each
// in a thin file of its own. Datagram sockets are watched for reading;
// stream sockets for reading and, while they connect or have bytes to
// write, for writing.
#ifndef NET_POLLER_H
#define NET_POLLER_H

#include "net/sock.h"

struct poller;

enum {
  POLL_READ = 1,
  POLL_WRITE = 2,
};

struct poller_event {
  int tag;
  int events; // POLL_READ, POLL_WRITE; an error or a hang-up shows as both
};

// Null when the platform refuses one.
poller *poller_open(void);
// Watches `sock` for datagrams to read, known by `tag`; 0 or -1.
int poller_add(poller *p, sock_t sock, int tag);
// Watches `sock`, known by `tag`, for `events` (POLL_); a socket already
// watched gets these instead. 0 or -1.
int poller_watch(poller *p, sock_t sock, int tag, int events);
// Stops watching `sock`, before it is closed.
void poller_forget(poller *p, sock_t sock);
// Waits up to `timeout_ms` (0: just looks) for the events watched, and
// puts the sockets' tags and events in `ready`; their number, or -1.
int poller_wait(poller *p, int timeout_ms, poller_event *ready, int capacity);
void poller_close(poller *p);

#endif
