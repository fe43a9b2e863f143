// For the GUI tests' variant of the program: a socket library that does not
// start, as on a machine whose Winsock is missing or broken.
#include "ui/window_win32.h"

int start_socket_library(void) {
  return -1;
}

void stop_socket_library(void) {}
