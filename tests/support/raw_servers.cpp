#include "raw_servers.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "address_file.h"
#include "common.h"
#include "console_process.h"

namespace harness {

using detail::close_fd;
using detail::deadline_after;
using detail::fail;

RawListener::RawListener() {
    fd_ = detail::bound_loopback_socket(&port_);
    if (::listen(fd_, 16) != 0) fail("listen");
}

RawListener::~RawListener() {
    close_fd(fd_);
}

int RawListener::accept_within(int timeout_ms) const {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void reset_socket(int fd) {
    linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
}

std::string receive_exactly(int fd, std::size_t count, int timeout_ms) {
    std::string got;
    auto deadline = deadline_after(timeout_ms);
    while (got.size() < count && detail::Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) != 1) continue;
        char buffer[256];
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

ClosingServer::ClosingServer(std::set<int> hold) : hold_(std::move(hold)) {
    thread_ = std::thread([this] { run(); });
}

ClosingServer::~ClosingServer() {
    stopping_.store(true);
    thread_.join();
    release();
}

bool ClosingServer::wait_until_holding(int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return accepted_ >= count && held_ >= 0; });
}

int ClosingServer::accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

void ClosingServer::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_fd(held_);
}

void ClosingServer::run() {
    while (!stopping_.load()) {
        int fd = listener_.accept_within(100);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
        if (hold_.count(accepted_) != 0 && held_ < 0) {
            held_ = fd;
        } else {
            ::close(fd);
        }
        changed_.notify_all();
    }
}

FullQueueListener::FullQueueListener() {
    listen_fd_ = detail::bound_loopback_socket(&port_);
    if (::listen(listen_fd_, 0) != 0) fail("listen");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(LOOPBACK);
    // A backlog of 0 still holds one connection; a few more fill whatever it holds.
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pollfd last{fillers_.back(), POLLOUT, 0};
    full_ = ::poll(&last, 1, 300) == 0;
}

FullQueueListener::~FullQueueListener() {
    for (int& fd : fillers_) close_fd(fd);
    close_fd(listen_fd_);
}

SilentNameServer::SilentNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(LOOPBACK);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close_fd(fd_);
    }
}

SilentNameServer::~SilentNameServer() {
    close_fd(fd_);
}

bool SilentNameServer::wait_for_query(int timeout_ms) const {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, timeout_ms) == 1;
}

SilentResolverLauncher::SilentResolverLauncher(const TempDir& dir) {
    if (std::getenv("VELDRIN_CONSOLE_LAUNCHER") || ::access("/usr/bin/unshare", X_OK) != 0) return;
    std::string resolv =
        dir.write_file("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    std::string script =
        dir.write_file("with-silent-resolver", "#!/bin/sh\nmount --bind " + resolv +
                                                   " /etc/resolv.conf || exit 97\nexec \"$@\"\n");
    ::chmod(script.c_str(), 0755);
    ProcessOptions options;
    options.program = "/usr/bin/unshare";
    ConsoleProcess probe({"-m", script, "/bin/true"}, options);
    if (!probe.wait_exit(15000) || probe.exit_status() != 0) return;
    words_ = "/usr/bin/unshare -m " + script;
}

SilentResolverLauncher::~SilentResolverLauncher() {
    if (usable()) ::unsetenv("VELDRIN_CONSOLE_LAUNCHER");
}

void SilentResolverLauncher::apply() const {
    ::setenv("VELDRIN_CONSOLE_LAUNCHER", words_.c_str(), 1);
}

}  // namespace harness
