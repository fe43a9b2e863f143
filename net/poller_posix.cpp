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

int poller_watch(poller *p, sock_t sock, int tag, int events) {
  epoll_event event{};
  event.events = ((events & POLL_READ) ? EPOLLIN : 0u) |
                 ((events & POLL_WRITE) ? EPOLLOUT : 0u);
  event.data.u32 = static_cast<unsigned>(tag);
  const int fd = static_cast<int>(sock);
  if (epoll_ctl(p->fd, EPOLL_CTL_MOD, fd, &event) == 0)
    return 0;
  return errno == ENOENT && epoll_ctl(p->fd, EPOLL_CTL_ADD, fd, &event) == 0
             ? 0
             : -1;
}

void poller_forget(poller *p, sock_t sock) {
  epoll_ctl(p->fd, EPOLL_CTL_DEL, static_cast<int>(sock), nullptr);
}

int poller_wait(poller *p, int timeout_ms, poller_event *ready, int capacity) {
  enum { BATCH = 64 };
  epoll_event events[BATCH];
  int n = epoll_wait(p->fd, events, capacity < BATCH ? capacity : BATCH,
                     timeout_ms);
  if (n < 0)
    return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    const unsigned e = events[i].events;
    const bool trouble = (e & (EPOLLERR | EPOLLHUP)) != 0;
    ready[i].tag = static_cast<int>(events[i].data.u32);
    ready[i].events = ((trouble || (e & EPOLLIN)) ? POLL_READ : 0) |
                      ((trouble || (e & EPOLLOUT)) ? POLL_WRITE : 0);
  }
  return n;
}

void poller_close(poller *p) {
  if (!p)
    return;
  close(p->fd);
  delete p;
}
