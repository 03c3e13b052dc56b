// Notices: show_notice of platform.h. With a terminal, a box drawn below the cursor line and
// answered by keys that the keyboard reader hands over (at a terminal that takes no escape
// sequences, a line written instead, answered the same way); with none, each distinct message
// once on standard error, answered at once.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "platform/common/harmless_text.h"
#include "platform/common/notice_layout.h"
#include "platform/platform.h"

namespace platform {

namespace {

std::mutex notice_mutex;      // guards the three below
bool notice_waiting = false;  // a notice is up and waits for a key
unsigned notice_style = 0;
int answer_pipe[2] = {-1, -1};    // the keyboard reader writes the answer here
std::atomic<int> notice_slot{0};  // one notice on the screen at a time

constexpr int NOTICE_SLOT_WAIT_MS = 20;
constexpr int FOLLOW_MS = 250;  // how often the text a notice follows is asked for
constexpr std::size_t NOTICE_BUFFER = 8192;

// The answer a key gives to the notice, 0 for none.
int answer_for_key(unsigned style, unsigned char key) {
    if (style != NOTICE_RETRY) return ANSWER_OK;
    switch (key) {
        case 'r':
        case 'R':
        case 13:
            return ANSWER_RETRY;
        case 'c':
        case 'C':
        case 27:
        case 3:
            return ANSWER_CANCEL;
        default:
            return 0;
    }
}

bool terminal_notices() {
    return posix::stdin_is_tty && posix::tty_fd >= 0 && answer_pipe[0] >= 0;
}

// The notice last drawn, as written, for drawing it again after a stop. One notice is up at a
// time, and it is drawn once, before any stop can hide it.
char last_drawing[NOTICE_BUFFER];
std::atomic<std::size_t> last_drawing_length{0};

struct NoticeBuffer {
    char data[NOTICE_BUFFER];
    std::size_t length;
};

void put(NoticeBuffer* out, const char* text, std::size_t length) {
    if (length > NOTICE_BUFFER - out->length) length = NOTICE_BUFFER - out->length;
    std::memcpy(out->data + out->length, text, length);
    out->length += length;
}
void put(NoticeBuffer* out, const char* text) {
    put(out, text, std::strlen(text));
}
void put_repeated(NoticeBuffer* out, char c, std::size_t count) {
    for (std::size_t i = 0; i < count && out->length < NOTICE_BUFFER; ++i)
        out->data[out->length++] = c;
}
void put_number(NoticeBuffer* out, std::size_t value) {
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0) put(out, &digits[--count], 1);
}

// One row of the notice: reverse video, the text padded to the box's inner width.
void put_row(NoticeBuffer* out, const char* left, const char* text, std::size_t length,
             std::size_t inner, const char* right, char fill) {
    put(out, "\033[B\r\033[2K\033[7m");
    put(out, left);
    char harmless[256];
    std::size_t copied = copy_harmless(harmless, sizeof harmless, text, length);
    put(out, harmless, copied);
    put_repeated(out, fill, inner > copied ? inner - copied : 0);
    put(out, right);
    put(out, "\033[0m");
}

// Draws the notice on the lines below the cursor (making room first, so that the screen
// scrolls before anything is drawn), then puts the cursor back where it was. Drawn again, it
// takes the same lines.
void draw_notice(const char* caption, const char* text, unsigned style) {
    winsize size{};
    std::size_t columns = 0;
    if (ioctl(posix::tty_fd, TIOCGWINSZ, &size) == 0) columns = size.ws_col;
    NoticeLayout layout = layout_notice(caption, text, style == NOTICE_RETRY, columns);
    std::size_t inner = layout.inner;

    NoticeBuffer out;
    out.length = 0;
    for (std::size_t i = 0; i < layout.rows; ++i) put(&out, "\033D");
    put(&out, "\033[");
    put_number(&out, layout.rows);
    put(&out, "A\0337");
    put(&out, "\033[B\r\033[2K\033[7m+- \033[1m");
    char harmless[256];
    put(&out, harmless, copy_harmless(harmless, sizeof harmless, caption, layout.caption_length));
    put(&out, "\033[22m ");
    put_repeated(&out, '-', inner - layout.caption_length - 1);
    put(&out, "+\033[0m");
    for (std::size_t i = 0; i < layout.line_count; ++i)
        put_row(&out, "| ", layout.lines[i].start, layout.lines[i].length, inner, " |", ' ');
    put_row(&out, "| ", "", 0, inner, " |", ' ');
    NoticeBuffer row;
    row.length = 0;
    put_repeated(&row, ' ', (inner - layout.buttons_length) / 2);
    put(&row, layout.buttons);
    put_row(&out, "| ", row.data, row.length, inner, " |", ' ');
    put_row(&out, "+-", "", 0, inner, "-+", '-');
    put(&out, "\0338");
    std::memcpy(last_drawing, out.data, out.length);
    last_drawing_length.store(out.length);
    posix::notice_drawn.store(1);
    posix::write_all(posix::tty_fd, out.data, out.length);
}

// At a terminal that takes no escape sequences: the notice as one line of its own, with the
// keys that answer it.
void write_notice_line(const char* caption, const char* text, unsigned style) {
    NoticeBuffer out;
    out.length = 0;
    if (!posix::output_line_ended()) put(&out, "\r\n");
    char harmless[256];
    put(&out, harmless, copy_harmless(harmless, sizeof harmless, caption, std::strlen(caption)));
    put(&out, ": ");
    put(&out, harmless, copy_harmless(harmless, sizeof harmless, text, std::strlen(text)));
    put(&out, style == NOTICE_RETRY ? "   [R]etry   [C]ancel\r\n" : "   [OK]\r\n");
    posix::note_line_ended();
    posix::write_all(posix::tty_fd, out.data, out.length);
}

void show_on_terminal(const char* caption, const char* text, unsigned style) {
    if (posix::restored.load()) return;
    if (posix::plain_terminal()) {
        write_notice_line(caption, text, style);
    } else {
        draw_notice(caption, text, style);
    }
}

void erase_notice() {
    posix::notice_hidden.store(0);
    if (posix::notice_drawn.exchange(0))
        posix::write_all(posix::tty_fd, posix::NOTICE_ERASE, sizeof posix::NOTICE_ERASE - 1);
}

}  // namespace

namespace posix {

bool plain_terminal() {
    static const bool plain = [] {
        const char* term = getenv("TERM");
        return term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0;
    }();
    return plain;
}

void redraw_notice() {
    if (tty_fd < 0) return;
    notice_drawn.store(1);
    write_all(tty_fd, last_drawing, last_drawing_length.load());
}

void notices_start() {
    if (pipe2(answer_pipe, O_CLOEXEC | O_NONBLOCK) != 0) answer_pipe[0] = answer_pipe[1] = -1;
}

bool key_to_notice(unsigned char key) {
    std::lock_guard<std::mutex> lock(notice_mutex);
    if (!notice_waiting) return false;
    int answer = answer_for_key(notice_style, key);
    if (answer != 0) {
        unsigned char byte = static_cast<unsigned char>(answer);
        ssize_t written = write(answer_pipe[1], &byte, 1);
        (void)written;
        notice_waiting = false;
    }
    return true;
}

}  // namespace posix

int show_notice(const char* caption, const char* text, unsigned style, const char* (*follow)()) {
    if (!terminal_notices()) return notice_to_standard_error(caption, text, style, "\n");
    // One notice on the screen at a time; a second waits for the first to be answered.
    for (;;) {
        int expected = 0;
        if (notice_slot.compare_exchange_strong(expected, 1)) break;
        if (posix::wait_readable(-1, NOTICE_SLOT_WAIT_MS) == WaitResult::STOPPED)
            return ANSWER_STOPPED;
    }
    {
        std::lock_guard<std::mutex> lock(notice_mutex);
        unsigned char stale;
        while (read(answer_pipe[0], &stale, 1) == 1) {
        }
        notice_style = style;
        notice_waiting = true;
    }
    show_on_terminal(caption, text, style);
    const char* shown = text;
    int answer = ANSWER_STOPPED;
    for (;;) {
        WaitResult ready = posix::wait_readable(answer_pipe[0], follow ? FOLLOW_MS : -1);
        if (ready == WaitResult::STOPPED) break;
        if (ready == WaitResult::TIMED_OUT) {
            // The text follows what it reports; a notice a stop took off the screen is left
            // off it (it is drawn again, with the text it had, when the console continues).
            const char* now = follow();
            if (now != nullptr && std::strcmp(now, shown) != 0 && !posix::notice_hidden.load()) {
                if (!posix::plain_terminal() && !posix::restored.load()) erase_notice();
                show_on_terminal(caption, now, style);
                shown = now;
            }
            continue;
        }
        unsigned char byte = 0;
        if (ready == WaitResult::READY && read(answer_pipe[0], &byte, 1) == 1) {
            answer = byte;
            break;
        }
        if (ready == WaitResult::FAILED) {
            answer = style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(notice_mutex);
        notice_waiting = false;
    }
    if (!posix::restored.load() && !posix::plain_terminal()) erase_notice();
    notice_slot.store(0);
    return answer;
}

}  // namespace platform
