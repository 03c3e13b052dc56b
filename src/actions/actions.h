// The server-directed actions: launching and ending a program (controls 3 and 4), the title
// and the exit status (controls 5 and 6).
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Launch: "L~F~T~" and then the command text, a separator and the title.

// What the argument of a launch control asks for. Offsets and lengths are in bytes within the
// argument's text, and always lie inside it.
struct LaunchRequest {
    std::uint32_t flags;         // F: REMEMBER_CHILD and the creation flags
    std::size_t command_offset;  // just after the third '~'
    std::size_t command_length;  // L
    std::size_t title_offset;    // just after the separator (the end of the text when none)
    std::size_t title_length;    // T, cut at the end of the text
};

// A launch argument comes from one receive chunk; the parse looks at no more than this.
constexpr std::size_t LAUNCH_ARGUMENT_MAX = 1024;

// Parses a launch argument with "%3u~%x~%3u~%n" exactly as those conversions read it (leading
// white space skipped, at most three characters per length, 32-bit hexadecimal flags). The text
// is the argument up to its first NUL or argument_length bytes, whichever comes first. False when
// a number or a '~' is missing, or when the text after the third '~' is empty or shorter than
// the command length. Pure.
bool parse_launch_argument(const char* argument, std::size_t argument_length,
                           LaunchRequest* request);

void launch_program(char* argument, std::size_t argument_length);
void end_program();
void apply_title(const char* argument, std::size_t argument_length);
void apply_exit_code(const char* argument);

// The "%3u~%n" test of a title argument: the offset of the title, or -1 when the saved title is
// to come back. Pure.
long parse_title_argument(const char* argument, std::size_t argument_length);
// "%u": true and *value set when the argument starts with a number. A number too large for 32
// bits is held at the largest value rather than wrapping. Pure.
bool parse_unsigned(const char* argument, std::uint32_t* value);
