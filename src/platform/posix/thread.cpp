// Threads and waits: sleep_ms of platform.h, and the threads that thread_start and thread_stop
// (common/thread_records.h) start and end, over pthreads and eventfd.
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
#include "platform/common/thread_records.h"
#include "platform/platform.h"

namespace platform {

namespace {

// Each thread's own part, at its record's index: its wake descriptor and its pthread.
struct ThreadSystemPart {
    int wake_fd = -1;
    pthread_t thread{};
};
ThreadSystemPart thread_parts[THREAD_RECORDS];

ThreadSystemPart& part_of(const ThreadRecord* record) {
    return thread_parts[thread_record_index(record)];
}

long milliseconds_between(const timespec& from, const timespec& to) {
    return (to.tv_sec - from.tv_sec) * 1000L + (to.tv_nsec - from.tv_nsec) / 1000000L;
}

void* thread_entry(void* record) {
    run_thread_record(static_cast<ThreadRecord*>(record));
    return nullptr;
}

}  // namespace

namespace posix {

int current_wake_fd() {
    ThreadRecord* record = current_thread_record();
    return record ? part_of(record).wake_fd : -1;
}

WaitResult wait_readable(int fd, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (thread_stopping()) return WaitResult::STOPPED;
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
        if (thread_stopping()) return WaitResult::STOPPED;
        if (ready == 0) {
            if (timeout_ms >= 0) return WaitResult::TIMED_OUT;
            continue;
        }
        if (fd >= 0 && fds[0].revents) return WaitResult::READY;
    }
}

bool start_detached_thread(void* (*body)(void*), void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t thread;
    bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                   pthread_create(&thread, &attributes, body, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace posix

bool start_system_thread(ThreadRecord* record) {
    ThreadSystemPart& part = part_of(record);
    part.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (part.wake_fd < 0) return false;
    if (pthread_create(&part.thread, nullptr, thread_entry, record) == 0) return true;
    close(part.wake_fd);
    part.wake_fd = -1;
    return false;
}

bool join_stopping_thread(ThreadRecord* record) {
    ThreadSystemPart& part = part_of(record);
    std::uint64_t one = 1;
    ssize_t written = write(part.wake_fd, &one, sizeof one);
    (void)written;
    // Every wait of the thread watches the wake descriptor, so it returns promptly; a body
    // stuck elsewhere (a send to a peer that reads nothing) is left behind after a while
    // rather than holding the caller.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    if (pthread_timedjoin_np(part.thread, nullptr, &deadline) != 0) {
        pthread_detach(part.thread);
        return false;
    }
    close(part.wake_fd);
    part.wake_fd = -1;
    return true;
}

bool sleep_ms(unsigned milliseconds) {
    if (!current_thread_record()) {
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
