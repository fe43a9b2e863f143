// Windows-only state and procedures of the user interface.
#ifndef UI_WINDOW_WIN32_H
#define UI_WINDOW_WIN32_H

#include <winsock2.h>
#include <windows.h>

// The channel's enabling of a run button, sent to the main window so that
// its own thread applies it, together with its run state: wParam the
// control's id, lParam 1 to enable and 0 to disable.
enum { WM_RUN_BUTTON = WM_APP + 1 };

// The main dialog; set once at its initialisation, read by every thread.
extern HWND main_window;
extern HINSTANCE app_instance;

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam);
INT_PTR CALLBACK about_dialog_proc(HWND window, UINT message, WPARAM wparam,
                                   LPARAM lparam);

// Winsock 2.2, kept apart from the dialog so that a test build can link a
// library that refuses to start. 0 on success, -1 on failure.
int start_socket_library(void);
void stop_socket_library(void);

#endif
