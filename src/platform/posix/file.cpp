// Files and the working directory: the Files part of platform.h, over the POSIX file calls, and
// where the administrator's list of programs is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

FileHandle file_open_read(const char* name) {
    int fd;
    do {
        // Without O_NONBLOCK a named pipe in the file's place would hold the console until
        // something wrote to it; with it, such a file reads as empty.
        fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? NO_FILE : fd;
}

long file_read(FileHandle file, void* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t got =
            ::read(static_cast<int>(file), static_cast<char*>(buffer) + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

void file_close(FileHandle file) {
    ::close(static_cast<int>(file));
}

bool change_directory(const char* path) {
    return ::chdir(path) == 0;
}

bool file_missing(const char* name) {
    struct stat status {};
    return ::stat(name, &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool programs_file_name(char* buffer, std::size_t capacity) {
    static const char NAME[] = "/etc/veldrin/programs";
    if (capacity < sizeof NAME) return false;
    std::memcpy(buffer, NAME, sizeof NAME);
    return true;
}

}  // namespace platform
