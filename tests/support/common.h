// What the support files share: error reports as exceptions, deadlines and descriptor closing.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

namespace harness::detail {

using Clock = std::chrono::steady_clock;

// Throws for a failed system call, with errno's text.
[[noreturn]] inline void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

inline Clock::time_point deadline_after(int timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

inline void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace harness::detail
