// The socket layer on POSIX (Linux: the tests and benchmarks).
#include "net/sock.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int sock_startup(void) {
  return 0;
}

void sock_cleanup(void) {}

void sock_close(sock_t sock) {
  if (sock != -1) {
    close(static_cast<int>(sock));
  }
}

sock_t sock_udp_nonblocking(int family) {
  return socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

long sock_send_to(sock_t sock, const unsigned char *bytes, int length,
                  const sockaddr *to, int to_length) {
  return sendto(static_cast<int>(sock), bytes, static_cast<size_t>(length), 0,
                to, static_cast<socklen_t>(to_length));
}

long sock_recv_from(sock_t sock, unsigned char *buffer, int capacity,
                    sockaddr_storage *from, int *from_length) {
  socklen_t length = sizeof *from;
  long n =
      recvfrom(static_cast<int>(sock), buffer, static_cast<size_t>(capacity),
               MSG_TRUNC, reinterpret_cast<sockaddr *>(from), &length);
  *from_length = static_cast<int>(length);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return SOCK_WOULD_BLOCK;
  }
  return n;
}

int sock_error(void) {
  return errno;
}

const char *sock_error_text(int code) {
  return std::strerror(code);
}
