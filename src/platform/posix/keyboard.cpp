// The keyboard: read_console_key of platform.h. Backspace becomes 8, keys that are not
// characters (escape sequences) are swallowed, keys typed while a notice is up answer it, and
// keys from a file or a pipe end a line at LF as Enter would.
#include <unistd.h>

#include <cerrno>

#include "internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

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

}  // namespace

KeyResult read_console_key(InputHandle input, char* key) {
    if (input_ended) return KEY_END;
    for (;;) {
        unsigned char byte = 0;
        int result = read_byte(input, &byte, -1);
        if (result == KEY_END) input_ended = true;
        if (result != KEY_READ) return static_cast<KeyResult>(result);
        if (!posix::stdin_is_tty) {
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
        if (byte == posix::erase_key || byte == 127) {
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
        if (posix::key_to_notice(byte)) continue;
        *key = static_cast<char>(byte);
        return KEY_READ;
    }
}

}  // namespace platform
