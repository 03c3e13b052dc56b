// Text made harmless for a terminal: what the console writes inside a control sequence (the
// title) or into a drawn box (a notice) can neither end that sequence nor start a new one.
// Portable, with no operating system in it; shared by the backends.
#pragma once

#include <cstddef>

namespace platform {

// A byte that a terminal could take as part of a control sequence: C0, DEL and C1.
bool is_control_byte(unsigned char byte);

// Copies at most capacity bytes of text (length bytes) into buffer with every control byte
// replaced by '?'. No NUL is added. Returns the length written.
std::size_t copy_harmless(char* buffer, std::size_t capacity, const char* text, std::size_t length);

}  // namespace platform
