#include "console_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common.h"

namespace harness {

using detail::Clock;
using detail::close_fd;
using detail::deadline_after;
using detail::fail;

ConsoleProcess::ConsoleProcess(const std::vector<std::string>& args, ProcessOptions options) {
    SpawnRequest request;
    if (options.program.empty()) {
        request.argv = console_command(args);
    } else {
        request.argv.push_back(options.program);
        request.argv.insert(request.argv.end(), args.begin(), args.end());
    }
    request.extra_environment = options.extra_environment;
    request.working_directory = options.working_directory;
    switch (options.input) {
        case InputMode::NONE:
            break;
        case InputMode::PIPE:
            request.input = Stream::PIPE;
            break;
        case InputMode::TERMINAL:
            request.input = Stream::TERMINAL;
            request.output = Stream::TERMINAL;
            request.terminal_rows = options.terminal_rows;
            request.terminal_columns = options.terminal_columns;
            break;
    }
    Spawned spawned = spawn(request);
    pid_ = spawned.pid;
    stderr_fd_ = spawned.errors;
    terminal_master_ = spawned.terminal_master;
    input_fd_ = terminal_master_ >= 0 ? terminal_master_ : spawned.input;
    stdout_fd_ = terminal_master_ >= 0 ? terminal_master_ : spawned.output;

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

namespace {
constexpr const char* HELD_ERRORS_FILE = "console-stderr";
}

HeldOutputConsole::HeldOutputConsole(const std::vector<std::string>& args, const TempDir& dir,
                                     Stream output, Stream input, Stream errors)
    : dir_(dir) {
    SpawnRequest request;
    request.argv = console_command(args);
    request.input = input;
    request.output = output;
    request.errors = errors;
    request.errors_file = dir.path() + "/" + HELD_ERRORS_FILE;
    request.new_session = true;
    Spawned spawned = spawn(request);
    pid_ = spawned.pid;
    output_fd_ = spawned.output;
}

HeldOutputConsole::~HeldOutputConsole() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    close_fd(output_fd_);
}

int HeldOutputConsole::output_waiting() const {
    int count = 0;
    return ::ioctl(output_fd_, FIONREAD, &count) == 0 ? count : -1;
}

int HeldOutputConsole::output_capacity() const {
    return ::fcntl(output_fd_, F_GETPIPE_SZ);
}

bool HeldOutputConsole::set_output_capacity(int bytes) {
    return ::fcntl(output_fd_, F_SETPIPE_SZ, bytes) >= 0;
}

bool HeldOutputConsole::running() {
    if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

std::string HeldOutputConsole::read_to_end_and_wait(int timeout_ms) {
    std::string text;
    auto deadline = deadline_after(timeout_ms);
    while (output_fd_ >= 0 && Clock::now() < deadline) {
        pollfd entry{output_fd_, POLLIN, 0};
        if (::poll(&entry, 1, 100) != 1) continue;
        char buffer[65536];
        ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    while (running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
}

int HeldOutputConsole::exit_status() const {
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int HeldOutputConsole::term_signal() const {
    return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

std::string HeldOutputConsole::errors() const {
    return dir_.read_file(HELD_ERRORS_FILE);
}

std::vector<std::string> children_of(pid_t pid) {
    std::vector<std::string> children;
    std::error_code error;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream file(task.path() / "children");
        std::string child;
        while (file >> child) children.push_back(child);
    }
    std::sort(children.begin(), children.end());
    return children;
}

}  // namespace harness
