// Text made harmless for a terminal.
#include "platform/common/harmless_text.h"

namespace platform {

bool is_control_byte(unsigned char byte) {
    return byte < 0x20 || (byte >= 0x7f && byte <= 0x9f);
}

std::size_t copy_harmless(char* buffer, std::size_t capacity, const char* text,
                          std::size_t length) {
    std::size_t count = 0;
    for (; count < length && count < capacity; ++count) {
        unsigned char byte = static_cast<unsigned char>(text[count]);
        buffer[count] = is_control_byte(byte) ? '?' : static_cast<char>(byte);
    }
    return count;
}

}  // namespace platform
