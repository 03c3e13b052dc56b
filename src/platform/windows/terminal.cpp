// The console's input mode and the ways out on Windows: console_start, console_restore,
// standard_input, set_console_key_mode, detach_console, exit_process, LARGEST_EXIT_STATUS and
// exit_status.
//
// The console is shared with the shell that started veldrin: the input mode and the title found
// at start-up are put back on every way out (a normal end, exit_process, and the console
// control events that end the process).
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace platform {

namespace {

HANDLE input_handle = nullptr;
DWORD saved_input_mode = 0;
std::atomic<int> started{0};
std::atomic<int> mode_saved{0};    // the input is a console, and its mode was read
std::atomic<int> mode_changed{0};  // the mode was changed: restore puts it back
std::atomic<int> restored{0};

// The title the console found at start-up: the user's own, which no receive chunk bounds.
constexpr DWORD TITLE_CAPACITY = 1024;
wchar_t saved_window_title[TITLE_CAPACITY] = L"";
std::atomic<int> title_saved{0};

void restore_at_exit() {
    console_restore();
}

}  // namespace

namespace windows {

void restore_input_mode() {
    if (mode_saved.load() && mode_changed.exchange(0))
        SetConsoleMode(input_handle, saved_input_mode);
}

}  // namespace windows

void console_start() {
    if (started.exchange(1)) return;
    input_handle = GetStdHandle(STD_INPUT_HANDLE);
    if (input_handle && input_handle != INVALID_HANDLE_VALUE &&
        GetConsoleMode(input_handle, &saved_input_mode))
        mode_saved.store(1);
    // An empty title is a title too (a console started from a terminal under wine has one), and
    // is put back as well; only a process with no console has none to save.
    SetLastError(ERROR_SUCCESS);
    // It is kept in UTF-16, so that it comes back whole whatever the console's code page, and
    // handed to get_console_title in the text set_console_title reads (UTF-8 where the console
    // converts, else the console's code page): the server's code page was named before this.
    if (GetConsoleTitleW(saved_window_title, TITLE_CAPACITY) > 0 || GetLastError() == ERROR_SUCCESS)
        title_saved.store(1);
    char found[3 * TITLE_CAPACITY] = "";
    if (title_saved.load()) {
        UINT code_page = windows::console_converts ? CP_UTF8 : GetConsoleOutputCP();
        int length = WideCharToMultiByte(code_page, 0, saved_window_title, -1, found, sizeof found,
                                         nullptr, nullptr);
        if (length <= 0) found[0] = '\0';
    }
    windows::keep_title_found(found);
    windows::main_wait_start();
    windows::install_control_handler();
    std::atexit(restore_at_exit);
}

void console_restore() {
    if (restored.exchange(1)) return;
    windows::restore_input_mode();
    if (title_saved.load()) SetConsoleTitleW(saved_window_title);
}

InputHandle standard_input() {
    return reinterpret_cast<InputHandle>(GetStdHandle(STD_INPUT_HANDLE));
}

bool set_console_key_mode(InputHandle input) {
    HANDLE handle = reinterpret_cast<HANDLE>(input);
    DWORD mode = 0;
    if (restored.load() || !GetConsoleMode(handle, &mode)) return false;
    // Mode 0: every key as typed, no echo, no line editing; Ctrl+C arrives as the key 3.
    mode_changed.store(1);
    return SetConsoleMode(handle, 0) != 0;
}

void detach_console() {
    console_restore();
    FreeConsole();
}

void exit_process(int status) {
    console_restore();
    std::exit(status);
}

const std::uint32_t LARGEST_EXIT_STATUS = 0xFFFFFFFFu;

int exit_status(std::uint32_t code) {
    // Windows exit codes are 32 bits wide: the server's code passes unchanged, except the one a
    // parent asking for it would take for "still running", and wait on for ever.
    if (code == STILL_ACTIVE) return static_cast<int>(LARGEST_EXIT_STATUS);
    return static_cast<int>(code);
}

}  // namespace platform
