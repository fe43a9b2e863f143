// A plain UDP client for tests that talk to a nameserver directly.
#include "tests/support/fake_ns.h"

#ifdef _WIN32
#include <winsock2.h>
typedef SOCKET fake_socket;
typedef int fake_len;
static const fake_socket NO_SOCKET = INVALID_SOCKET;
static void close_fake_socket(fake_socket s) {
  closesocket(s);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int fake_socket;
typedef socklen_t fake_len;
static const fake_socket NO_SOCKET = -1;
static void close_fake_socket(fake_socket s) {
  close(s);
}
#endif

#include <cstring>

struct fake_client {
  fake_socket sock;
};

fake_client *fake_client_open(void) {
  fake_socket s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == NO_SOCKET)
    return nullptr;
  return new fake_client{s};
}

int fake_client_send(fake_client *c, const char *ip,
                     const std::vector<std::uint8_t> &bytes) {
  sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  to.sin_addr.s_addr = inet_addr(ip);
#ifdef _WIN32
  int length = static_cast<int>(bytes.size());
#else
  std::size_t length = bytes.size();
#endif
  sendto(c->sock, reinterpret_cast<const char *>(bytes.data()), length, 0,
         reinterpret_cast<const sockaddr *>(&to), sizeof to);
  return 0;
}

int fake_client_recv(fake_client *c, std::vector<std::uint8_t> &bytes,
                     std::string &from_ip, int &from_port, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(c->sock, &readable);
  timeval wait = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (select(static_cast<int>(c->sock + 1), &readable, nullptr, nullptr,
             &wait) <= 0)
    return -1;
  std::uint8_t buffer[4096];
  sockaddr_in from;
  fake_len from_len = sizeof from;
  long got = recvfrom(c->sock, reinterpret_cast<char *>(buffer), sizeof buffer,
                      0, reinterpret_cast<sockaddr *>(&from), &from_len);
  if (got < 0)
    return -1;
  bytes.assign(buffer, buffer + got);
  from_ip = inet_ntoa(from.sin_addr);
  from_port = ntohs(from.sin_port);
  return 0;
}

void fake_client_close(fake_client *c) {
  close_fake_socket(c->sock);
  delete c;
}
