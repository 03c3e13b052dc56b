// What the Windows backend's files share among themselves. Only the backend includes this file:
// its folder is a private include path of the console's library, and the guard below stops any
// other file that reaches it by a longer path.
//
// The backend needs Windows 7 or later (or wine 8): Windows Sockets 2 (ws2_32, started as
// version 1.1), the console API, and the window manager for notices and the icon. It is built
// with mingw-w64's -posix compilers and a static runtime, so veldrin.exe needs no DLL beside it.
#pragma once

#ifndef VELDRIN_PLATFORM_BACKEND
#error "internal.h is the Windows backend's own; include platform/platform.h"
#endif

// The platform contract comes first: the Windows headers define macros (KEY_READ,
// CREATE_NEW_CONSOLE, ...) that would otherwise rewrite names declared in it.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Windows Sockets 2 before the rest of Windows, which would otherwise bring the old sockets.
#include <winsock2.h>

#include <windows.h>

namespace platform::windows {

// ---------------------------------------------------------------------------------------------
// Waits (thread.cpp)

// The calling thread's stop event, or null on a thread that is never ended (the main thread).
HANDLE current_stop_event();
// Waits for the handle (none when null) or the calling thread's stop event, whichever comes
// first, for at most timeout_ms (INFINITE for no limit). STOPPED when the thread is being
// ended, READY when the handle is signalled, TIMED_OUT, or FAILED.
WaitResult wait_for(HANDLE handle, DWORD timeout_ms);

// ---------------------------------------------------------------------------------------------
// Notices (notice.cpp)

// Called by thread_stop while it waits for a thread to finish: takes away any window the
// thread shows (a notice), so that its modal wait returns.
void close_thread_windows(DWORD thread_id);

// ---------------------------------------------------------------------------------------------
// The server's code page (charset.cpp)

// Standard output is a console whose output code page is not the server's: what is written
// to it is UTF-8, shown through WriteConsoleW, and keys are read as Unicode characters and
// handed on in UTF-8. Set once at start-up (output_shows_code_page), before any other thread.
extern bool console_converts;

// ---------------------------------------------------------------------------------------------
// What console_start found, and what is to be put back (terminal.cpp)

// Puts the console's input mode back as it was found; safe to call more than once and from
// the console control handler's thread.
void restore_input_mode();

// ---------------------------------------------------------------------------------------------
// The title (title.cpp)

// Called by console_start with the console's title as it found it (empty when there was none to
// read): get_console_title answers it until a title is set.
void keep_title_found(const char* title);

// ---------------------------------------------------------------------------------------------
// The main thread's interruptible waits (socket.cpp)

// Makes the event that interrupt_main_wait sets. Called by console_start; until then (and in
// programs that never call it) the waits cannot be interrupted.
void main_wait_start();

// ---------------------------------------------------------------------------------------------
// Console control events and crashes (signals.cpp)

// What console_start installs so that the events that end the process, and a crash, put the
// console back first.
void install_control_handler();

}  // namespace platform::windows
