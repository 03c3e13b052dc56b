// Threads and waits: the Threads and waiting part of platform.h, over pthreads and eventfd.
//
// POSIX has no safe way to end a thread wherever it is, so every wait of a thread that may be
// ended goes through wait_readable, which also watches the thread's wake descriptor; ending a
// thread marks it, makes that descriptor readable and waits for the body to return.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "internal.h"
#include "platform/platform.h"

namespace platform {

struct ThreadRecord {
    std::atomic<int> in_use{0};
    std::atomic<int> stopping{0};
    std::atomic<int> finished{0};
    int wake_fd = -1;
    pthread_t thread{};
    void (*body)() = nullptr;
};

namespace {

// The console runs at most one input thread and one notifier at a time; a few more records
// cover notifiers that are being ended while the next one starts.
constexpr int THREAD_RECORDS = 8;
ThreadRecord thread_records[THREAD_RECORDS];
thread_local ThreadRecord* current_record = nullptr;

long milliseconds_between(const timespec& from, const timespec& to) {
    return (to.tv_sec - from.tv_sec) * 1000L + (to.tv_nsec - from.tv_nsec) / 1000000L;
}

void* thread_entry(void* argument) {
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    current_record = record;
    if (!record->stopping.load()) record->body();
    record->finished.store(1);
    return nullptr;
}

}  // namespace

namespace posix {

int current_wake_fd() {
    return current_record ? current_record->wake_fd : -1;
}

WaitResult wait_readable(int fd, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (current_record && current_record->stopping.load()) return WaitResult::STOPPED;
        pollfd fds[2];
        int count = 0;
        if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
        int wake = current_wake_fd();
        if (wake >= 0) fds[count++] = {wake, POLLIN, 0};
        int remaining = timeout_ms;
        if (timeout_ms >= 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long spent = milliseconds_between(start, now);
            remaining = spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
        }
        int ready = poll(count ? fds : nullptr, static_cast<nfds_t>(count), remaining);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return WaitResult::FAILED;
        }
        if (current_record && current_record->stopping.load()) return WaitResult::STOPPED;
        if (ready == 0) {
            if (timeout_ms >= 0) return WaitResult::TIMED_OUT;
            continue;
        }
        if (fd >= 0 && fds[0].revents) return WaitResult::READY;
    }
}

}  // namespace posix

ThreadHandle thread_start(void (*body)()) {
    for (ThreadRecord& record : thread_records) {
        int expected = 0;
        if (!record.in_use.compare_exchange_strong(expected, 1)) continue;
        record.stopping.store(0);
        record.finished.store(0);
        record.body = body;
        record.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (record.wake_fd < 0 || pthread_create(&record.thread, nullptr, thread_entry, &record)) {
            if (record.wake_fd >= 0) close(record.wake_fd);
            record.wake_fd = -1;
            record.in_use.store(0);
            return nullptr;
        }
        return &record;
    }
    return nullptr;
}

void thread_stop(ThreadHandle thread) {
    if (!thread || !thread->in_use.load()) return;
    if (pthread_equal(thread->thread, pthread_self())) return;  // a thread cannot end itself here
    thread->stopping.store(1);
    std::uint64_t one = 1;
    ssize_t written = write(thread->wake_fd, &one, sizeof one);
    (void)written;
    // Every wait of the thread watches the wake descriptor, so it returns promptly; a body
    // stuck elsewhere (a send to a peer that reads nothing) is left behind after a while
    // rather than holding the caller.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    if (pthread_timedjoin_np(thread->thread, nullptr, &deadline) != 0) {
        pthread_detach(thread->thread);
        return;  // the record stays in use: its thread may still touch it
    }
    close(thread->wake_fd);
    thread->wake_fd = -1;
    thread->in_use.store(0);
}

bool thread_stopping() {
    return current_record && current_record->stopping.load();
}

bool sleep_ms(unsigned milliseconds) {
    if (!current_record) {
        // A thread that is never ended (the main thread) sleeps to a deadline: a poll time-out
        // may run late by a thousandth of its length, which a command-mode run pays twice.
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
        return true;
    }
    int timeout = milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
    return posix::wait_readable(-1, timeout) != WaitResult::STOPPED;
}

}  // namespace platform
