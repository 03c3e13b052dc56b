// Text made harmless for a terminal: what the console writes inside a control sequence (the
// title) or into a drawn box (a notice) can neither end that sequence nor start a new one.
// Portable, with no operating system in it; shared by the backends.
#pragma once

#include <cstddef>

namespace platform {

// A byte that a terminal could take as part of a control sequence: C0, DEL and C1.
bool is_control_byte(unsigned char byte);

// Copies at most capacity bytes of text (length bytes) into buffer with every control byte
// replaced by '?'. No NUL is added. Returns the length written. For terminals whose character
// set has one byte a character.
std::size_t copy_harmless(char* buffer, std::size_t capacity, const char* text, std::size_t length);

// The same for a terminal whose character set is UTF-8, character by character: C0, DEL and
// the C1 controls (U+0080 to U+009F) become '?', so does each malformed sequence (its longest
// start that could have begun a character: one '?' for it), and every other character is
// copied whole. A character that does not fit in what is left of capacity ends the copy, so
// the result is never cut inside a character.
std::size_t copy_harmless_utf8(char* buffer, std::size_t capacity, const char* text,
                               std::size_t length);

// The length of text (length bytes) cut to at most capacity bytes at a UTF-8 character's
// start: a character the capacity falls in is left out whole (at most three bytes go back, so
// a run of stray continuation bytes is cut where it falls).
std::size_t utf8_cut_length(const char* text, std::size_t length, std::size_t capacity);

}  // namespace platform
