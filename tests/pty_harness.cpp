#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

extern char** environ;

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
    // A write to a terminal or pipe nobody reads any more must fail, not end the test.
    ::signal(SIGPIPE, SIG_IGN);

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) fail("grantpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) fail("ptsname_r");
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) fail("open terminal");
    winsize size{};
    size.ws_row = options.rows;
    size.ws_col = options.columns;
    ::ioctl(master_, TIOCSWINSZ, &size);

    // Line mode as a shell leaves it, with a few settings the system would not choose itself.
    termios settings{};
    if (::tcgetattr(slave_, &settings) != 0) fail("tcgetattr");
    settings.c_iflag |= IUTF8 | IMAXBEL;
    settings.c_lflag |= ECHOCTL | ECHOKE;
    settings.c_cc[VKILL] = 0x0b;
    settings.c_cc[VWERASE] = 0x1c;
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0) fail("tcsetattr");
    if (::tcgetattr(slave_, &at_start_) != 0) fail("tcgetattr");

    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe2");
    stderr_fd_ = err_pipe[0];
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) fail("pipe2");

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // A new session: the first terminal it opens becomes its controlling terminal.
    posix_spawn_file_actions_addopen(&actions, 0, name, O_RDWR, 0);
    if (options.stdout_file.empty()) {
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!options.working_directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
    sigset_t empty_mask, defaults;
    sigemptyset(&empty_mask);
    sigemptyset(&defaults);
    for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGTTIN, SIGTTOU,
                              SIGTSTP, SIGWINCH, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigmask(&attributes, &empty_mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words;
    words.push_back(VELDRIN_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int result = ::posix_spawn(&pid_, VELDRIN_BINARY, &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(err_pipe[1]);
    if (result != 0) {
        pid_ = -1;
        errno = result;
        fail("posix_spawn");
    }
    drainer_ = std::thread([this] { drain(); });
}

TerminalConsole::~TerminalConsole() {
    if (pid_ > 0 && !reaped_) {
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

void TerminalConsole::send_signal(int signal_number) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal_number);
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

}  // namespace pty
