// The launch control's argument: "L~F~T~" and then the command text, a separator and the title.
#pragma once

#include <cstddef>
#include <cstdint>

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
