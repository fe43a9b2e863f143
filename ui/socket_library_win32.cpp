// Starting and stopping Winsock for the program's sockets.
#include "ui/window_win32.h"

enum { WINSOCK_VERSION_2_2 = 0x0202 };

int start_socket_library(void) {
  WSADATA data;
  return WSAStartup(WINSOCK_VERSION_2_2, &data) == 0 ? 0 : -1;
}

void stop_socket_library(void) {
  WSACleanup();
}
