// Notices on Windows: show_notice, as a message box with no owner.
//
// thread_stop takes a box away by closing the windows of the notifier's thread; the box then
// returns as if cancelled, and the stop is told from the user's Cancel by the thread's own
// stopping mark, which thread_stop sets before it closes anything. Where nobody can answer (the
// console's input is a pipe or a file) or no box can be shown (no desktop), the notice goes to
// standard error instead, each distinct message once, and is answered as the user would agree.
#include <atomic>
#include <cstring>

#include "internal.h"

namespace platform {

namespace {

BOOL CALLBACK close_window(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// Messages already written to standard error (the text's first bytes and its style).
constexpr int SHOWN_LIMIT = 32;
constexpr std::size_t SHOWN_PREFIX = 64;
char shown_messages[SHOWN_LIMIT][SHOWN_PREFIX];
unsigned shown_styles[SHOWN_LIMIT];
std::atomic<int> shown_count{0};
SRWLOCK shown_lock = SRWLOCK_INIT;

bool first_showing(const char* text, unsigned style) {
    AcquireSRWLockExclusive(&shown_lock);
    bool first = true;
    int count = shown_count.load();
    for (int i = 0; i < count && first; ++i)
        if (shown_styles[i] == style &&
            std::strncmp(shown_messages[i], text, SHOWN_PREFIX - 1) == 0)
            first = false;
    if (first && count < SHOWN_LIMIT) {
        std::strncpy(shown_messages[count], text, SHOWN_PREFIX - 1);
        shown_messages[count][SHOWN_PREFIX - 1] = '\0';
        shown_styles[count] = style;
        shown_count.store(count + 1);
    }
    ReleaseSRWLockExclusive(&shown_lock);
    return first;
}

int notice_to_standard_error(const char* caption, const char* text, unsigned style) {
    if (first_showing(text, style)) {
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        const char* parts[] = {caption, ": ", text, "\r\n"};
        for (const char* part : parts)
            WriteFile(error, part, static_cast<DWORD>(std::strlen(part)), &written, nullptr);
    }
    return style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
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

int show_notice(const char* caption, const char* text, unsigned style) {
    if (thread_stopping()) return ANSWER_STOPPED;
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return notice_to_standard_error(caption, text, style);
    UINT_PTR timer = SetTimer(nullptr, 0, STOP_CHECK_MS, check_stop);
    int answer = MessageBoxA(nullptr, text, caption, style);
    if (timer) KillTimer(nullptr, timer);
    if (thread_stopping()) return ANSWER_STOPPED;
    if (answer == 0) return notice_to_standard_error(caption, text, style);
    return answer;
}

}  // namespace platform
