// Standard output and standard error on Windows: write_stdout, write_stdout_parts,
// write_stderr and stderr_is_console.
//
// WriteFile on the standard-output handle, with no buffering, every byte in order. Failures
// (no handle, a reader that went away) are ignored: they never end the console. A console
// that converts (console_converts) is written UTF-16 with WriteConsoleW: the text written to it
// is UTF-8 in whole characters (the server's converted text, the echo of a typed character,
// the console's own ASCII), so each write converts alone.
#include <atomic>

#include "internal.h"

namespace platform {

namespace {

// The most one WriteFile is given, so that a console handle is never asked for a huge write.
constexpr std::size_t WRITE_STEP = 1024 * 1024;

// The last byte written to standard output ('\n' before any), for end_output_line.
std::atomic<char> last_stdout_byte{'\n'};

void write_all(HANDLE handle, const char* data, std::size_t length) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (length > 0) {
        DWORD step = static_cast<DWORD>(length > WRITE_STEP ? WRITE_STEP : length);
        DWORD written = 0;
        if (!WriteFile(handle, data, step, &written, nullptr) || written == 0) return;
        data += written;
        length -= written;
    }
}

// A step of UTF-8 that ends at a character's boundary: at most WIDE_STEP bytes, cut before the
// lead of a sequence that the step would split.
constexpr std::size_t WIDE_STEP = 8192;

std::size_t whole_step(const char* data, std::size_t length) {
    if (length <= WIDE_STEP) return length;
    std::size_t step = WIDE_STEP;
    for (std::size_t back = 0; back < 3 && (data[step] & 0xC0) == 0x80; ++back) --step;
    return step;
}

// UTF-8 to a console in UTF-16; a handle that is no console (WriteConsoleW fails) gets the
// bytes instead.
void write_wide(HANDLE handle, const char* data, std::size_t length) {
    static thread_local wchar_t wide[WIDE_STEP];
    while (length > 0) {
        std::size_t step = whole_step(data, length);
        int count = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(step), wide,
                                        static_cast<int>(WIDE_STEP));
        for (int at = 0; at < count;) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, wide + at, static_cast<DWORD>(count - at), &written,
                               nullptr) ||
                written == 0) {
                // Nothing of this step shown yet: the bytes go out as they are; part of it
                // shown: the console has failed, and nothing is written twice.
                if (at == 0) write_all(handle, data, length);
                return;
            }
            at += static_cast<int>(written);
        }
        data += step;
        length -= step;
    }
}

void write_text(HANDLE handle, const char* data, std::size_t length) {
    if (windows::console_converts) return write_wide(handle, data, length);
    write_all(handle, data, length);
}

}  // namespace

void write_stdout(const char* data, std::size_t length) {
    if (length > 0) last_stdout_byte.store(data[length - 1], std::memory_order_relaxed);
    write_text(GetStdHandle(STD_OUTPUT_HANDLE), data, length);
}

void write_stderr(const char* data, std::size_t length) {
    write_all(GetStdHandle(STD_ERROR_HANDLE), data, length);
}

bool stderr_is_console() {
    // Only a console handle has a console mode.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void write_stdout_parts(const OutputPart* parts, int count) {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 0; i < count; ++i) {
        if (parts[i].length > 0)
            last_stdout_byte.store(parts[i].data[parts[i].length - 1], std::memory_order_relaxed);
        write_text(handle, parts[i].data, parts[i].length);
    }
}

void end_output_line() {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode) || last_stdout_byte.load() == '\n') return;
    write_stdout("\r\n", 2);
}

}  // namespace platform
