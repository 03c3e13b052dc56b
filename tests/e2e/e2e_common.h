// What the end-to-end tests share: the console's fixed wire messages and terminal sequences,
// and the checks made on a console that ran at a terminal.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "harness.h"
#include "pty_harness.h"

namespace e2e {

inline const std::string MODE = harness::bytes("MODE 1\0");
inline const std::string CLOSE = harness::bytes("CLOSE\0");
constexpr const char* TITLE_PUSH = "\033[22;0t";
constexpr const char* TITLE_POP = "\033[23;0t";
// What the console writes to take a notice off the screen.
constexpr const char* NOTICE_ERASE = "\0337\033[B\r\033[J\0338";

// Skips a test of what only a POSIX console does; the reason names where the Windows console's
// own behaviour is tested. Under wine the console at a terminal is wine's, which redraws the
// screen itself: a test of the bytes on the terminal (echo, notices drawn there, title
// sequences) has no Windows meaning.
#define SKIP_FOR_WINDOWS(reason)                                                     \
    do {                                                                             \
        if (harness::console_is_windows()) GTEST_SKIP() << "POSIX only: " << reason; \
    } while (0)

// A path as a Windows program under wine names it (wine's Z: drive is the root).
inline std::string windows_path(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

inline void pause_ms(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

inline long long milliseconds_between(std::chrono::steady_clock::time_point from,
                                      std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The terminal is left exactly as the console found it: its settings, and its title (the
// title pushed at the start is popped at the end).
inline void expect_terminal_restored(const pty::TerminalConsole& console) {
    EXPECT_EQ(pty::settings_text(console.settings_now()),
              pty::settings_text(console.settings_at_start()));
    // A Windows console's title is the console's own, not the terminal's title stack; the
    // Windows tests check it, and the console's input mode, from a Windows parent that shares
    // the console (windows_console_e2e_test.cpp).
    if (harness::console_is_windows()) return;
    std::string screen = console.screen();
    std::size_t push = screen.find(TITLE_PUSH);
    ASSERT_NE(push, std::string::npos);
    EXPECT_NE(screen.find(TITLE_POP, push), std::string::npos);
}

}  // namespace e2e
