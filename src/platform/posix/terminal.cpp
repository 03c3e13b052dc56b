// The terminal's saved settings, the key mode and the restore on every way out: console_start,
// console_restore, standard_input, set_console_key_mode, detach_console, exit_process,
// LARGEST_EXIT_STATUS and exit_status of platform.h.
//
// The terminal's settings and title are saved at start-up and put back on every way out: a
// normal exit, exit_process, and the signals that end a process (signals.cpp restores in the
// handler, then raises the signal again with its default action, so the exit status still
// shows it). A stop by job control puts them back too, and a continue sets the key mode and the
// title up again (suspend_terminal and resume_terminal, called from signals.cpp's job-control
// thread), each in its turn with the key mode and the restore.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "platform/platform.h"

namespace platform {

namespace posix {

int tty_fd = -1;
bool stdin_is_tty = false;
termios saved_mode{};
unsigned char erase_key = 127;
std::atomic<int> restored{0};
std::atomic<int> notice_drawn{0};
std::atomic<int> notice_hidden{0};
bool utf8_terminal = false;

bool wait_writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        int ready = poll(&entry, 1, -1);
        if (ready > 0) return (entry.revents & POLLNVAL) == 0;
        if (ready < 0 && errno != EINTR) return false;
    }
}

void write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd)) continue;
            return;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

}  // namespace posix

namespace {

std::atomic<int> started{0};
std::atomic<int> mode_changed{0};  // the input mode was changed: restore puts it back
std::atomic<int> title_pushed{0};  // the terminal's title was pushed: restore pops it
std::atomic<int> suspended{0};     // put back for a stop, and not yet set up again
termios key_mode{};                // the settings of the key mode, once mode_changed is set

// One change of the terminal's state at a time: a stop or a continue (the job-control thread),
// the key mode (the input thread) and the restore (any thread, a signal handler too). The turn
// is taken with the signals that run handlers blocked on the taking thread, so a handler never
// waits for a turn its own thread holds; a turn held elsewhere lasts a few system calls.
// SIGTTOU and SIGTTIN stay as they are: a console in the background is stopped by the
// terminal as before, rather than allowed to change it.
std::atomic<int> terminal_busy{0};

class TerminalTurn {
  public:
    TerminalTurn() {
        sigset_t blocked;
        sigfillset(&blocked);
        sigdelset(&blocked, SIGTTOU);
        sigdelset(&blocked, SIGTTIN);
        pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
        while (terminal_busy.exchange(1, std::memory_order_acquire)) sched_yield();
    }
    ~TerminalTurn() {
        terminal_busy.store(0, std::memory_order_release);
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    TerminalTurn(const TerminalTurn&) = delete;
    TerminalTurn& operator=(const TerminalTurn&) = delete;

  private:
    sigset_t saved_;
};

// True when the console's process group owns the terminal (a console continued in the
// background must not touch it: it would be stopped again for doing so).
bool in_foreground() {
    pid_t owner = tcgetpgrp(posix::tty_fd >= 0 ? posix::tty_fd : 0);
    return owner == getpgrp();
}

constexpr char TITLE_PUSH[] = "\033[22;0t";
constexpr char TITLE_POP[] = "\033[23;0t";

void restore_at_exit() {
    posix::restore_terminal();
}

}  // namespace

namespace posix {

void restore_terminal() {
    TerminalTurn turn;
    if (restored.exchange(1)) return;
    if (suspended.load()) return;  // put back for the stop already
    if (mode_changed.load()) tcsetattr(0, TCSANOW, &saved_mode);
    if (tty_fd >= 0) {
        if (notice_drawn.exchange(0)) write_all(tty_fd, NOTICE_ERASE, sizeof NOTICE_ERASE - 1);
        if (title_pushed.load()) write_all(tty_fd, TITLE_POP, sizeof TITLE_POP - 1);
    }
}

void suspend_terminal() {
    TerminalTurn turn;
    // In the background the terminal is the shell's already, and touching it would stop the
    // console for that alone.
    if (restored.load() || suspended.load() || !in_foreground()) return;
    suspended.store(1);
    if (mode_changed.load()) tcsetattr(0, TCSANOW, &saved_mode);
    if (tty_fd >= 0) {
        if (notice_drawn.exchange(0)) {
            notice_hidden.store(1);
            write_all(tty_fd, NOTICE_ERASE, sizeof NOTICE_ERASE - 1);
        }
        if (title_pushed.load()) write_all(tty_fd, TITLE_POP, sizeof TITLE_POP - 1);
    }
}

void resume_terminal() {
    TerminalTurn turn;
    if (restored.load()) return;
    if (!in_foreground()) return;  // set up again when it is brought to the foreground
    // Whoever had the terminal while the console was stopped (a shell) set its own mode.
    if (mode_changed.load()) tcsetattr(0, TCSANOW, &key_mode);
    if (!suspended.exchange(0) || tty_fd < 0) return;
    if (title_pushed.load()) {
        write_all(tty_fd, TITLE_PUSH, sizeof TITLE_PUSH - 1);
        rewrite_title();
    }
    if (notice_hidden.exchange(0)) redraw_notice();
}

}  // namespace posix

void console_start() {
    using namespace posix;
    if (started.exchange(1)) return;
    // A standard descriptor that was closed (some daemons start their children so) is opened
    // on /dev/null before anything else is opened, or the console's own pipes would take its
    // number and its output would come back to it as keys.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    if (isatty(0) && tcgetattr(0, &saved_mode) == 0) {
        stdin_is_tty = true;
        if (saved_mode.c_cc[VERASE] != _POSIX_VDISABLE) erase_key = saved_mode.c_cc[VERASE];
    }
    main_wait_start();
    utf8_terminal = output_wants_utf8();
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    size_stdout_pipe();
    notices_start();
    install_signal_handlers();
    std::atexit(restore_at_exit);
    if (tty_fd >= 0 && !plain_terminal()) {
        title_pushed.store(1);
        write_all(tty_fd, TITLE_PUSH, sizeof TITLE_PUSH - 1);
    }
}

void console_restore() {
    posix::restore_terminal();
}

InputHandle standard_input() {
    return 0;
}

bool set_console_key_mode(InputHandle input) {
    using namespace posix;
    if (input != 0 || !stdin_is_tty) return false;
    TerminalTurn turn;
    if (restored.load()) return false;
    termios settings = saved_mode;
    // Every key as typed: no line editing, no echo, no keys turned into signals (Ctrl+C is the
    // character 3), Enter as 13, no flow-control keys. Output processing stays on.
    settings.c_lflag &=
        ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    key_mode = settings;
    mode_changed.store(1);
    // While stopped the terminal stays as it was found; the continue sets the key mode.
    return suspended.load() || tcsetattr(0, TCSANOW, &settings) == 0;
}

void detach_console() {
    console_restore();
}

void exit_process(int status) {
    console_restore();
    std::exit(status);
}

const std::uint32_t LARGEST_EXIT_STATUS = 255;

int exit_status(std::uint32_t code) {
    return code > LARGEST_EXIT_STATUS ? static_cast<int>(LARGEST_EXIT_STATUS)
                                      : static_cast<int>(code);
}

}  // namespace platform
