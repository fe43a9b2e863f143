// The poller on Windows: WSAPoll over the sockets watched.
#include "net/poller.h"

#include <new>
#include <vector>

struct poller {
  std::vector<WSAPOLLFD> fds;
  std::vector<int> tags;
};

poller *poller_open(void) {
  return new (std::nothrow) poller();
}

int poller_watch(poller *p, sock_t sock, int tag, int events) {
  const SHORT wanted =
      static_cast<SHORT>(((events & POLL_READ) ? POLLRDNORM : 0) |
                         ((events & POLL_WRITE) ? POLLWRNORM : 0));
  for (std::size_t i = 0; i < p->fds.size(); ++i) {
    if (p->fds[i].fd == static_cast<SOCKET>(sock)) {
      p->fds[i].events = wanted;
      p->tags[i] = tag;
      return 0;
    }
  }
  WSAPOLLFD fd{};
  fd.fd = static_cast<SOCKET>(sock);
  fd.events = wanted;
  p->fds.push_back(fd);
  p->tags.push_back(tag);
  return 0;
}

void poller_forget(poller *p, sock_t sock) {
  for (std::size_t i = 0; i < p->fds.size(); ++i) {
    if (p->fds[i].fd == static_cast<SOCKET>(sock)) {
      p->fds.erase(p->fds.begin() + static_cast<long>(i));
      p->tags.erase(p->tags.begin() + static_cast<long>(i));
      return;
    }
  }
}

int poller_wait(poller *p, int timeout_ms, poller_event *ready, int capacity) {
  if (p->fds.empty()) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  int n = WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms);
  if (n < 0)
    return -1;
  int count = 0;
  for (std::size_t i = 0; i < p->fds.size() && count < capacity; ++i) {
    const SHORT r = p->fds[i].revents;
    if (r == 0)
      continue;
    const bool trouble = (r & (POLLERR | POLLHUP)) != 0;
    ready[count].tag = p->tags[i];
    ready[count].events = ((trouble || (r & POLLRDNORM)) ? POLL_READ : 0) |
                          ((trouble || (r & POLLWRNORM)) ? POLL_WRITE : 0);
    ++count;
  }
  return count;
}

void poller_close(poller *p) {
  delete p;
}
