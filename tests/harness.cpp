#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

Clock::time_point deadline_after(int timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TempDir

TempDir::TempDir(const std::string& name_hint) {
    std::string pattern = "/tmp/" + name_hint + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("mkdtemp " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write_file(const std::string& name, std::string_view contents) const {
    std::string full = path_ + "/" + name;
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + full);
    return full;
}

std::string TempDir::read_file(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempDir::file_exists(const std::string& name) const {
    struct stat info;
    return ::stat((path_ + "/" + name).c_str(), &info) == 0;
}

void TempDir::remove_file(const std::string& name) const {
    ::unlink((path_ + "/" + name).c_str());
}

std::string TempDir::make_subdir(const std::string& name) const {
    std::string full = path_ + "/" + name;
    if (::mkdir(full.c_str(), 0700) != 0 && errno != EEXIST) fail("mkdir " + full);
    return full;
}

// ---------------------------------------------------------------------------------------------
// Address file

std::string address_file_bytes(std::uint32_t ipv4_host_order, std::uint16_t port,
                               const std::string& host_name, std::size_t size) {
    std::string file(83, '\0');
    file[0] = static_cast<char>((ipv4_host_order >> 24) & 0xff);
    file[1] = static_cast<char>((ipv4_host_order >> 16) & 0xff);
    file[2] = static_cast<char>((ipv4_host_order >> 8) & 0xff);
    file[3] = static_cast<char>(ipv4_host_order & 0xff);
    file[17] = static_cast<char>((port >> 8) & 0xff);
    file[18] = static_cast<char>(port & 0xff);
    file.replace(19, std::min<std::size_t>(host_name.size(), 63), host_name, 0, 63);
    file.resize(size, '\0');
    return file;
}

std::string loopback_address_file(std::uint16_t port) {
    return address_file_bytes(LOOPBACK, port, "");
}

namespace {

// A TCP socket bound to 127.0.0.1 on a port the system picks; returns the fd and the port.
int bound_loopback_socket(std::uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("bind 127.0.0.1:0");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

UnusedPort::UnusedPort() {
    fd_ = bound_loopback_socket(&port_);
}

UnusedPort::~UnusedPort() {
    close_fd(fd_);
}

// ---------------------------------------------------------------------------------------------
// ScriptedServer

ScriptedServer::ScriptedServer() {
    listen_fd_ = bound_loopback_socket(&port_);
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

// ---------------------------------------------------------------------------------------------
// ConsoleProcess

namespace {

// posix_spawn's attributes and file actions, destroyed whatever happens.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

ConsoleProcess::ConsoleProcess(const std::vector<std::string>& args, ProcessOptions options) {
    std::string program = options.program.empty() ? std::string(VELDRIN_BINARY) : options.program;
    std::vector<std::string> argument_strings;
    argument_strings.push_back(program);
    argument_strings.insert(argument_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& argument : argument_strings) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The extra entries replace the test's own entries of the same name.
    auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> environment_strings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const std::string& extra : options.extra_environment)
            replaced = replaced || name_of(extra) == name_of(*entry);
        if (!replaced) environment_strings.push_back(*entry);
    }
    environment_strings.insert(environment_strings.end(), options.extra_environment.begin(),
                               options.extra_environment.end());
    std::vector<char*> envp;
    for (auto& entry : environment_strings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // A write to the input of a program that has ended must fail, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    SpawnSetup setup;
    int child_in = -1, child_out = -1, child_err = -1;
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe2");
    stderr_fd_ = err_pipe[0];
    child_err = err_pipe[1];

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    std::string terminal_name;
    switch (options.input) {
        case InputMode::NONE:
            posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
            break;
        case InputMode::PIPE: {
            int in_pipe[2];
            if (::pipe2(in_pipe, O_CLOEXEC) != 0) fail("pipe2");
            child_in = in_pipe[0];
            input_fd_ = in_pipe[1];
            posix_spawn_file_actions_adddup2(&setup.actions, child_in, 0);
            break;
        }
        case InputMode::TERMINAL: {
            terminal_master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (terminal_master_ < 0) fail("posix_openpt");
            if (::grantpt(terminal_master_) != 0 || ::unlockpt(terminal_master_) != 0) {
                fail("grantpt/unlockpt");
            }
            char name[128];
            if (::ptsname_r(terminal_master_, name, sizeof name) != 0) fail("ptsname_r");
            terminal_name = name;
            winsize size{};
            size.ws_row = options.terminal_rows;
            size.ws_col = options.terminal_columns;
            ::ioctl(terminal_master_, TIOCSWINSZ, &size);
            // A new session whose first terminal opened becomes its controlling terminal.
            flags |= POSIX_SPAWN_SETSID;
            posix_spawn_file_actions_addopen(&setup.actions, 0, terminal_name.c_str(), O_RDWR, 0);
            posix_spawn_file_actions_adddup2(&setup.actions, 0, 1);
            input_fd_ = terminal_master_;
            stdout_fd_ = terminal_master_;
            break;
        }
    }
    if (options.input != InputMode::TERMINAL) {
        int out_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0) fail("pipe2");
        stdout_fd_ = out_pipe[0];
        child_out = out_pipe[1];
        posix_spawn_file_actions_adddup2(&setup.actions, child_out, 1);
    }
    posix_spawn_file_actions_adddup2(&setup.actions, child_err, 2);
    if (!options.working_directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.working_directory.c_str());
    }

    sigset_t empty_mask, defaults;
    sigemptyset(&empty_mask);
    sigemptyset(&defaults);
    for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGTTIN, SIGTTOU,
                              SIGTSTP, SIGWINCH, SIGALRM, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signal_number);
    }
    posix_spawnattr_setsigmask(&setup.attributes, &empty_mask);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, flags);

    pid_t child = -1;
    int result = ::posix_spawn(&child, program.c_str(), &setup.actions, &setup.attributes,
                               argv.data(), envp.data());
    if (child_in >= 0) ::close(child_in);
    if (child_out >= 0) ::close(child_out);
    ::close(child_err);
    if (result != 0) {
        errno = result;
        fail("posix_spawn " + program);
    }
    pid_ = child;

    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) fail("pipe2");
    drainer_ = std::thread([this] { drain(); });
}

ConsoleProcess::~ConsoleProcess() {
    kill_now();
    if (drainer_.joinable()) {
        char byte = 1;
        ssize_t ignored = ::write(stop_pipe_[1], &byte, 1);
        (void)ignored;
        drainer_.join();
    }
    if (input_fd_ != terminal_master_) close_fd(input_fd_);
    if (stdout_fd_ != terminal_master_) close_fd(stdout_fd_);
    close_fd(terminal_master_);
    close_fd(stderr_fd_);
    close_fd(stop_pipe_[0]);
    close_fd(stop_pipe_[1]);
}

// The drain thread: reads standard output and standard error as they come, until both reach
// their end (or the terminal's slave side is closed) or the destructor stops it.
void ConsoleProcess::drain() {
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd polled[3] = {{stop_pipe_[0], POLLIN, 0},
                            {out_open ? stdout_fd_ : -1, POLLIN, 0},
                            {err_open ? stderr_fd_ : -1, POLLIN, 0}};
        int ready = ::poll(polled, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (polled[0].revents != 0) break;
        for (int i = 1; i <= 2; ++i) {
            if (polled[i].revents == 0) continue;
            char buffer[4096];
            ssize_t count = ::read(polled[i].fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (count > 0) {
                (i == 1 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(count));
            } else {
                // End of file, or EIO from a terminal whose slave side is all closed.
                (i == 1 ? out_open : err_open) = false;
                (i == 1 ? stdout_done_ : stderr_done_) = true;
            }
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    stdout_done_ = stderr_done_ = true;
    changed_.notify_all();
}

bool ConsoleProcess::reap(int options) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return true;
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, options);
    } while (result < 0 && errno == EINTR);
    if (result == pid_) {
        wait_status_ = status;
        reaped_ = true;
        changed_.notify_all();
    }
    return reaped_;
}

bool ConsoleProcess::wait_exit(int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    while (!reap(WNOHANG)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Everything it wrote is in the pipes by now; give the drain thread a moment to read it
    // (a program it started may keep the pipes open, so do not insist on their end).
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2),
                      [this] { return stdout_done_ && stderr_done_; });
    return true;
}

bool ConsoleProcess::exited() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reaped_;
}

int ConsoleProcess::exit_status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reaped_ || !WIFEXITED(wait_status_)) return -1;
    return WEXITSTATUS(wait_status_);
}

int ConsoleProcess::term_signal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reaped_ || !WIFSIGNALED(wait_status_)) return 0;
    return WTERMSIG(wait_status_);
}

void ConsoleProcess::send_signal(int signal_number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal_number);
}

void ConsoleProcess::kill_now() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pid_ <= 0 || reaped_) return;
        ::kill(pid_, SIGKILL);
    }
    reap(0);
}

std::string ConsoleProcess::stdout_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_;
}

std::string ConsoleProcess::stderr_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}

bool ConsoleProcess::wait_for_stdout(std::string_view needle, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this, needle] {
        return stdout_.find(needle) != std::string::npos;
    });
}

bool ConsoleProcess::wait_for_stderr(std::string_view needle, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(timeout_ms), [this, needle] {
        return stderr_.find(needle) != std::string::npos;
    });
}

bool ConsoleProcess::write_input(std::string_view data) {
    if (input_fd_ < 0) return false;
    std::size_t written = 0;
    while (written < data.size()) {
        ssize_t count = ::write(input_fd_, data.data() + written, data.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

void ConsoleProcess::close_input() {
    if (input_fd_ >= 0 && input_fd_ != terminal_master_) close_fd(input_fd_);
}

}  // namespace harness
