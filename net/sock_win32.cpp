// The socket layer on Winsock.
#include "net/sock.h"

#include <cstring>

int sock_startup(void) {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void sock_cleanup(void) {
  WSACleanup();
}

sock_t sock_udp(void) {
  return static_cast<sock_t>(socket(AF_INET, SOCK_DGRAM, 0));
}

void sock_close(sock_t sock) {
  if (sock != -1) {
    closesocket(static_cast<SOCKET>(sock));
  }
}

int sock_set_timeout(sock_t sock, int ms) {
  // Winsock takes the timeout as a DWORD of milliseconds, not a timeval.
  DWORD value = static_cast<DWORD>(ms);
  return setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char *>(&value), sizeof value) == 0
             ? 0
             : -1;
}

long sock_sendto(sock_t sock, const unsigned char *bytes, int length,
                 const sockaddr_in *to) {
  return sendto(static_cast<SOCKET>(sock),
                reinterpret_cast<const char *>(bytes), length, 0,
                reinterpret_cast<const sockaddr *>(to), sizeof *to);
}

long sock_recvfrom(sock_t sock, unsigned char *buffer, int capacity,
                   sockaddr_in *from) {
  std::memset(from, 0, sizeof *from);
  int from_len = sizeof *from;
  int n = recvfrom(static_cast<SOCKET>(sock), reinterpret_cast<char *>(buffer),
                   capacity, 0, reinterpret_cast<sockaddr *>(from), &from_len);
  if (n >= 0) {
    return n;
  }
  // Winsock keeps the first part of a datagram that does not fit and reports
  // an error; its real length is lost, so say "longer than the buffer".
  if (WSAGetLastError() == WSAEMSGSIZE) {
    return static_cast<long>(capacity) + 1;
  }
  return -1;
}
