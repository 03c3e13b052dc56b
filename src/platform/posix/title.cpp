// The console window's title and icon: set_console_title, get_console_title and
// set_console_icon_from_files of platform.h. The title goes to the controlling terminal only,
// made harmless; a terminal has no icon to set.
#include <cstring>
#include <mutex>

#include "internal.h"
#include "platform/common/harmless_text.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr std::size_t TITLE_CAPACITY = 256;
std::mutex title_mutex;
char current_title[TITLE_CAPACITY];

}  // namespace

void set_console_title(const char* title) {
    std::lock_guard<std::mutex> lock(title_mutex);
    std::size_t length = std::strlen(title);
    if (length > TITLE_CAPACITY - 1) length = TITLE_CAPACITY - 1;
    std::memcpy(current_title, title, length);
    current_title[length] = 0;
    if (posix::tty_fd < 0 || posix::restored.load()) return;
    char sequence[TITLE_CAPACITY + 8] = "\033]2;";
    std::size_t used = 4 + copy_harmless(sequence + 4, TITLE_CAPACITY, title, length);
    sequence[used++] = '\007';
    posix::write_all(posix::tty_fd, sequence, used);
}

std::size_t get_console_title(char* buffer, std::size_t capacity) {
    if (capacity == 0) return 0;
    std::lock_guard<std::mutex> lock(title_mutex);
    std::size_t length = std::strlen(current_title);
    if (length > capacity - 1) length = capacity - 1;
    std::memcpy(buffer, current_title, length);
    buffer[length] = 0;
    return length;
}

bool set_console_icon_from_files(const char* const*, int) {
    return false;
}

}  // namespace platform
