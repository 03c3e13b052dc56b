// Notices on Windows: show_notice, as a message box with no owner.
//
// thread_stop takes a box away by closing the windows of the notifier's thread; the box then
// returns as if cancelled, and the stop is told from the user's Cancel by the thread's own
// stopping mark, which thread_stop sets before it closes anything. Where nobody can answer (the
// console's input is a pipe or a file) or no box can be shown (no desktop), the notice goes to
// standard error instead, each distinct message once, and is answered as the user would agree.
#include <cstring>

#include "internal.h"
#include "platform/common/notice_layout.h"

namespace platform {

namespace {

BOOL CALLBACK close_window(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

namespace windows {

void close_thread_windows(DWORD thread_id) {
    EnumThreadWindows(thread_id, close_window, 0);
}

}  // namespace windows

namespace {

// How often the box's own thread looks whether it is being ended.
constexpr UINT STOP_CHECK_MS = 50;

// Runs in the box's modal loop: a stop that came before the box had a window to close (on a
// slow machine thread_stop may give up first) still takes it away.
void CALLBACK check_stop(HWND, UINT, UINT_PTR, DWORD) {
    if (thread_stopping()) EnumThreadWindows(GetCurrentThreadId(), close_window, 0);
}

}  // namespace

// The box keeps its text until it is answered: follow is not asked.
int show_notice(const char* caption, const char* text, unsigned style, const char* (*)()) {
    if (thread_stopping()) return ANSWER_STOPPED;
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return notice_to_standard_error(caption, text, style, "\r\n");
    UINT_PTR timer = SetTimer(nullptr, 0, STOP_CHECK_MS, check_stop);
    int answer = MessageBoxA(nullptr, text, caption, style);
    if (timer) KillTimer(nullptr, timer);
    if (thread_stopping()) return ANSWER_STOPPED;
    if (answer == 0) return notice_to_standard_error(caption, text, style, "\r\n");
    return answer;
}

}  // namespace platform
