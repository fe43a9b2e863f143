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

int poller_add(poller *p, sock_t sock, int tag) {
  WSAPOLLFD fd{};
  fd.fd = static_cast<SOCKET>(sock);
  fd.events = POLLRDNORM;
  p->fds.push_back(fd);
  p->tags.push_back(tag);
  return 0;
}

int poller_wait(poller *p, int timeout_ms, int *ready, int capacity) {
  if (p->fds.empty()) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  int n = WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms);
  if (n < 0)
    return -1;
  int count = 0;
  for (std::size_t i = 0; i < p->fds.size() && count < capacity; ++i) {
    if (p->fds[i].revents != 0)
      ready[count++] = p->tags[i];
  }
  return count;
}

void poller_close(poller *p) {
  delete p;
}
