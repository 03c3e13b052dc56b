// The console on a POSIX terminal: standard output, the keyboard, the title and notices.
//
// What the console adds to the screen (the title, notices) goes to the controlling terminal
// (/dev/tty) only, never into standard output, which may be redirected. The terminal's settings
// and title are saved at start-up and put back on every way out: a normal exit, exit_process,
// and the signals that end a process (restored in the handler, then the signal is raised again
// with its default action, so the exit status still shows it).
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix_internal.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELDRIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELDRIN_SANITIZED 1
#endif
#endif

namespace platform {

namespace {

// ---------------------------------------------------------------------------------------------
// What console_start found, and what is to be put back.

int tty_fd = -1;  // the controlling terminal, for the title and notices
bool stdin_is_tty = false;
termios saved_mode{};  // standard input's settings at start-up (when it is a terminal)
unsigned char erase_key = 127;
std::atomic<int> started{0};
std::atomic<int> mode_changed{0};  // the input mode was changed: restore puts it back
std::atomic<int> title_pushed{0};  // the terminal's title was pushed: restore pops it
std::atomic<int> restored{0};      // restore has run: the console no longer touches the terminal
std::atomic<int> notice_drawn{0};  // a notice is on the screen below the cursor

constexpr char TITLE_PUSH[] = "\033[22;0t";
constexpr char TITLE_POP[] = "\033[23;0t";
// Erases what a notice drew below the cursor line and leaves the cursor where it was.
constexpr char NOTICE_ERASE[] = "\0337\033[B\r\033[J\0338";

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

// Async-signal-safe: only tcsetattr and write.
void restore_terminal() {
    if (restored.exchange(1)) return;
    if (mode_changed.load()) tcsetattr(0, TCSANOW, &saved_mode);
    if (tty_fd >= 0) {
        if (notice_drawn.exchange(0)) write_all(tty_fd, NOTICE_ERASE, sizeof NOTICE_ERASE - 1);
        if (title_pushed.load()) write_all(tty_fd, TITLE_POP, sizeof TITLE_POP - 1);
    }
}

void on_ending_signal(int signal_number) {
    int saved_errno = errno;
    restore_terminal();
    // The handler was reset to the default on entry; the signal is blocked until this handler
    // returns, and is then delivered again with its default action.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
    errno = saved_errno;
}

// Installs the handler unless the signal already has one or is ignored (a sanitizer's own
// handler, or SIGHUP ignored under nohup, stays as it is).
void handle_signal(int signal_number) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the handler never returns to a call it interrupted (it ends the process),
    // and a sanitizer that runs handlers late needs the interrupted call to come back.
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
}

void restore_at_exit() {
    restore_terminal();
}

// ---------------------------------------------------------------------------------------------
// The title

constexpr std::size_t TITLE_CAPACITY = 256;
std::mutex title_mutex;
char current_title[TITLE_CAPACITY];

// A byte that a terminal could take as part of a control sequence: C0, DEL and C1.
bool is_control_byte(unsigned char byte) {
    return byte < 0x20 || (byte >= 0x7f && byte <= 0x9f);
}

// Copies text into buffer with every control byte replaced, so no text can end the sequence it
// is written in or start a new one. Returns the length written.
std::size_t copy_harmless(char* buffer, std::size_t capacity, const char* text,
                          std::size_t length) {
    std::size_t count = 0;
    for (; count < length && count < capacity; ++count) {
        unsigned char byte = static_cast<unsigned char>(text[count]);
        buffer[count] = is_control_byte(byte) ? '?' : static_cast<char>(byte);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// The keyboard

constexpr int ESCAPE_WAIT_MS = 40;  // a lone Esc: no further byte within this time
constexpr int SEQUENCE_LIMIT = 32;  // longest escape sequence swallowed

bool input_ended = false;  // keyboard reader thread only
int pending_byte = -1;     // a byte read ahead after an Esc
bool last_was_cr = false;  // CR LF from a file or pipe is one Enter

constexpr int READ_TIMED_OUT = 100;  // read_byte: no byte within the time-out

// One byte from the input: KEY_READ, KEY_END, KEY_FAILED, KEY_STOPPED or READ_TIMED_OUT.
int read_byte(int input, unsigned char* byte, int timeout_ms) {
    if (pending_byte >= 0) {
        *byte = static_cast<unsigned char>(pending_byte);
        pending_byte = -1;
        return KEY_READ;
    }
    for (;;) {
        int ready = posix::wait_readable(input, timeout_ms);
        if (ready == -2) return KEY_STOPPED;
        if (ready == 0) return READ_TIMED_OUT;
        if (ready < 0) return KEY_FAILED;
        ssize_t got = read(input, byte, 1);
        if (got == 1) return KEY_READ;
        if (got == 0) return KEY_END;
        if (errno == EINTR || errno == EAGAIN) continue;
        // A terminal that has hung up, or no input at all: there will never be another key.
        if (errno == EIO || errno == EBADF) return KEY_END;
        return KEY_FAILED;
    }
}

// After ESC '[' or ESC 'O': reads up to the sequence's final byte. KEY_READ when swallowed
// (also when the sequence stopped coming), else what ended the read.
int swallow_sequence(int input, bool control_sequence) {
    for (int count = 0; count < SEQUENCE_LIMIT; ++count) {
        unsigned char byte = 0;
        int result = read_byte(input, &byte, ESCAPE_WAIT_MS);
        if (result == READ_TIMED_OUT) return KEY_READ;
        if (result != KEY_READ) return result;
        // SS3 is one byte; a control sequence ends at its final byte (0x40 to 0x7E).
        if (!control_sequence || (byte >= 0x40 && byte <= 0x7e)) return KEY_READ;
    }
    return KEY_READ;
}

// ---------------------------------------------------------------------------------------------
// Notices

std::mutex notice_mutex;      // guards the three below
bool notice_waiting = false;  // a notice is up and waits for a key
unsigned notice_style = 0;
int answer_pipe[2] = {-1, -1};    // the keyboard reader writes the answer here
std::atomic<int> notice_slot{0};  // one notice on the screen at a time

constexpr int NOTICE_SLOT_WAIT_MS = 20;
constexpr std::size_t NOTICE_TEXT_LINES = 8;
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

// Gives a key to the notice that is up; false when there is none.
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

bool terminal_notices() {
    return stdin_is_tty && tty_fd >= 0 && answer_pipe[0] >= 0;
}

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

struct TextLine {
    const char* start;
    std::size_t length;
};

// Splits the text at its newlines and wraps it at width; at most NOTICE_TEXT_LINES lines.
std::size_t layout_text(const char* text, std::size_t width, TextLine* lines) {
    std::size_t count = 0;
    const char* p = text;
    while (count < NOTICE_TEXT_LINES) {
        const char* end = std::strchr(p, '\n');
        std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        do {
            std::size_t piece = length < width ? length : width;
            lines[count++] = {p, piece};
            p += piece;
            length -= piece;
        } while (length > 0 && count < NOTICE_TEXT_LINES);
        if (!end || count == NOTICE_TEXT_LINES) break;
        p = end + 1;
    }
    return count;
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
    std::size_t columns = 80;
    if (ioctl(tty_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    if (columns > 200) columns = 200;
    if (columns < 24) columns = 24;
    // "| " text " |" within columns - 1, so that no row reaches the last column.
    std::size_t text_width = columns - 5;
    TextLine lines[NOTICE_TEXT_LINES];
    std::size_t count = layout_text(text, text_width, lines);
    const char* buttons = style == NOTICE_RETRY ? "[R]etry   [C]ancel" : "[O]K";
    std::size_t caption_length = std::strlen(caption);
    if (caption_length > text_width - 2) caption_length = text_width - 2;
    std::size_t inner = std::strlen(buttons);
    if (caption_length + 2 > inner) inner = caption_length + 2;
    for (std::size_t i = 0; i < count; ++i)
        if (lines[i].length > inner) inner = lines[i].length;
    // Rows: top border with the caption, the text, an empty row, the buttons, bottom border.
    std::size_t rows = count + 4;

    NoticeBuffer out;
    out.length = 0;
    for (std::size_t i = 0; i < rows; ++i) put(&out, "\033D");
    put(&out, "\033[");
    put_number(&out, rows);
    put(&out, "A\0337");
    put(&out, "\033[B\r\033[2K\033[7m+- \033[1m");
    char harmless[256];
    put(&out, harmless, copy_harmless(harmless, sizeof harmless, caption, caption_length));
    put(&out, "\033[22m ");
    put_repeated(&out, '-', inner - caption_length - 1);
    put(&out, "+\033[0m");
    for (std::size_t i = 0; i < count; ++i)
        put_row(&out, "| ", lines[i].start, lines[i].length, inner, " |", ' ');
    put_row(&out, "| ", "", 0, inner, " |", ' ');
    std::size_t buttons_length = std::strlen(buttons);
    NoticeBuffer row;
    row.length = 0;
    put_repeated(&row, ' ', (inner - buttons_length) / 2);
    put(&row, buttons);
    put_row(&out, "| ", row.data, row.length, inner, " |", ' ');
    put_row(&out, "+-", "", 0, inner, "-+", '-');
    put(&out, "\0338");
    notice_drawn.store(1);
    write_all(tty_fd, out.data, out.length);
}

void erase_notice() {
    if (notice_drawn.exchange(0)) write_all(tty_fd, NOTICE_ERASE, sizeof NOTICE_ERASE - 1);
}

// Notices with no terminal: each distinct message once, on standard error.
constexpr int SHOWN_LIMIT = 32;
std::uint64_t shown_messages[SHOWN_LIMIT];
int shown_count = 0;
std::mutex shown_mutex;

std::uint64_t message_hash(const char* text, unsigned style) {
    std::uint64_t hash = 1469598103934665603ull ^ style;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        hash ^= *p;
        hash *= 1099511628211ull;
    }
    return hash;
}

int notice_to_standard_error(const char* caption, const char* text, unsigned style) {
    int answer = style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
    std::uint64_t hash = message_hash(text, style);
    {
        std::lock_guard<std::mutex> lock(shown_mutex);
        for (int i = 0; i < shown_count; ++i)
            if (shown_messages[i] == hash) return answer;
        if (shown_count < SHOWN_LIMIT) shown_messages[shown_count++] = hash;
    }
    iovec parts[4] = {{const_cast<char*>(caption), std::strlen(caption)},
                      {const_cast<char*>(": "), 2},
                      {const_cast<char*>(text), std::strlen(text)},
                      {const_cast<char*>("\n"), 1}};
    ssize_t written;
    do {
        written = writev(2, parts, 4);
    } while (written < 0 && errno == EINTR);
    return answer;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void console_start() {
    if (started.exchange(1)) return;
    if (isatty(0) && tcgetattr(0, &saved_mode) == 0) {
        stdin_is_tty = true;
        if (saved_mode.c_cc[VERASE] != _POSIX_VDISABLE) erase_key = saved_mode.c_cc[VERASE];
    }
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pipe2(answer_pipe, O_CLOEXEC | O_NONBLOCK) != 0) answer_pipe[0] = answer_pipe[1] = -1;
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) handle_signal(signal_number);
    // A reader of standard output that goes away (a pipe into head) makes writes fail, which
    // the console ignores like any other output failure: it must not end the console before
    // the server has set its exit status. Launched programs start with the default again.
    ::signal(SIGPIPE, SIG_IGN);
#ifndef VELDRIN_SANITIZED
    // The sanitizers report these themselves; their handlers are left alone.
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        handle_signal(signal_number);
#endif
    std::atexit(restore_at_exit);
    if (tty_fd >= 0) {
        title_pushed.store(1);
        write_all(tty_fd, TITLE_PUSH, sizeof TITLE_PUSH - 1);
    }
}

void console_restore() {
    restore_terminal();
}

void write_stdout(const char* data, std::size_t length) {
    write_all(1, data, length);
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

InputHandle console_input() {
    return 0;
}

bool set_console_input_mode(InputHandle input, unsigned mode) {
    if (input != 0 || !stdin_is_tty || restored.load()) return false;
    termios settings = saved_mode;
    if (mode == 0) {
        // Every key as typed: no line editing, no echo, no keys turned into signals (Ctrl+C is
        // the character 3), Enter as 13, no flow-control keys. Output processing stays on.
        settings.c_lflag &=
            ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
        settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF);
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
    }
    mode_changed.store(1);
    return tcsetattr(input, TCSANOW, &settings) == 0;
}

KeyResult read_console_key(InputHandle input, char* key) {
    if (input_ended) return KEY_END;
    for (;;) {
        unsigned char byte = 0;
        int result = read_byte(input, &byte, -1);
        if (result == KEY_END) input_ended = true;
        if (result != KEY_READ) return static_cast<KeyResult>(result);
        if (!stdin_is_tty) {
            // Keys from a file or a pipe: a line ends with LF (or CR LF) as with Enter.
            bool after_cr = last_was_cr;
            last_was_cr = byte == 13;
            if (byte == '\n') {
                if (after_cr) continue;
                byte = 13;
            }
            *key = static_cast<char>(byte);
            return KEY_READ;
        }
        if (byte == erase_key || byte == 127) {
            byte = 8;
        } else if (byte == 27) {
            unsigned char next = 0;
            result = read_byte(input, &next, ESCAPE_WAIT_MS);
            if (result == KEY_STOPPED) return KEY_STOPPED;
            if (result == KEY_READ && (next == '[' || next == 'O')) {
                // A key that is not a character (arrow, function key): swallowed.
                result = swallow_sequence(input, next == '[');
                if (result == KEY_END) input_ended = true;
                if (result == KEY_STOPPED || result == KEY_END)
                    return static_cast<KeyResult>(result);
                continue;
            }
            if (result == KEY_READ) pending_byte = next;  // Esc, then a key of its own
        }
        if (key_to_notice(byte)) continue;
        *key = static_cast<char>(byte);
        return KEY_READ;
    }
}

void set_console_title(const char* title) {
    std::lock_guard<std::mutex> lock(title_mutex);
    std::size_t length = std::strlen(title);
    if (length > TITLE_CAPACITY - 1) length = TITLE_CAPACITY - 1;
    std::memcpy(current_title, title, length);
    current_title[length] = 0;
    if (tty_fd < 0 || restored.load()) return;
    char sequence[TITLE_CAPACITY + 8] = "\033]2;";
    std::size_t used = 4 + copy_harmless(sequence + 4, TITLE_CAPACITY, title, length);
    sequence[used++] = '\007';
    write_all(tty_fd, sequence, used);
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

int show_notice(const char* caption, const char* text, unsigned style) {
    if (!terminal_notices()) return notice_to_standard_error(caption, text, style);
    // One notice on the screen at a time; a second waits for the first to be answered.
    for (;;) {
        int expected = 0;
        if (notice_slot.compare_exchange_strong(expected, 1)) break;
        if (posix::wait_readable(-1, NOTICE_SLOT_WAIT_MS) == -2) return ANSWER_STOPPED;
    }
    {
        std::lock_guard<std::mutex> lock(notice_mutex);
        unsigned char stale;
        while (read(answer_pipe[0], &stale, 1) == 1) {
        }
        notice_style = style;
        notice_waiting = true;
    }
    if (!restored.load()) draw_notice(caption, text, style);
    int answer = ANSWER_STOPPED;
    for (;;) {
        int ready = posix::wait_readable(answer_pipe[0], -1);
        if (ready == -2) break;
        unsigned char byte = 0;
        if (ready == 1 && read(answer_pipe[0], &byte, 1) == 1) {
            answer = byte;
            break;
        }
        if (ready < 0) {
            answer = style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(notice_mutex);
        notice_waiting = false;
    }
    if (!restored.load()) erase_notice();
    notice_slot.store(0);
    return answer;
}

void detach_console() {
    console_restore();
}

void exit_process(int status) {
    console_restore();
    std::exit(status);
}

}  // namespace platform
