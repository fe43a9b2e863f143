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

sock_t sock_udp(void) {
  return socket(AF_INET, SOCK_DGRAM, 0);
}

void sock_close(sock_t sock) {
  if (sock != -1) {
    close(static_cast<int>(sock));
  }
}

int sock_set_timeout(sock_t sock, int ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_RCVTIMEO, &tv,
                    sizeof tv) == 0
             ? 0
             : -1;
}

long sock_sendto(sock_t sock, const unsigned char *bytes, int length,
                 const sockaddr_in *to) {
  return sendto(static_cast<int>(sock), bytes, static_cast<size_t>(length), 0,
                reinterpret_cast<const sockaddr *>(to), sizeof *to);
}

long sock_recvfrom(sock_t sock, unsigned char *buffer, int capacity,
                   sockaddr_in *from) {
  std::memset(from, 0, sizeof *from);
  socklen_t from_len = sizeof *from;
  // POSIX truncates a datagram that does not fit without a word; MSG_TRUNC
  // makes Linux return its real length, so the caller can tell.
  return recvfrom(static_cast<int>(sock), buffer, static_cast<size_t>(capacity),
                  MSG_TRUNC, reinterpret_cast<sockaddr *>(from), &from_len);
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
