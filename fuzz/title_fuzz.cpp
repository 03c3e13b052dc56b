// The title control's argument, "%3u~%n": an accepted title lies inside the argument after its
// '~', holds at least one character and at least the least length; the decision agrees with
// sscanf itself and with a plain reading of the conversion. The title as a UTF-8 terminal
// gets it: cut to the length kept at a character's start, then made harmless, it is valid
// UTF-8 with no controls, and a valid title loses nothing but the characters past the cut.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "check.h"
#include "core/console_state.h"
#include "platform/common/harmless_text.h"

namespace {

bool is_white_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// "%3u~": white space (not counted in the width), then at most three characters of an optional
// sign and decimal digits, at least one digit, then '~'. The offset after the '~' and the number
// as "%u" stores it (a negative number wraps), or -1.
long read_least_length(const char* text, unsigned* least) {
    std::size_t at = 0;
    while (is_white_space(text[at])) ++at;
    std::size_t width = 3;
    bool negative = false;
    if (text[at] == '+' || text[at] == '-') {
        negative = text[at] == '-';
        ++at;
        --width;
    }
    unsigned value = 0;
    std::size_t digits = 0;
    while (digits < width && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        ++at;
        ++digits;
    }
    if (digits == 0 || text[at] != '~') return -1;
    *least = negative ? 0u - value : value;
    return static_cast<long>(at + 1);
}

// The length of the valid UTF-8 character at text's start (shortest form, no surrogates, at
// most U+10FFFF), or 0.
std::size_t valid_character(const unsigned char* text, std::size_t length) {
    if (text[0] < 0x80) return 1;
    std::size_t size = text[0] >= 0xf8   ? 0
                       : text[0] >= 0xf0 ? 4
                       : text[0] >= 0xe0 ? 3
                       : text[0] >= 0xc0 ? 2
                                         : 0;
    if (size == 0 || size > length) return 0;
    std::uint32_t code = text[0] & (0x7f >> size);
    for (std::size_t i = 1; i < size; ++i) {
        if ((text[i] & 0xc0) != 0x80) return 0;
        code = code << 6 | (text[i] & 0x3f);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[size] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return size;
}

bool valid_utf8(const char* text, std::size_t length, bool controls_allowed) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t at = 0; at < length;) {
        std::size_t size = valid_character(bytes + at, length - at);
        if (size == 0) return false;
        bool control = bytes[at] < 0x20 || bytes[at] == 0x7f ||
                       (size == 2 && bytes[at] == 0xc2 && bytes[at + 1] < 0xa0);
        if (control && !controls_allowed) return false;
        at += size;
    }
    return true;
}

void check_cut_title(const char* title, std::size_t length, std::size_t capacity) {
    std::size_t cut = platform::utf8_cut_length(title, length, capacity);
    FUZZ_CHECK(cut <= length && (cut <= capacity || length <= capacity));
    if (length <= capacity) FUZZ_CHECK(cut == length);
    char shown[1024 * 3];
    std::size_t shown_length = platform::copy_harmless_utf8(shown, sizeof shown, title, cut);
    FUZZ_CHECK(valid_utf8(shown, shown_length, false));
    if (!valid_utf8(title, length, true)) return;
    // A valid title is cut between characters, and only the character the cut falls in goes.
    FUZZ_CHECK(valid_utf8(title, cut, true));
    if (cut < length) {
        FUZZ_CHECK(cut + valid_character(reinterpret_cast<const unsigned char*>(title) + cut,
                                         length - cut) >
                   capacity);
    }
    if (valid_utf8(title, length, false)) {
        FUZZ_CHECK(shown_length == cut && std::memcmp(shown, title, cut) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t length = 0;
    char* argument = nul_ended_argument(data, size, &length);

    long offset = parse_title_argument(argument, length);

    unsigned scanned_least = 0;
    int scanned_offset = -1;
    bool scanned = std::sscanf(argument, "%3u~%n", &scanned_least, &scanned_offset) == 1 &&
                   scanned_offset >= 0;
    unsigned read_least = 0;
    long read_offset = read_least_length(argument, &read_least);
    // The plain reading and the library's conversion agree on every argument.
    FUZZ_CHECK(scanned == (read_offset >= 0));
    if (scanned) {
        FUZZ_CHECK(scanned_offset == read_offset);
        FUZZ_CHECK(scanned_least == read_least);
    }

    bool accepted = scanned && length > static_cast<std::size_t>(scanned_offset) &&
                    length - static_cast<std::size_t>(scanned_offset) >= scanned_least;
    FUZZ_CHECK((offset >= 0) == accepted);
    FUZZ_CHECK(offset >= -1);
    if (offset >= 0) {
        std::size_t start = static_cast<std::size_t>(offset);
        FUZZ_CHECK(offset == scanned_offset);
        // Just after a '~' (the number needs at least one digit before it), inside the argument,
        // with a title of at least one character and at least the least length.
        FUZZ_CHECK(start >= 2 && start < length);
        FUZZ_CHECK(argument[start - 1] == '~');
        FUZZ_CHECK(length - start >= 1);
        FUZZ_CHECK(length - start >= read_least);
        // The POSIX backend keeps 255 bytes of a title; shorter limits reach the cut with
        // shorter inputs.
        for (std::size_t capacity : {std::size_t{255}, (length - start) / 2, length - start - 1})
            check_cut_title(argument + start, length - start, capacity);
    }
    delete[] argument;
    return 0;
}
