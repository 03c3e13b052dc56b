// What the POSIX implementation files share among themselves (never included outside
// src/platform).
#pragma once

namespace platform::posix {

// The calling thread's wake descriptor: readable once the thread is being ended. -1 for
// threads not started by thread_start (the main thread), which are never ended.
int current_wake_fd();

// Waits until fd is readable (fd may be -1: then only the time-out or a wake counts), the
// calling thread is being ended, or timeout_ms passes (-1: no time-out). Restarts after
// signals. Returns 1 when fd is readable, 0 on time-out, -2 when the thread is being ended,
// -1 on a poll failure.
int wait_readable(int fd, int timeout_ms);

}  // namespace platform::posix
