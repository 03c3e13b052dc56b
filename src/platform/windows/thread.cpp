// Threads and waits on Windows: thread_start, thread_stop, thread_stopping and sleep_ms.
//
// Every thread that may be ended owns a manual-reset stop event, and each of its waits
// (sleeps, the keyboard read) waits on that event as well, so thread_stop ends it promptly and
// then joins it. A thread is never killed with TerminateThread: one killed that way may hold
// the heap's lock, or the console's, for ever after.
#include <atomic>

#include "internal.h"

namespace platform {

struct ThreadRecord {
    std::atomic<int> in_use{0};
    std::atomic<int> stopping{0};
    HANDLE stop_event = nullptr;
    HANDLE thread = nullptr;
    DWORD thread_id = 0;
    void (*body)() = nullptr;
};

namespace {

// The console runs at most one input thread and one notifier at a time; a few more records
// cover notifiers that are being ended while the next one starts.
constexpr int THREAD_RECORDS = 8;
ThreadRecord thread_records[THREAD_RECORDS];
thread_local ThreadRecord* current_record = nullptr;

// How long thread_stop waits for a body to return before it leaves the thread behind.
constexpr DWORD STOP_WAIT_MS = 2000;
// While it waits, how often it takes away windows the thread may just have opened.
constexpr DWORD WINDOW_CLOSE_STEP_MS = 50;

DWORD WINAPI thread_entry(LPVOID argument) {
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    current_record = record;
    if (!record->stopping.load()) record->body();
    return 0;
}

}  // namespace

namespace windows {

HANDLE current_stop_event() {
    return current_record ? current_record->stop_event : nullptr;
}

WaitResult wait_for(HANDLE handle, DWORD timeout_ms) {
    if (current_record && current_record->stopping.load()) return WaitResult::STOPPED;
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
    if (current_record && current_record->stopping.load()) return WaitResult::STOPPED;
    if (result == WAIT_TIMEOUT) return WaitResult::TIMED_OUT;
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
        return handles[result - WAIT_OBJECT_0] == stop ? WaitResult::STOPPED : WaitResult::READY;
    }
    return WaitResult::FAILED;
}

}  // namespace windows

ThreadHandle thread_start(void (*body)()) {
    for (ThreadRecord& record : thread_records) {
        int expected = 0;
        if (!record.in_use.compare_exchange_strong(expected, 1)) continue;
        record.stopping.store(0);
        record.body = body;
        record.stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        record.thread = record.stop_event
                            ? CreateThread(nullptr, 0, thread_entry, &record, 0, &record.thread_id)
                            : nullptr;
        if (!record.thread) {
            if (record.stop_event) CloseHandle(record.stop_event);
            record.stop_event = nullptr;
            record.in_use.store(0);
            return nullptr;
        }
        return &record;
    }
    return nullptr;
}

void thread_stop(ThreadHandle thread) {
    if (!thread || !thread->in_use.load()) return;
    if (thread->thread_id == GetCurrentThreadId()) return;  // a thread cannot end itself here
    thread->stopping.store(1);
    SetEvent(thread->stop_event);
    // Every wait of the thread watches the stop event; a notice's modal loop is ended by
    // closing its window. A body stuck elsewhere (a send to a peer that reads nothing) is left
    // behind after a while rather than holding the caller.
    DWORD waited = 0;
    for (;;) {
        windows::close_thread_windows(thread->thread_id);
        DWORD step = WINDOW_CLOSE_STEP_MS;
        if (WaitForSingleObject(thread->thread, step) == WAIT_OBJECT_0) break;
        waited += step;
        if (waited >= STOP_WAIT_MS) return;  // the record stays in use: its thread may touch it
    }
    CloseHandle(thread->thread);
    CloseHandle(thread->stop_event);
    thread->thread = nullptr;
    thread->stop_event = nullptr;
    thread->in_use.store(0);
}

bool thread_stopping() {
    return current_record && current_record->stopping.load();
}

bool sleep_ms(unsigned milliseconds) {
    if (!current_record) {
        Sleep(milliseconds);
        return true;
    }
    return windows::wait_for(nullptr, milliseconds) != WaitResult::STOPPED;
}

}  // namespace platform
