// The keyboard: read_console_key of platform.h. Backspace becomes 8, keys that are not
// characters (escape sequences) are swallowed, keys typed while a notice is up answer it, and
// keys from a file or a pipe end a line at LF as Enter would.
#include <unistd.h>

#include <cerrno>

#include "internal.h"
#include "platform/common/stream_keys.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr int ESCAPE_WAIT_MS = 40;  // a lone Esc: no further byte within this time
constexpr int SEQUENCE_LIMIT = 32;  // longest escape sequence swallowed

constexpr std::size_t INPUT_BLOCK = 4096;  // bytes taken from the input in one read

// The keyboard reader thread's own: the input is read in blocks (a script piping megabytes of
// keys costs one call per block, not one per key), and the keys handed out one at a time.
bool input_ended = false;
int pending_byte = -1;     // a byte read ahead after an Esc
bool last_was_cr = false;  // CR LF from a file or pipe is one Enter
unsigned char input_block[INPUT_BLOCK];
std::size_t block_next = 0;
std::size_t block_end = 0;

// One byte from the input: READY, TIMED_OUT (no byte within the time-out), END, FAILED or
// STOPPED.
WaitResult read_byte(int input, unsigned char* byte, int timeout_ms) {
    if (pending_byte >= 0) {
        *byte = static_cast<unsigned char>(pending_byte);
        pending_byte = -1;
        return WaitResult::READY;
    }
    if (block_next < block_end) {
        if (thread_stopping()) return WaitResult::STOPPED;
        *byte = input_block[block_next++];
        return WaitResult::READY;
    }
    for (;;) {
        WaitResult ready = posix::wait_readable(input, timeout_ms);
        if (ready != WaitResult::READY) return ready;
        ssize_t got = read(input, input_block, sizeof input_block);
        if (got > 0) {
            block_next = 1;
            block_end = static_cast<std::size_t>(got);
            *byte = input_block[0];
            return WaitResult::READY;
        }
        if (got == 0) return WaitResult::END;
        if (errno == EINTR || errno == EAGAIN) continue;
        // A terminal that has hung up, or no input at all: there will never be another key.
        if (errno == EIO || errno == EBADF) return WaitResult::END;
        return WaitResult::FAILED;
    }
}

// After ESC '[' or ESC 'O': reads up to the sequence's final byte. READY when swallowed (also
// when the sequence stopped coming), else what ended the read.
WaitResult swallow_sequence(int input, bool control_sequence) {
    for (int count = 0; count < SEQUENCE_LIMIT; ++count) {
        unsigned char byte = 0;
        WaitResult result = read_byte(input, &byte, ESCAPE_WAIT_MS);
        if (result == WaitResult::TIMED_OUT) return WaitResult::READY;
        if (result != WaitResult::READY) return result;
        // SS3 is one byte; a control sequence ends at its final byte (0x40 to 0x7E).
        if (!control_sequence || (byte >= 0x40 && byte <= 0x7e)) return WaitResult::READY;
    }
    return WaitResult::READY;
}

}  // namespace

WaitResult read_console_key(InputHandle console, char* key) {
    if (input_ended) return WaitResult::END;
    int input = static_cast<int>(console);
    for (;;) {
        unsigned char byte = 0;
        WaitResult result = read_byte(input, &byte, -1);
        if (result == WaitResult::END) input_ended = true;
        if (result != WaitResult::READY) return result;
        if (!posix::stdin_is_tty) {
            if (!stream_key(byte, &last_was_cr, key)) continue;
            return WaitResult::READY;
        }
        if (byte == posix::erase_key || byte == 127) {
            byte = 8;
        } else if (byte == 27) {
            unsigned char next = 0;
            result = read_byte(input, &next, ESCAPE_WAIT_MS);
            if (result == WaitResult::STOPPED) return WaitResult::STOPPED;
            if (result == WaitResult::READY && (next == '[' || next == 'O')) {
                // A key that is not a character (arrow, function key): swallowed.
                result = swallow_sequence(input, next == '[');
                if (result == WaitResult::END) input_ended = true;
                if (result == WaitResult::STOPPED || result == WaitResult::END) return result;
                continue;
            }
            if (result == WaitResult::READY) pending_byte = next;  // Esc, then a key of its own
        }
        if (posix::key_to_notice(byte)) continue;
        *key = static_cast<char>(byte);
        return WaitResult::READY;
    }
}

}  // namespace platform
