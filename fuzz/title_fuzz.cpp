// The title control's argument, "%3u~%n": an accepted title lies inside the argument after its
// '~', holds at least one character and at least the least length; the decision agrees with
// sscanf itself and with a plain reading of the conversion.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "check.h"
#include "core/console_state.h"

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
    }
    delete[] argument;
    return 0;
}
