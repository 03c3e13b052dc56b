// The records of the threads thread_start starts: thread_start, thread_stop and thread_stopping
// of platform.h.
#include "platform/common/thread_records.h"

namespace platform {

namespace {

ThreadRecord thread_records[THREAD_RECORDS];
thread_local ThreadRecord* current_record = nullptr;

}  // namespace

int thread_record_index(const ThreadRecord* record) {
    return static_cast<int>(record - thread_records);
}

void run_thread_record(ThreadRecord* record) {
    current_record = record;
    if (!record->stopping.load()) record->body();
}

ThreadRecord* current_thread_record() {
    return current_record;
}

ThreadHandle thread_start(void (*body)()) {
    for (ThreadRecord& record : thread_records) {
        int expected = 0;
        if (!record.in_use.compare_exchange_strong(expected, 1)) continue;
        record.stopping.store(0);
        record.body = body;
        if (start_system_thread(&record)) return &record;
        record.in_use.store(0);
        return nullptr;
    }
    return nullptr;
}

void thread_stop(ThreadHandle thread) {
    // A thread cannot end itself here.
    if (!thread || !thread->in_use.load() || thread == current_record) return;
    thread->stopping.store(1);
    if (join_stopping_thread(thread)) thread->in_use.store(0);
}

bool thread_stopping() {
    return current_record && current_record->stopping.load();
}

}  // namespace platform
