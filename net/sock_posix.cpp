// The socket layer on POSIX (Linux: the tests and benchmarks).
#include "net/sock.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
