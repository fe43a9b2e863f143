// The stream transports' sockets: non-blocking stream connects, reads and
// writes for TCP (and TLS and HTTPS over it), and connected datagram
// sockets for QUIC; the engine waits on them through the poller. POSIX
// only (the terminal program's); the calls live in stream_sock_posix.cpp.
#ifndef NET_STREAM_SOCK_H
#define NET_STREAM_SOCK_H

#include "net/ns_address.h"
#include "net/sock.h"

#include <cstddef>

// A socket whose connect to `ns` has begun (or already ended); -1 with
// *sys_error set when it could not even begin.
sock_t stream_connect(const ns_address *ns, int *sys_error);
// Once writable: 0 when the connect succeeded, else its error code.
int stream_connect_result(sock_t sock);
// True when this host has a route to `ns` (a datagram socket's connect,
// which sends nothing).
bool sock_has_route(const ns_address *ns);
// A non-blocking datagram socket connected to `ns` (for QUIC), and the
// local address it was given; -1 with *sys_error set. stream_send and
// stream_recv move its datagrams.
sock_t datagram_connect(const ns_address *ns, sockaddr_storage *local,
                        int *local_length, int *sys_error);
// Bytes moved, SOCK_WOULD_BLOCK, 0 for a closed stream (read), or -1 with
// sock_error() set.
long stream_send(sock_t sock, const unsigned char *bytes, std::size_t length);
long stream_recv(sock_t sock, unsigned char *buffer, std::size_t capacity);

#endif
