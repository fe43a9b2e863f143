// The socket layer on POSIX (Linux: the tests and benchmarks).
#include "net/sock.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/uio.h>
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
                    sockaddr_storage *from, int *from_length, int *ip_ttl) {
  iovec data = {buffer, static_cast<size_t>(capacity)};
  // Room for one TTL or hop limit.
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int)) * 2];
  msghdr message{};
  message.msg_name = from;
  message.msg_namelen = sizeof *from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = ip_ttl ? control : nullptr;
  message.msg_controllen = ip_ttl ? sizeof control : 0;
  long n = recvmsg(static_cast<int>(sock), &message, MSG_TRUNC);
  *from_length = static_cast<int>(message.msg_namelen);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return SOCK_WOULD_BLOCK;
  }
  if (ip_ttl) {
    *ip_ttl = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); n >= 0 && c;
         c = CMSG_NXTHDR(&message, c)) {
      if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
          (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT))
        std::memcpy(ip_ttl, CMSG_DATA(c), sizeof(int));
    }
  }
  return n;
}

int sock_tell_ttl(sock_t sock, int family) {
  const int on = 1;
  return family == AF_INET6 ? setsockopt(static_cast<int>(sock), IPPROTO_IPV6,
                                         IPV6_RECVHOPLIMIT, &on, sizeof on)
                            : setsockopt(static_cast<int>(sock), IPPROTO_IP,
                                         IP_RECVTTL, &on, sizeof on);
}

int sock_error(void) {
  return errno;
}

const char *sock_error_text(int code) {
  return std::strerror(code);
}
