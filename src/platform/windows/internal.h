// What the Windows backend's files share, beyond the platform contract.
//
// The backend needs Windows 7 or later (or wine 8): Windows Sockets 2 (ws2_32, started as
// version 1.1), the console API, and the window manager for notices and the icon. It is built
// with mingw-w64's -posix compilers and a static runtime, so veldrin.exe needs no DLL beside it.
#pragma once

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

// The calling thread's stop event, or null on a thread that is never ended (the main thread).
HANDLE current_stop_event();
// Waits for the handle (none when null) or the calling thread's stop event, whichever comes
// first, for at most timeout_ms (INFINITE for no limit). STOPPED when the thread is being
// ended, READY when the handle is signalled, TIMED_OUT, or FAILED.
WaitResult wait_for(HANDLE handle, DWORD timeout_ms);
// Called by thread_stop while it waits for a thread to finish: takes away any window the
// thread shows (a notice), so that its modal wait returns.
void close_thread_windows(DWORD thread_id);
// Standard output is a console whose output code page is not the server's: what is written
// to it is UTF-8, shown through WriteConsoleW, and keys are read as Unicode characters and
// handed on in UTF-8. Set once at start-up (output_shows_code_page), before any other thread.
extern bool console_converts;
// Puts the console's input mode back as it was found; safe to call more than once and from
// the console control handler's thread.
void restore_input_mode();

}  // namespace platform::windows
