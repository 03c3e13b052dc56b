// Console control events and crashes on Windows: what console_start installs so that
// Ctrl+Break, the console window closing, a log-off, a shut-down and a crash leave the console's
// input mode and title as they were found.
//
// In mode 0 Ctrl+C is a key, not an event; before the keyboard reader sets that mode (and in
// command mode) Ctrl+C ends the console the same way.
#include "internal.h"

namespace platform::windows {

namespace {

BOOL WINAPI on_control_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            console_restore();
            // The status a console program ended by Ctrl+C or Ctrl+Break has.
            ExitProcess(STATUS_CONTROL_C_EXIT);
    }
    return FALSE;
}

// The last chance, for an exception nothing handled: the console is put back and the process
// ends here, with the exception's code as its status (what Windows gives a process that
// crashes), before the system's own handler can retitle the console or start a debugger. The
// process is terminated rather than exited: after a crash its runtime cannot be trusted.
LONG WINAPI on_crash(EXCEPTION_POINTERS* exception) {
    console_restore();
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void install_control_handler() {
    SetConsoleCtrlHandler(on_control_event, TRUE);
    SetUnhandledExceptionFilter(on_crash);
}

}  // namespace platform::windows
