// The socket layer on Winsock.
#include "net/sock.h"

#include <cstdio>
#include <cstring>

int sock_startup(void) {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void sock_cleanup(void) {
  WSACleanup();
}

void sock_close(sock_t sock) {
  if (sock != -1) {
    closesocket(static_cast<SOCKET>(sock));
  }
}

sock_t sock_udp_nonblocking(int family) {
  SOCKET sock = socket(family, SOCK_DGRAM, 0);
  if (sock == INVALID_SOCKET) {
    return -1;
  }
  u_long on = 1;
  // FIONBIO's value does not fit the long the call takes: its bits do.
  if (ioctlsocket(sock, static_cast<long>(FIONBIO), &on) != 0) {
    int error = WSAGetLastError();
    closesocket(sock);
    WSASetLastError(error);
    return -1;
  }
  return static_cast<sock_t>(sock);
}

long sock_send_to(sock_t sock, const unsigned char *bytes, int length,
                  const sockaddr *to, int to_length) {
  return sendto(static_cast<SOCKET>(sock),
                reinterpret_cast<const char *>(bytes), length, 0, to,
                to_length);
}

// Winsock gives no TTL without WSARecvMsg, which the Windows program has no
// use for.
int sock_tell_ttl(sock_t, int) {
  return -1;
}

long sock_recv_from(sock_t sock, unsigned char *buffer, int capacity,
                    sockaddr_storage *from, int *from_length, int *ip_ttl) {
  if (ip_ttl)
    *ip_ttl = -1;
  int length = sizeof *from;
  int n = recvfrom(static_cast<SOCKET>(sock), reinterpret_cast<char *>(buffer),
                   capacity, 0, reinterpret_cast<sockaddr *>(from), &length);
  *from_length = length;
  if (n >= 0) {
    return n;
  }
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    return SOCK_WOULD_BLOCK;
  }
  // Winsock keeps the first part of a datagram that does not fit and reports
  // an error; its real length is lost, so say "longer than the buffer".
  if (error == WSAEMSGSIZE) {
    return static_cast<long>(capacity) + 1;
  }
  return -1;
}

int sock_error(void) {
  return WSAGetLastError();
}

const char *sock_error_text(int code) {
  static thread_local char text[48];
  std::snprintf(text, sizeof text, "Winsock error %d", code);
  return text;
}
