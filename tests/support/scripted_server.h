// A server on 127.0.0.1 that plays the database manager, driven step by step by a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace harness {

// One receive of the server's, with the time it arrived.
struct Receive {
    std::string bytes;
    std::chrono::steady_clock::time_point at;
};

// A TCP server on 127.0.0.1 (a free port) that a test drives step by step. A background thread
// accepts every connection as it comes (they are counted and queued in order) and receives
// whatever each connection sends, recording each receive separately. The test picks the next
// queued connection with accept_connection; the other calls act on that "current" connection.
// Every call is thread-safe. Connections are closed by close_connection / reset_connection or by
// the destructor.
class ScriptedServer {
  public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Waits for the next connection (in the order they came) and makes it the current one.
    // False when none came within the time.
    bool accept_connection(int timeout_ms);
    // How many connections have been accepted so far (whether or not the test picked them up).
    int connection_count() const;
    // Waits until at least count connections have been accepted.
    bool wait_for_connection_count(int count, int timeout_ms) const;

    // One write on the current connection (TCP_NODELAY is set, so it leaves at once). Returns
    // false when the write failed (no current connection, or it is closed).
    bool send_bytes(std::string_view data);
    // Sends each piece as its own write, pausing pause_ms between writes so that the pieces
    // arrive in separate receives. 0: 50 ms, or 300 ms for a Windows console, whose receives
    // under wine come later.
    bool send_separately(const std::vector<std::string>& pieces, int pause_ms = 0);

    // Everything received so far on the current connection.
    std::string received() const;
    // Each receive made so far on the current connection, in order.
    std::vector<Receive> receives() const;
    // Waits until at least total_bytes have been received on the current connection.
    bool wait_for_received(std::size_t total_bytes, int timeout_ms) const;
    // Waits until the current connection's received bytes hold needle.
    bool wait_for_received_text(std::string_view needle, int timeout_ms) const;
    // Waits until the peer has closed the current connection (or reset it).
    bool wait_for_peer_close(int timeout_ms) const;
    bool peer_closed() const;

    // Orderly close of the current connection (FIN).
    void close_connection();
    // Abortive close of the current connection (SO_LINGER 0, so the peer sees a reset).
    void reset_connection();
    // Stops listening: later connects are refused. Open connections stay as they are.
    void stop_listening();

  private:
    struct Connection {
        int fd = -1;
        std::string received;
        std::vector<Receive> receives;
        bool peer_closed = false;
        bool closed = false;
    };
    enum class Request { NONE, CLOSE, RESET, STOP_LISTENING };

    void serve();
    void wake();
    void run_request(Request request);
    Connection* current_locked() const;

    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::unique_ptr<Connection>> connections_;
    int current_ = -1;  // index into connections_
    int picked_ = 0;    // connections handed out by accept_connection
    Request request_ = Request::NONE;
    int request_target_ = -1;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace harness
