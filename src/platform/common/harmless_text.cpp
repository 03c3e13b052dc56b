// Text made harmless for a terminal.
#include "platform/common/harmless_text.h"

namespace platform {

namespace {

// How many bytes of text, from at, make one well-formed UTF-8 character; 0 when they do not
// make one. *taken is then the length of the malformed start (1 or more bytes).
std::size_t utf8_character(const unsigned char* at, std::size_t left, std::size_t* taken) {
    unsigned char lead = at[0];
    std::size_t size = 0;
    unsigned char low = 0x80;  // the bounds of the second byte (the first continuation)
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        size = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        size = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        size = 4;
        if (lead == 0xf0) low = 0x90;   // no overlong forms
        if (lead == 0xf4) high = 0x8f;  // nothing past U+10FFFF
    } else {
        *taken = 1;
        return 0;
    }
    std::size_t count = 1;
    for (; count < size && count < left; ++count) {
        unsigned char next = at[count];
        if (count == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xbf)) break;
    }
    *taken = count;
    return count == size ? size : 0;
}

}  // namespace

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

std::size_t copy_harmless_utf8(char* buffer, std::size_t capacity, const char* text,
                               std::size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t read = 0;
    std::size_t written = 0;
    while (read < length && written < capacity) {
        unsigned char byte = bytes[read];
        if (byte < 0x80) {
            buffer[written++] = is_control_byte(byte) ? '?' : static_cast<char>(byte);
            ++read;
            continue;
        }
        std::size_t taken = 0;
        std::size_t size = utf8_character(bytes + read, length - read, &taken);
        // C2 80 to C2 9F: the C1 controls, which a UTF-8 terminal obeys as such.
        bool c1_control = size == 2 && byte == 0xc2 && bytes[read + 1] <= 0x9f;
        if (size == 0 || c1_control) {
            buffer[written++] = '?';
            read += size == 0 ? taken : size;
            continue;
        }
        if (size > capacity - written) break;
        for (std::size_t i = 0; i < size; ++i) buffer[written++] = text[read + i];
        read += size;
    }
    return written;
}

std::size_t utf8_cut_length(const char* text, std::size_t length, std::size_t capacity) {
    if (length <= capacity) return length;
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    std::size_t start = capacity;
    while (start > 0 && capacity - start < 3 && (byte(start) & 0xc0) == 0x80) --start;
    // The lead of the character the cut falls in, and that character's length.
    std::size_t size = byte(start) >= 0xf0   ? 4
                       : byte(start) >= 0xe0 ? 3
                       : byte(start) >= 0xc0 ? 2
                                             : 1;
    return start < capacity && size > capacity - start ? start : capacity;
}

}  // namespace platform
