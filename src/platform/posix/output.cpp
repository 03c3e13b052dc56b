// Standard output and standard error: write_stdout, write_stderr, stderr_is_console,
// write_stdout_parts and end_output_line of platform.h, and the size of standard output's pipe.
// Only the server's text and the console's own lines go to standard output; what the console
// adds to the screen (the title, notices) goes to the controlling terminal, never into standard
// output, which may be redirected. Standard error has start-up's errors, and the notices there
// is no terminal to show.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

// The last byte written to standard output ('\n' before any), for end_output_line.
std::atomic<char> last_stdout_byte{'\n'};

}  // namespace

namespace posix {

void note_line_ended() {
    last_stdout_byte.store('\n', std::memory_order_relaxed);
}

bool output_line_ended() {
    return last_stdout_byte.load(std::memory_order_relaxed) == '\n';
}

void size_stdout_pipe() {
#ifdef F_SETPIPE_SZ
    // A pipe holds 64 KiB unless asked for more: a large write then goes in a piece at a time,
    // the console and the reader waking each other for every piece, and the console receives
    // nothing meanwhile. The pipe is shared with the reader; only its size changes.
    struct stat status {};
    if (fstat(1, &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    int size = fcntl(1, F_GETPIPE_SZ);
    if (size >= 0 && size < STDOUT_PIPE_SIZE) fcntl(1, F_SETPIPE_SZ, STDOUT_PIPE_SIZE);
#endif
}

}  // namespace posix

void write_stdout(const char* data, std::size_t length) {
    if (length > 0) last_stdout_byte.store(data[length - 1], std::memory_order_relaxed);
    posix::write_all(1, data, length);
}

void write_stderr(const char* data, std::size_t length) {
    posix::write_all(2, data, length);
}

bool stderr_is_console() {
    // The console draws on its controlling terminal and, when it is one, on standard output.
    struct stat error_status {};
    if (!isatty(2) || fstat(2, &error_status) != 0) return false;
    for (int fd : {posix::tty_fd, 1}) {
        struct stat status {};
        if (fd >= 0 && isatty(fd) && fstat(fd, &status) == 0 &&
            status.st_rdev == error_status.st_rdev) {
            return true;
        }
    }
    return false;
}

void write_stdout_parts(const OutputPart* parts, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (parts[i].length == 0) continue;
        last_stdout_byte.store(parts[i].data[parts[i].length - 1], std::memory_order_relaxed);
        break;
    }
    constexpr int BATCH = 16;
    int index = 0;
    while (index < count) {
        iovec vector[BATCH];
        int used = 0;
        for (; used < BATCH && index + used < count; ++used)
            vector[used] = {const_cast<char*>(parts[index + used].data),
                            parts[index + used].length};
        iovec* next = vector;
        int left = used;
        while (left > 0) {
            ssize_t written = writev(1, next, left);
            if (written < 0) {
                if (errno == EINTR) continue;
                if ((errno == EAGAIN || errno == EWOULDBLOCK) && posix::wait_writable(1)) continue;
                return;
            }
            std::size_t done = static_cast<std::size_t>(written);
            while (left > 0 && done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --left;
            }
            if (left > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + done;
                next->iov_len -= done;
            }
        }
        index += used;
    }
}

void end_output_line() {
    // Only the terminal's screen has a line to end; a file or a pipe gets nothing more.
    if (posix::output_line_ended() || !isatty(1)) return;
    write_stdout("\r\n", 2);
}

}  // namespace platform
