// The records of the threads thread_start starts: which are in use, which threads are being
// ended, and the calling thread's own; and thread_start, thread_stop and thread_stopping of
// platform.h over them. Portable: a backend keeps its system's part of each thread (its
// handle, its stop signal) beside the record, at the record's index, and starts and joins the
// system's threads.
#pragma once

#include <atomic>

#include "platform/platform.h"

namespace platform {

// The console runs at most one input thread and one notifier at a time; a few more records
// cover notifiers that are being ended while the next one starts.
constexpr int THREAD_RECORDS = 8;

struct ThreadRecord {
    std::atomic<int> in_use{0};
    std::atomic<int> stopping{0};
    void (*body)() = nullptr;
};

// The record's index, 0 to THREAD_RECORDS - 1.
int thread_record_index(const ThreadRecord* record);

// The thread's whole life, on the new thread: the record becomes the calling thread's, and the
// body runs unless the thread was being ended before it began.
void run_thread_record(ThreadRecord* record);
// The calling thread's record: null on a thread thread_start did not start (the main thread),
// which is never ended.
ThreadRecord* current_thread_record();

// The backend's side of thread_start and thread_stop (its thread.cpp).
//
// Makes the system's part of the record's thread and starts the thread, which calls
// run_thread_record(record). False, with nothing left made, when it cannot.
bool start_system_thread(ThreadRecord* record);
// Wakes the thread, already marked as being ended, from its wait, and waits (boundedly) for it
// to return. True when it has returned, its system part let go; false when it is left behind
// (its record then stays in use: the thread may still touch it).
bool join_stopping_thread(ThreadRecord* record);

}  // namespace platform
