// Servers the scripted server cannot play, as it accepts, reads and holds every connection on
// its own: a bare listener the test drives itself, a server that closes what it accepts, a
// listener that never accepts, and a name server that never answers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace harness {

// A TCP listener on 127.0.0.1 driven directly by the test, for servers that must do things the
// scripted server would wait on (a reset while the console is not reading).
class RawListener {
  public:
    RawListener();
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    std::uint16_t port() const { return port_; }
    // The next connection, or -1 when none came in time.
    int accept_within(int timeout_ms) const;

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Closes a connection with a reset (no orderly end of stream).
void reset_socket(int fd);
// Reads exactly count bytes from a connection, or what came within timeout_ms.
std::string receive_exactly(int fd, std::size_t count, int timeout_ms);

// A server that closes every connection as soon as it has accepted it, except the ones the test
// asks it to hold (counted from 1), which stay open until released.
class ClosingServer {
  public:
    explicit ClosingServer(std::set<int> hold);
    ~ClosingServer();
    ClosingServer(const ClosingServer&) = delete;
    ClosingServer& operator=(const ClosingServer&) = delete;

    std::uint16_t port() const { return listener_.port(); }
    // Waits until connection number count is being held.
    bool wait_until_holding(int count, int timeout_ms);
    int accepted() const;
    void release();

  private:
    void run();

    RawListener listener_;
    std::set<int> hold_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int accepted_ = 0;
    int held_ = -1;
    std::thread thread_;
};

// A listener whose accept queue is full: the system drops further connection requests, so a
// connect to it waits for the kernel's SYN retries (minutes). Nothing is ever accepted.
class FullQueueListener {
  public:
    FullQueueListener();
    ~FullQueueListener();
    FullQueueListener(const FullQueueListener&) = delete;
    FullQueueListener& operator=(const FullQueueListener&) = delete;

    std::uint16_t port() const { return port_; }
    // True when a connect to it is indeed left waiting.
    bool full() const { return full_; }

  private:
    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
    bool full_ = false;
};

// A name server on 127.0.0.1:53 that takes every query and never answers.
class SilentNameServer {
  public:
    SilentNameServer();
    ~SilentNameServer();
    SilentNameServer(const SilentNameServer&) = delete;
    SilentNameServer& operator=(const SilentNameServer&) = delete;

    // False when the port could not be had.
    bool listening() const { return fd_ >= 0; }
    // Waits until a query has come.
    bool wait_for_query(int timeout_ms) const;

  private:
    int fd_ = -1;
};

// Runs the console through a launcher that gives it a mount namespace of its own in which
// /etc/resolv.conf names the silent name server, for as long as it lives. Its files go in dir.
class SilentResolverLauncher {
  public:
    explicit SilentResolverLauncher(const TempDir& dir);
    ~SilentResolverLauncher();
    SilentResolverLauncher(const SilentResolverLauncher&) = delete;
    SilentResolverLauncher& operator=(const SilentResolverLauncher&) = delete;

    // False when mount namespaces cannot be had here (or a launcher is set already).
    bool usable() const { return !words_.empty(); }
    // Sets the launcher for the consoles started while it is alive.
    void apply() const;

  private:
    std::string words_;
};

}  // namespace harness
