#include "scripted_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "address_file.h"
#include "common.h"
#include "spawner.h"

namespace harness {

using detail::Clock;
using detail::close_fd;
using detail::deadline_after;
using detail::fail;

ScriptedServer::ScriptedServer() {
    listen_fd_ = detail::bound_loopback_socket(&port_);
    if (::listen(listen_fd_, 16) != 0) fail("listen");
    if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe2");
    thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    for (auto& connection : connections_) close_fd(connection->fd);
    close_fd(listen_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
}

void ScriptedServer::wake() {
    char byte = 1;
    ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
    (void)ignored;
}

// The background thread: the only one that accepts, receives and closes descriptors (sends
// are made by the test's thread under the lock).
void ScriptedServer::serve() {
    std::vector<pollfd> polled;
    std::vector<Connection*> polled_connections;
    for (;;) {
        polled.clear();
        polled_connections.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            polled.push_back({wake_pipe_[0], POLLIN, 0});
            polled.push_back({listen_fd_, POLLIN, 0});  // -1 is ignored by poll
            for (auto& connection : connections_) {
                if (connection->fd >= 0 && !connection->peer_closed) {
                    polled.push_back({connection->fd, POLLIN, 0});
                    polled_connections.push_back(connection.get());
                }
            }
        }
        int ready = ::poll(polled.data(), polled.size(), -1);
        if (ready < 0 && errno != EINTR) return;

        std::lock_guard<std::mutex> lock(mutex_);
        if (polled[0].revents != 0) {
            char drained[64];
            while (::read(wake_pipe_[0], drained, sizeof drained) > 0) {
            }
        }
        if (stopping_) return;
        if (request_ != Request::NONE) {
            run_request(request_);
            request_ = Request::NONE;
        }
        if (listen_fd_ >= 0 && polled[1].fd == listen_fd_ && (polled[1].revents & POLLIN)) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto connection = std::make_unique<Connection>();
                connection->fd = fd;
                connections_.push_back(std::move(connection));
            }
        }
        for (std::size_t i = 0; i < polled_connections.size(); ++i) {
            Connection* connection = polled_connections[i];
            if (polled[i + 2].revents == 0 || connection->fd != polled[i + 2].fd) continue;
            char buffer[65536];
            ssize_t count = ::recv(connection->fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                connection->received.append(buffer, static_cast<std::size_t>(count));
                connection->receives.push_back(
                    {std::string(buffer, static_cast<std::size_t>(count)), Clock::now()});
            } else if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                connection->peer_closed = true;
            }
        }
        changed_.notify_all();
    }
}

void ScriptedServer::run_request(Request request) {
    if (request == Request::STOP_LISTENING) {
        close_fd(listen_fd_);
        return;
    }
    if (request_target_ < 0) return;
    Connection& connection = *connections_[static_cast<std::size_t>(request_target_)];
    if (connection.fd < 0) return;
    if (request == Request::RESET) {
        linger abortive{1, 0};
        ::setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        close_fd(connection.fd);
        connection.closed = true;
    } else if (!connection.closed) {
        // Half close: the peer sees the end of the stream at once, and whatever it still
        // sends is received (a full close with unread data would reset the connection).
        ::shutdown(connection.fd, SHUT_WR);
        connection.closed = true;
    }
}

ScriptedServer::Connection* ScriptedServer::current_locked() const {
    if (current_ < 0) return nullptr;
    return connections_[static_cast<std::size_t>(current_)].get();
}

bool ScriptedServer::accept_connection(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadline_after(timeout_ms),
                             [this] { return static_cast<int>(connections_.size()) > picked_; })) {
        return false;
    }
    current_ = picked_++;
    return true;
}

int ScriptedServer::connection_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(connections_.size());
}

bool ScriptedServer::wait_for_connection_count(int count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this, count] {
        return static_cast<int>(connections_.size()) >= count;
    });
}

bool ScriptedServer::send_bytes(std::string_view data) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection* connection = current_locked();
    if (connection == nullptr || connection->closed || connection->fd < 0) return false;
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t count =
            ::send(connection->fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool ScriptedServer::send_separately(const std::vector<std::string>& pieces, int pause_ms) {
    if (pause_ms == 0) pause_ms = console_is_windows() ? 300 : 50;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        if (!send_bytes(pieces[i])) return false;
    }
    return true;
}

std::string ScriptedServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection* connection = current_locked();
    return connection ? connection->received : std::string();
}

std::vector<Receive> ScriptedServer::receives() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection* connection = current_locked();
    return connection ? connection->receives : std::vector<Receive>();
}

bool ScriptedServer::wait_for_received(std::size_t total_bytes, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this, total_bytes] {
        Connection* connection = current_locked();
        return connection != nullptr && connection->received.size() >= total_bytes;
    });
}

bool ScriptedServer::wait_for_received_text(std::string_view needle, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this, needle] {
        Connection* connection = current_locked();
        return connection != nullptr && connection->received.find(needle) != std::string::npos;
    });
}

bool ScriptedServer::wait_for_peer_close(int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this] {
        Connection* connection = current_locked();
        return connection != nullptr && (connection->peer_closed || connection->fd < 0);
    });
}

bool ScriptedServer::peer_closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection* connection = current_locked();
    return connection != nullptr && connection->peer_closed;
}

void ScriptedServer::close_connection() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
    request_ = Request::CLOSE;
    request_target_ = current_;
    wake();
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
}

void ScriptedServer::reset_connection() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
    request_ = Request::RESET;
    request_target_ = current_;
    wake();
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
}

void ScriptedServer::stop_listening() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
    request_ = Request::STOP_LISTENING;
    wake();
    changed_.wait(lock, [this] { return request_ == Request::NONE; });
}

}  // namespace harness
