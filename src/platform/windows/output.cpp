// Standard output and standard error on Windows: write_stdout, write_stdout_parts,
// write_stderr and stderr_is_console.
//
// WriteFile on the standard-output handle, with no buffering, every byte in order. Failures
// (no handle, a reader that went away) are ignored: they never end the console.
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

}  // namespace

void write_stdout(const char* data, std::size_t length) {
    if (length > 0) last_stdout_byte.store(data[length - 1], std::memory_order_relaxed);
    write_all(GetStdHandle(STD_OUTPUT_HANDLE), data, length);
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
        write_all(handle, parts[i].data, parts[i].length);
    }
}

void end_output_line() {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode) || last_stdout_byte.load() == '\n') return;
    write_stdout("\r\n", 2);
}

}  // namespace platform
