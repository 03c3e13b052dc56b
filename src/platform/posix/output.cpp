// Standard output and standard error: write_stdout, write_stdout_parts and write_stderr of
// platform.h, and the size of standard output's pipe. Only the server's text and the console's
// own lines go to standard output; what the console adds to the screen (the title, notices)
// goes to the controlling terminal, never into standard output, which may be redirected.
// Standard error has start-up's errors only.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "internal.h"
#include "platform/platform.h"

namespace platform {

namespace posix {

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
    posix::write_all(1, data, length);
}

void write_stderr(const char* data, std::size_t length) {
    posix::write_all(2, data, length);
}

void write_stdout_parts(const OutputPart* parts, int count) {
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

}  // namespace platform
