// Controls 5 and 6: the console title and the exit status.
#include <cstdint>
#include <cstdio>

#include "actions/actions.h"
#include "text/codepage.h"

char saved_title[SAVED_TITLE_SIZE] = "";
std::uint32_t exit_code = 0;

void save_title() {
    std::size_t length = platform::get_console_title(saved_title, SAVED_TITLE_SIZE);
    // A UTF-8 title cut at the buffer's end loses its last character whole.
    if (converted_code_page != nullptr) saved_title[utf8_whole_length(saved_title, length)] = '\0';
}

long parse_title_argument(const char* argument, std::size_t argument_length) {
    // "%3u~%n": at most three characters of number (after white space), then '~'. The number is
    // only the least length of the title; the title is all the text after the '~'.
    unsigned least = 0;
    int offset = -1;
    if (std::sscanf(argument, "%3u~%n", &least, &offset) != 1 || offset < 0) return -1;
    std::size_t title_length = argument_length - static_cast<std::size_t>(offset);
    if (title_length == 0 || title_length < least) return -1;
    return offset;
}

void apply_title(const char* argument, std::size_t argument_length) {
    long offset = parse_title_argument(argument, argument_length);
    if (offset < 0) {
        platform::set_console_title(saved_title);  // already as the terminal has it
        return;
    }
    // The server's title, in the user's character set.
    static char converted[utf8_room(platform::RECEIVE_CHUNK)];
    std::size_t title_length = argument_length - static_cast<std::size_t>(offset);
    platform::set_console_title(text_for_user(argument + offset, title_length, converted));
}

bool parse_unsigned(const char* argument, std::uint32_t* value) {
    // "%u": white space, an optional sign, then decimal digits. A magnitude beyond 32 bits, or a
    // negative number (which "%u" would turn into a large one), is held at the largest value: a
    // status too large for its field must never come out as a small one.
    const char* at = argument;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
    bool negative = false;
    if (*at == '+' || *at == '-') negative = *at++ == '-';
    if (*at < '0' || *at > '9') return false;
    std::uint64_t magnitude = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        if (magnitude <= UINT32_MAX) magnitude = magnitude * 10 + static_cast<unsigned>(*at - '0');
    }
    if (magnitude > UINT32_MAX || (negative && magnitude != 0)) {
        *value = UINT32_MAX;
    } else {
        *value = static_cast<std::uint32_t>(magnitude);
    }
    return true;
}

void apply_exit_code(const char* argument) {
    std::uint32_t value = 0;
    if (parse_unsigned(argument, &value)) exit_code = value;
}
