// Threads and waits on Windows: sleep_ms of platform.h, and the threads that thread_start and
// thread_stop (common/thread_records.h) start and end.
//
// Every thread that may be ended owns a manual-reset stop event, and each of its waits
// (sleeps, the keyboard read) waits on that event as well, so thread_stop ends it promptly and
// then joins it. A thread is never killed with TerminateThread: one killed that way may hold
// the heap's lock, or the console's, for ever after.
#include <atomic>

#include "internal.h"
#include "platform/common/thread_records.h"

namespace platform {

namespace {

// Each thread's own part, at its record's index: its stop event, its handle and its id.
struct ThreadSystemPart {
    HANDLE stop_event = nullptr;
    HANDLE thread = nullptr;
    DWORD thread_id = 0;
};
ThreadSystemPart thread_parts[THREAD_RECORDS];

ThreadSystemPart& part_of(const ThreadRecord* record) {
    return thread_parts[thread_record_index(record)];
}

// How long thread_stop waits for a body to return before it leaves the thread behind.
constexpr DWORD STOP_WAIT_MS = 2000;
// While it waits, how often it takes away windows the thread may just have opened.
constexpr DWORD WINDOW_CLOSE_STEP_MS = 50;

DWORD WINAPI thread_entry(LPVOID record) {
    run_thread_record(static_cast<ThreadRecord*>(record));
    return 0;
}

}  // namespace

namespace windows {

HANDLE current_stop_event() {
    ThreadRecord* record = current_thread_record();
    return record ? part_of(record).stop_event : nullptr;
}

WaitResult wait_for(HANDLE handle, DWORD timeout_ms) {
    if (thread_stopping()) return WaitResult::STOPPED;
    HANDLE handles[2];
    DWORD count = 0;
    HANDLE stop = current_stop_event();
    if (stop) handles[count++] = stop;
    if (handle) handles[count++] = handle;
    if (count == 0) {
        Sleep(timeout_ms);
        return WaitResult::TIMED_OUT;
    }
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
    if (thread_stopping()) return WaitResult::STOPPED;
    if (result == WAIT_TIMEOUT) return WaitResult::TIMED_OUT;
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
        return handles[result - WAIT_OBJECT_0] == stop ? WaitResult::STOPPED : WaitResult::READY;
    }
    return WaitResult::FAILED;
}

}  // namespace windows

bool start_system_thread(ThreadRecord* record) {
    ThreadSystemPart& part = part_of(record);
    part.stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!part.stop_event) return false;
    part.thread = CreateThread(nullptr, 0, thread_entry, record, 0, &part.thread_id);
    if (part.thread) return true;
    CloseHandle(part.stop_event);
    part.stop_event = nullptr;
    return false;
}

bool join_stopping_thread(ThreadRecord* record) {
    ThreadSystemPart& part = part_of(record);
    SetEvent(part.stop_event);
    // Every wait of the thread watches the stop event; a notice's modal loop is ended by
    // closing its window. A body stuck elsewhere (a send to a peer that reads nothing) is left
    // behind after a while rather than holding the caller.
    DWORD waited = 0;
    for (;;) {
        windows::close_thread_windows(part.thread_id);
        DWORD step = WINDOW_CLOSE_STEP_MS;
        if (WaitForSingleObject(part.thread, step) == WAIT_OBJECT_0) break;
        waited += step;
        if (waited >= STOP_WAIT_MS) return false;
    }
    CloseHandle(part.thread);
    CloseHandle(part.stop_event);
    part.thread = nullptr;
    part.stop_event = nullptr;
    return true;
}

bool sleep_ms(unsigned milliseconds) {
    if (!current_thread_record()) {
        Sleep(milliseconds);
        return true;
    }
    return windows::wait_for(nullptr, milliseconds) != WaitResult::STOPPED;
}

}  // namespace platform
