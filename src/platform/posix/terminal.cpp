// The terminal's saved settings, the key mode and the restore on every way out: console_start,
// console_restore, standard_input, set_console_key_mode, detach_console, exit_process and
// exit_status of platform.h.
//
// The terminal's settings and title are saved at start-up and put back on every way out: a
// normal exit, exit_process, and the signals that end a process (signals.cpp restores in the
// handler, then raises the signal again with its default action, so the exit status still
// shows it).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

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

void write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
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

constexpr char TITLE_PUSH[] = "\033[22;0t";
constexpr char TITLE_POP[] = "\033[23;0t";

void restore_at_exit() {
    posix::restore_terminal();
}

}  // namespace

namespace posix {

void restore_terminal() {
    if (restored.exchange(1)) return;
    if (mode_changed.load()) tcsetattr(0, TCSANOW, &saved_mode);
    if (tty_fd >= 0) {
        if (notice_drawn.exchange(0)) write_all(tty_fd, NOTICE_ERASE, sizeof NOTICE_ERASE - 1);
        if (title_pushed.load()) write_all(tty_fd, TITLE_POP, sizeof TITLE_POP - 1);
    }
}

}  // namespace posix

void console_start() {
    using namespace posix;
    if (started.exchange(1)) return;
    if (isatty(0) && tcgetattr(0, &saved_mode) == 0) {
        stdin_is_tty = true;
        if (saved_mode.c_cc[VERASE] != _POSIX_VDISABLE) erase_key = saved_mode.c_cc[VERASE];
    }
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    size_stdout_pipe();
    notices_start();
    install_signal_handlers();
    std::atexit(restore_at_exit);
    if (tty_fd >= 0) {
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
    if (input != 0 || !stdin_is_tty || restored.load()) return false;
    termios settings = saved_mode;
    // Every key as typed: no line editing, no echo, no keys turned into signals (Ctrl+C is the
    // character 3), Enter as 13, no flow-control keys. Output processing stays on.
    settings.c_lflag &=
        ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    mode_changed.store(1);
    return tcsetattr(0, TCSANOW, &settings) == 0;
}

void detach_console() {
    console_restore();
}

void exit_process(int status) {
    console_restore();
    std::exit(status);
}

int exit_status(std::uint32_t code) {
    return code > 255 ? 255 : static_cast<int>(code);
}

}  // namespace platform
