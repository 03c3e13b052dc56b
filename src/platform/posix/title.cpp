// The console window's title and icon: set_console_title, get_console_title and
// set_console_icon_from_files of platform.h. The title goes to the controlling terminal only,
// made harmless; a terminal has no icon to set.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "platform/common/harmless_text.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr std::size_t TITLE_CAPACITY = 256;
constexpr std::size_t SEQUENCE_CAPACITY = TITLE_CAPACITY + 8;
std::mutex title_mutex;
char current_title[TITLE_CAPACITY];

// The last title sequence written, for writing it again after a stop (from a signal handler,
// so without the lock): two buffers, the one last written named by an atomic index, so a
// handler never reads the buffer being written.
char sequences[2][SEQUENCE_CAPACITY];
std::atomic<std::size_t> sequence_lengths[2];
std::atomic<int> last_sequence{-1};

}  // namespace

namespace posix {

void rewrite_title() {
    int which = last_sequence.load();
    if (which < 0 || tty_fd < 0) return;
    write_all(tty_fd, sequences[which], sequence_lengths[which].load());
}

}  // namespace posix

void set_console_title(const char* title) {
    std::lock_guard<std::mutex> lock(title_mutex);
    std::size_t length = std::strlen(title);
    // A UTF-8 title too long to keep loses its last character whole, not a part of it.
    length = posix::utf8_terminal ? utf8_cut_length(title, length, TITLE_CAPACITY - 1)
                                  : std::min(length, TITLE_CAPACITY - 1);
    std::memcpy(current_title, title, length);
    current_title[length] = 0;
    if (posix::tty_fd < 0 || posix::restored.load() || posix::plain_terminal()) return;
    int which = last_sequence.load() == 0 ? 1 : 0;
    char* sequence = sequences[which];
    std::memcpy(sequence, "\033]2;", 4);
    std::size_t used =
        4 + (posix::utf8_terminal ? copy_harmless_utf8(sequence + 4, TITLE_CAPACITY, title, length)
                                  : copy_harmless(sequence + 4, TITLE_CAPACITY, title, length));
    sequence[used++] = '\007';
    sequence_lengths[which].store(used);
    last_sequence.store(which);
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
