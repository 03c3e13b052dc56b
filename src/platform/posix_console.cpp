// The console on a POSIX terminal: standard output, the keyboard, the title and notices.
#include <fcntl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace platform {

namespace {

int tty_fd = -1;
bool saved_valid = false;
termios saved_mode{};
char current_title[256];

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

}  // namespace

void console_start() {
    if (isatty(0) && tcgetattr(0, &saved_mode) == 0) saved_valid = true;
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void console_restore() {
    if (saved_valid) tcsetattr(0, TCSAFLUSH, &saved_mode);
}

void write_stdout(const char* data, std::size_t length) {
    write_all(1, data, length);
}

void write_stdout_parts(const OutputPart* parts, int count) {
    for (int i = 0; i < count; ++i) write_all(1, parts[i].data, parts[i].length);
}

InputHandle console_input() {
    return 0;
}

bool set_console_input_mode(InputHandle input, unsigned mode) {
    termios t{};
    if (!isatty(input) || tcgetattr(input, &t) != 0) return false;
    if (mode == 0) {
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    }
    return tcsetattr(input, TCSANOW, &t) == 0;
}

KeyResult read_console_key(InputHandle input, char* key) {
    for (;;) {
        int ready = posix::wait_readable(input, -1);
        if (ready == -2) return KEY_STOPPED;
        if (ready < 0) return KEY_FAILED;
        char byte = 0;
        ssize_t got = read(input, &byte, 1);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return KEY_FAILED;
        }
        if (got == 0) return KEY_END;
        if (byte == 127) byte = 8;
        if (byte == '\n') byte = 13;
        *key = byte;
        return KEY_READ;
    }
}

void set_console_title(const char* title) {
    std::size_t n = 0;
    for (; title[n] && n + 1 < sizeof current_title; ++n) current_title[n] = title[n];
    current_title[n] = 0;
}

std::size_t get_console_title(char* buffer, std::size_t capacity) {
    if (capacity == 0) return 0;
    std::size_t n = 0;
    for (; current_title[n] && n + 1 < capacity; ++n) buffer[n] = current_title[n];
    buffer[n] = 0;
    return n;
}

bool set_console_icon_from_files(const char* const*, int) {
    return false;
}

int show_notice(const char* caption, const char* text, unsigned style) {
    write_all(2, caption, std::strlen(caption));
    write_all(2, ": ", 2);
    write_all(2, text, std::strlen(text));
    write_all(2, "\n", 1);
    return style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
}

void detach_console() {
    console_restore();
}

void exit_process(int status) {
    console_restore();
    std::exit(status);
}

}  // namespace platform
