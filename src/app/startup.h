// Start-up: the options, the whole console's run and its exit status.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConsoleOptions {
    bool change_directory;  // "-p" given
    const char* directory;  // the text after "-p"
    bool quiet_loss;        // "-C" given
    std::size_t command_line_length;
    std::int32_t command_offset;  // 0: interactive mode
    bool command_line_too_long;   // the arguments did not fit the line buffer
};

// Reads the options and finds the command text: the arguments are joined by single spaces into
// line (NUL-ended), and command_offset is where the command text starts, or 0 when there is
// none (interactive mode). Pure: touches no state.
void parse_options(int argc, const char* const* argv, char* line, std::size_t capacity,
                   ConsoleOptions* options);
// The process's exit status for an exit_code: platform::exit_status.
int process_exit_status(std::uint32_t code);
// Reads VELDRIN_CODEPAGE and, where the output wants UTF-8, makes its code page the one that
// is converted. False, with the reason on standard error, when the setting names no code page
// the console can use.
bool start_code_page();
// Reads VELDRIN_KEEPALIVE into keep_alive_seconds. False, with the reason on standard error,
// when the setting is not a number of seconds the console takes.
bool start_keep_alive();
// The whole console: start-up, the connection loop and the shutdown; returns the exit status.
int console_main(int argc, const char* const* argv);
