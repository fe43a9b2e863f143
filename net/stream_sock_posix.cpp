// Stream sockets on POSIX.
#include "net/stream_sock.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

sock_t stream_connect(const ns_address *ns, int *sys_error) {
  int fd =
      socket(ns->sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *sys_error = errno;
    return -1;
  }
  // Queries are small and wait for nothing.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&ns->sa),
              static_cast<socklen_t>(ns->length)) != 0 &&
      errno != EINPROGRESS) {
    *sys_error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

int stream_connect_result(sock_t sock) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(static_cast<int>(sock), SOL_SOCKET, SO_ERROR, &error,
                 &length) != 0)
    return errno;
  return error;
}

long stream_send(sock_t sock, const unsigned char *bytes, std::size_t length) {
  long n = send(static_cast<int>(sock), bytes, length, MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return SOCK_WOULD_BLOCK;
  return n;
}

long stream_recv(sock_t sock, unsigned char *buffer, std::size_t capacity) {
  long n = recv(static_cast<int>(sock), buffer, capacity, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return SOCK_WOULD_BLOCK;
  return n;
}

bool sock_has_route(const ns_address *ns) {
  int fd = socket(ns->sa.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&ns->sa),
                          static_cast<socklen_t>(ns->length)) == 0;
  close(fd);
  return ok;
}

sock_t datagram_connect(const ns_address *ns, sockaddr_storage *local,
                        int *local_length, int *sys_error) {
  int fd =
      socket(ns->sa.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *sys_error = errno;
    return -1;
  }
  socklen_t length = sizeof *local;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&ns->sa),
              static_cast<socklen_t>(ns->length)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(local), &length) != 0) {
    *sys_error = errno;
    close(fd);
    return -1;
  }
  *local_length = static_cast<int>(length);
  return fd;
}
