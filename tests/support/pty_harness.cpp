#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "spawner.h"

namespace pty {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

TerminalConsole::TerminalConsole(const std::vector<std::string>& args, TerminalOptions options) {
    harness::Terminal terminal = harness::open_terminal(options.rows, options.columns);
    master_ = terminal.master;
    slave_ = ::open(terminal.slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) fail("open terminal");

    // Line mode as a shell leaves it, with a few settings the system would not choose itself.
    termios settings{};
    if (::tcgetattr(slave_, &settings) != 0) fail("tcgetattr");
    settings.c_iflag |= IUTF8 | IMAXBEL;
    settings.c_lflag |= ECHOCTL | ECHOKE;
    settings.c_cc[VKILL] = 0x0b;
    settings.c_cc[VWERASE] = 0x1c;
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0) fail("tcsetattr");
    if (::tcgetattr(slave_, &at_start_) != 0) fail("tcgetattr");

    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) fail("pipe2");

    harness::SpawnRequest request;
    request.argv = options.windows_parent
                       ? harness::windows_parent_command(args, options.windows_program)
                       : harness::console_command(args);
    if (options.shell_job) {
        request.argv.insert(request.argv.begin(),
                            {std::string(TEST_HELPER_DIR) + "/fake_terminal", "--job", "-e"});
    } else {
        job_pid_ = 0;  // the console is pid_ itself
    }
    request.working_directory = options.working_directory;
    request.extra_environment = options.extra_environment;
    request.terminal = terminal;
    request.input = harness::Stream::TERMINAL;
    if (options.stdout_file.empty()) {
        request.output = harness::Stream::TERMINAL;
    } else {
        request.output = harness::Stream::FILE;
        request.output_file = options.stdout_file;
    }
    harness::Spawned spawned = harness::spawn(request);
    pid_ = spawned.pid;
    stderr_fd_ = spawned.errors;
    drainer_ = std::thread([this] { drain(); });
}

TerminalConsole::~TerminalConsole() {
    if (pid_ > 0 && !reaped_) {
        if (job_pid_ > 0) ::kill(job_pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        wait_exit(10000);
    }
    if (drainer_.joinable()) {
        char byte = 1;
        ssize_t ignored = ::write(stop_pipe_[1], &byte, 1);
        (void)ignored;
        drainer_.join();
    }
    close_fd(master_);
    close_fd(slave_);
    close_fd(stderr_fd_);
    close_fd(stop_pipe_[0]);
    close_fd(stop_pipe_[1]);
}

void TerminalConsole::drain() {
    bool err_open = true;
    for (;;) {
        pollfd polled[3] = {{stop_pipe_[0], POLLIN, 0},
                            {master_, POLLIN, 0},
                            {err_open ? stderr_fd_ : -1, POLLIN, 0}};
        int ready = ::poll(polled, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (polled[0].revents != 0) return;
        for (int i = 1; i <= 2; ++i) {
            if (polled[i].revents == 0) continue;
            char buffer[4096];
            ssize_t count = ::read(polled[i].fd, buffer, sizeof buffer);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (count <= 0) {
                if (i == 2) err_open = false;
                if (i == 1) return;  // cannot happen while the test holds the slave side
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (i == 1 ? screen_ : stderr_).append(buffer, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
    }
}

termios TerminalConsole::settings_now() const {
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return settings;
}

bool TerminalConsole::set_settings(const termios& settings) {
    return ::tcsetattr(slave_, TCSANOW, &settings) == 0;
}

bool TerminalConsole::wait_for_key_mode(int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if ((settings_now().c_lflag & ICANON) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool TerminalConsole::type(std::string_view keys) {
    while (!keys.empty()) {
        ssize_t written = ::write(master_, keys.data(), keys.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        keys.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string TerminalConsole::screen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
}

std::size_t TerminalConsole::wait_for_screen(std::string_view needle, int timeout_ms,
                                             std::size_t from) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t found = std::string::npos;
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        found = from <= screen_.size() ? screen_.find(needle, from) : std::string::npos;
        return found != std::string::npos;
    });
    return found;
}

std::string TerminalConsole::stderr_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}

bool TerminalConsole::wait_exit(int timeout_ms) {
    if (reaped_) return true;
    if (pid_ <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t result = ::waitpid(pid_, &status, WNOHANG);
        if (result == pid_) {
            wait_status_ = status;
            reaped_ = true;
            // Let the last output reach the screen.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return true;
        }
        if (result < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int TerminalConsole::exit_status() const {
    return reaped_ && WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : -1;
}

int TerminalConsole::term_signal() const {
    return reaped_ && WIFSIGNALED(wait_status_) ? WTERMSIG(wait_status_) : 0;
}

pid_t TerminalConsole::console_pid() const {
    if (job_pid_ == 0) return pid_;
    if (job_pid_ < 0 && pid_ > 0) {
        // The stand-in shell's only child.
        std::string name =
            "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (job_pid_ <= 0 && std::chrono::steady_clock::now() < deadline) {
            std::ifstream children(name);
            if (!(children >> job_pid_)) {
                job_pid_ = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    return job_pid_;
}

bool TerminalConsole::wait_stopped(bool stopped, int timeout_ms) const {
    std::string name = "/proc/" + std::to_string(console_pid()) + "/stat";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // The state follows the command's name in parentheses: T when stopped by a signal.
        std::ifstream file(name);
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t end = stat.rfind(')');
        bool is_stopped = end != std::string::npos && stat.compare(end, 3, ") T") == 0;
        if (is_stopped == stopped) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TerminalConsole::send_signal(int signal_number) {
    pid_t target = console_pid();
    if (target > 0 && !reaped_) ::kill(target, signal_number);
}

std::string settings_text(const termios& settings) {
    char text[64];
    std::snprintf(text, sizeof text, "%x:%x:%x:%x:%x:%x", settings.c_iflag, settings.c_oflag,
                  settings.c_cflag, settings.c_lflag, ::cfgetispeed(&settings),
                  ::cfgetospeed(&settings));
    std::string result = text;
    for (unsigned i = 0; i < NCCS; ++i) {
        std::snprintf(text, sizeof text, ":%x", settings.c_cc[i]);
        result += text;
    }
    return result;
}

std::size_t count_of(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

Typist::Typist(TerminalConsole& console, char key, int interval_ms)
    : thread_([this, &console, key, interval_ms] {
          while (!stop_.load()) {
              console.type(std::string(1, key));
              std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
          }
      }) {}

void Typist::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

}  // namespace pty
