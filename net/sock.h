// Thin socket layer: the few calls the probe engine needs, the same on Winsock
// and POSIX. Everything platform-specific about sockets lives in sock_posix.cpp
// and sock_win32.cpp.
#ifndef NET_SOCK_H
#define NET_SOCK_H

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

// A socket handle, -1 when there is none (INVALID_SOCKET is ~0 on Windows).
typedef std::intptr_t sock_t;

// Starts the platform's socket library (Winsock 2.2); 0 on success, -1 on
// failure. Nothing to do on POSIX.
int sock_startup(void);
void sock_cleanup(void);

void sock_close(sock_t sock);

enum {
  SOCK_WOULD_BLOCK = -2, // nothing to read now
};

// An unbound, non-blocking UDP socket of `family` (AF_INET, AF_INET6);
// -1 with sock_error() set.
sock_t sock_udp_nonblocking(int family);
// Bytes sent, or -1 with sock_error() set.
long sock_send_to(sock_t sock, const unsigned char *bytes, int length,
                  const sockaddr *to, int to_length);
// One waiting datagram and its sender: its length (greater than `capacity`
// when it did not fit), SOCK_WOULD_BLOCK when none waits, or -1 with
// sock_error() set. With `ip_ttl`, the TTL (hop limit) its IP header came
// with, where the socket was asked to tell it (sock_tell_ttl) and the
// platform does; else -1.
long sock_recv_from(sock_t sock, unsigned char *buffer, int capacity,
                    sockaddr_storage *from, int *from_length,
                    int *ip_ttl = nullptr);
// Asks the socket to tell each datagram's IP TTL; 0, or -1 where the
// platform cannot.
int sock_tell_ttl(sock_t sock, int family);
// The error code of the last socket call that failed on this thread.
int sock_error(void);
// A short text for an error code of sock_error.
const char *sock_error_text(int code);

#endif
