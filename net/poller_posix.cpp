// The poller on Linux: epoll.
#include "net/poller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

struct poller {
  int fd;
};

poller *poller_open(void) {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0)
    return nullptr;
  poller *p = new (std::nothrow) poller{fd};
  if (!p)
    close(fd);
  return p;
}

int poller_add(poller *p, sock_t sock, int tag) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u32 = static_cast<unsigned>(tag);
  return epoll_ctl(p->fd, EPOLL_CTL_ADD, static_cast<int>(sock), &event) == 0
             ? 0
             : -1;
}

int poller_wait(poller *p, int timeout_ms, int *ready, int capacity) {
  enum { BATCH = 64 };
  epoll_event events[BATCH];
  int n = epoll_wait(p->fd, events, capacity < BATCH ? capacity : BATCH,
                     timeout_ms);
  if (n < 0)
    return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i)
    ready[i] = static_cast<int>(events[i].data.u32);
  return n;
}

void poller_close(poller *p) {
  if (!p)
    return;
  close(p->fd);
  delete p;
}
