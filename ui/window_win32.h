// Windows-only state of the user interface.
#ifndef UI_WINDOW_WIN32_H
#define UI_WINDOW_WIN32_H

#include <windows.h>

// The main dialog; set once at its initialisation, read by every thread.
extern HWND main_window;
extern HINSTANCE app_instance;

#endif
