// The keyboard on Windows: read_console_key.
//
// A console is read with ReadConsoleA (ReadConsoleW where the console converts: the character
// goes on in UTF-8), only once a key that makes a character is waiting, so the read never blocks:
// the thread waits on the input handle and its stop event together. Other input events (key
// releases, arrows, function keys, the mouse, focus) are taken and dropped. A pipe is polled with
// PeekNamedPipe while the thread waits on its stop event, since a ReadFile blocked on a pipe cannot
// be ended from outside everywhere (wine's CancelSynchronousIo leaves it blocked). A pipe that
// cannot be peeked (under wine, one made by a Unix parent answers ERROR_NOT_SUPPORTED) is read by a
// pump thread of the backend's own, which blocks in ReadFile and hands each block over through two
// events; the keyboard reader only ever waits on those and its stop event. The pump is never ended:
// it holds nothing but its read, and leaves with the process. A file never blocks. Keys from a pipe
// or a file end a line with LF (or CR LF), as Enter does.
#include <cstring>

#include "internal.h"
#include "platform/common/stream_keys.h"

namespace platform {

namespace {

enum class InputKind { UNKNOWN, CONSOLE, PIPE, PUMPED_PIPE, FILE, NONE };

// How often a pipe with nothing in it is looked at again.
constexpr DWORD PIPE_POLL_MS = 10;

// The keyboard reader's own (one thread reads keys).
InputKind input_kind = InputKind::UNKNOWN;
bool input_ended = false;
bool last_was_cr = false;
char block[4096];
DWORD block_length = 0;
DWORD block_position = 0;

// The pump of a pipe that cannot be peeked. It fills pump_block and sets pump_filled (a length
// of 0: the input has ended), then waits for pump_taken before it reads again.
HANDLE pump_filled = nullptr;
HANDLE pump_taken = nullptr;
char pump_block[sizeof block];
DWORD pump_length = 0;

DWORD WINAPI pump_body(LPVOID input) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(input), pump_block, sizeof pump_block, &got, nullptr))
            got = 0;
        pump_length = got;
        SetEvent(pump_filled);
        if (got == 0) return 0;
        WaitForSingleObject(pump_taken, INFINITE);
    }
}

bool start_pump(HANDLE input) {
    pump_filled = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    pump_taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!pump_filled || !pump_taken) return false;
    HANDLE pump = CreateThread(nullptr, 0, pump_body, input, 0, nullptr);
    if (!pump) return false;
    CloseHandle(pump);
    return true;
}

// Takes the pump's next block: READY, END or STOPPED.
WaitResult take_pumped_block(HANDLE input) {
    if (!pump_filled) {
        if (!start_pump(input)) return WaitResult::END;
    } else {
        SetEvent(pump_taken);
    }
    WaitResult filled = windows::wait_for(pump_filled, INFINITE);
    if (filled != WaitResult::READY)
        return filled == WaitResult::STOPPED ? filled : WaitResult::END;
    if (pump_length == 0) return WaitResult::END;
    std::memcpy(block, pump_block, pump_length);
    block_length = pump_length;
    block_position = 0;
    return WaitResult::READY;
}

InputKind classify(HANDLE input) {
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return InputKind::NONE;
    if (GetConsoleMode(input, &mode)) return InputKind::CONSOLE;
    switch (GetFileType(input)) {
        case FILE_TYPE_PIPE:
            return InputKind::PIPE;
        case FILE_TYPE_DISK:
        case FILE_TYPE_CHAR:
            return InputKind::FILE;
        default:
            return InputKind::NONE;
    }
}

// The UTF-8 of the last Unicode character read from a console that converts, handed on a byte
// at a time.
char typed[4];
int typed_length = 0;
int typed_position = 0;

WaitResult read_console_character(HANDLE input, char* key) {
    if (typed_position < typed_length) {
        *key = typed[typed_position++];
        return WaitResult::READY;
    }
    const bool wide = windows::console_converts;
    for (;;) {
        WaitResult ready = windows::wait_for(input, INFINITE);
        if (ready == WaitResult::STOPPED || ready == WaitResult::FAILED) return ready;
        INPUT_RECORD record;
        DWORD count = 0;
        if (!(wide ? PeekConsoleInputW(input, &record, 1, &count)
                   : PeekConsoleInputA(input, &record, 1, &count)))
            return WaitResult::FAILED;
        if (count == 0) continue;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            (wide ? record.Event.KeyEvent.uChar.UnicodeChar != 0
                  : record.Event.KeyEvent.uChar.AsciiChar != 0)) {
            DWORD got = 0;
            if (!wide) {
                char character = 0;
                if (!ReadConsoleA(input, &character, 1, &got, nullptr)) return WaitResult::FAILED;
                if (got == 0) continue;
                *key = character;
                return WaitResult::READY;
            }
            // The character typed, in UTF-8: the line editor finds its byte in the server's
            // code page, as it does for a POSIX terminal's keys.
            wchar_t character = 0;
            if (!ReadConsoleW(input, &character, 1, &got, nullptr)) return WaitResult::FAILED;
            if (got == 0) continue;
            typed_length = WideCharToMultiByte(CP_UTF8, 0, &character, 1, typed, sizeof typed,
                                               nullptr, nullptr);
            if (typed_length <= 0) continue;
            typed_position = 1;
            *key = typed[0];
            return WaitResult::READY;
        }
        if (!(wide ? ReadConsoleInputW(input, &record, 1, &count)
                   : ReadConsoleInputA(input, &record, 1, &count)))
            return WaitResult::FAILED;
    }
}

// Fills the block from a pipe or a file: READY, END or STOPPED.
WaitResult fill_block(HANDLE input) {
    for (;;) {
        DWORD wanted = sizeof block;
        if (input_kind == InputKind::PUMPED_PIPE) return take_pumped_block(input);
        if (input_kind == InputKind::PIPE) {
            DWORD available = 0;
            if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
                DWORD error = GetLastError();
                if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
                    return WaitResult::END;  // the writer has gone: there will never be a key
                input_kind = InputKind::PUMPED_PIPE;
                continue;
            }
            if (available == 0) {
                if (windows::wait_for(nullptr, PIPE_POLL_MS) == WaitResult::STOPPED)
                    return WaitResult::STOPPED;
                continue;
            }
            if (available < wanted) wanted = available;
        }
        DWORD got = 0;
        if (!ReadFile(input, block, wanted, &got, nullptr) || got == 0) return WaitResult::END;
        block_length = got;
        block_position = 0;
        return WaitResult::READY;
    }
}

WaitResult read_stream_character(HANDLE input, char* key) {
    for (;;) {
        if (block_position == block_length) {
            WaitResult filled = fill_block(input);
            if (filled != WaitResult::READY) return filled;
        }
        unsigned char byte = static_cast<unsigned char>(block[block_position++]);
        if (!stream_key(byte, &last_was_cr, key)) continue;
        return WaitResult::READY;
    }
}

}  // namespace

WaitResult read_console_key(InputHandle input, char* key) {
    HANDLE handle = reinterpret_cast<HANDLE>(input);
    if (thread_stopping()) return WaitResult::STOPPED;
    if (input_kind == InputKind::UNKNOWN) input_kind = classify(handle);
    if (input_ended || input_kind == InputKind::NONE) return WaitResult::END;
    WaitResult result = input_kind == InputKind::CONSOLE ? read_console_character(handle, key)
                                                         : read_stream_character(handle, key);
    if (result == WaitResult::END) input_ended = true;
    return result;
}

}  // namespace platform
