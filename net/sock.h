// Thin socket layer: the few calls the probe needs, the same on Winsock and
// POSIX. Everything platform-specific about sockets lives in sock_posix.cpp
// and sock_win32.cpp.
#ifndef NET_SOCK_H
#define NET_SOCK_H

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

// A socket handle, -1 when there is none (INVALID_SOCKET is ~0 on Windows).
typedef std::intptr_t sock_t;

// Starts the platform's socket library (Winsock 2.2); 0 on success, -1 on
// failure. Nothing to do on POSIX.
int sock_startup(void);
void sock_cleanup(void);

#endif
