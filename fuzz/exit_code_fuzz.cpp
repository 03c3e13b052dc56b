// The exit-status control's argument, "%u": agrees with strtoull's reading of the same text, a
// number too large for 32 bits or a negative one is held at the largest value, and the process
// status never turns a large code into a small one.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "app/startup.h"
#include "check.h"
#include "core/console_state.h"

namespace {

bool is_white_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether the decimal digits at text (ended by a non-digit) name a number above UINT32_MAX,
// by their count and text alone.
bool digits_above_32_bits(const char* text) {
    while (*text == '0') ++text;
    std::size_t count = 0;
    while (text[count] >= '0' && text[count] <= '9') ++count;
    if (count != 10) return count > 10;
    return std::strncmp(text, "4294967295", 10) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t length = 0;
    char* argument = nul_ended_argument(data, size, &length);

    const std::uint32_t untouched = 0x5A5A5A5Au;
    std::uint32_t value = untouched;
    bool parsed = parse_unsigned(argument, &value);

    // strtoull reads the same form: white space, an optional sign, decimal digits.
    char* end = nullptr;
    errno = 0;
    unsigned long long reference = std::strtoull(argument, &end, 10);
    bool overflow = errno == ERANGE;
    bool reference_parsed = end != argument;
    FUZZ_CHECK(parsed == reference_parsed);

    if (!parsed) {
        FUZZ_CHECK(value == untouched);
    } else {
        const char* at = argument;
        while (is_white_space(*at)) ++at;
        bool negative = *at == '-';
        if (*at == '+' || *at == '-') ++at;
        bool too_large = digits_above_32_bits(at);
        unsigned long long magnitude = negative ? 0 - reference : reference;
        if (overflow) {
            FUZZ_CHECK(too_large);
        } else {
            FUZZ_CHECK(too_large == (magnitude > UINT32_MAX));
        }

        std::uint32_t expected;
        if (overflow || too_large || (negative && reference != 0)) {
            expected = UINT32_MAX;
        } else {
            expected = static_cast<std::uint32_t>(reference);
        }
        FUZZ_CHECK(value == expected);
        // Never a small value for a number too large for 32 bits.
        if (too_large) FUZZ_CHECK(value == UINT32_MAX);
    }

    // The process status is the code itself when it fits, else the largest status.
    int status = process_exit_status(value);
    FUZZ_CHECK(status >= 0 && status <= 255);
    FUZZ_CHECK(value <= 255 ? status == static_cast<int>(value) : status == 255);

    delete[] argument;
    return 0;
}
