// The command-line options on any argument vector. The first byte chooses the line buffer's
// capacity; the rest, split at NUL bytes, is the argument vector (program name first).
// Checked: the joined line, the options (first argument only), where the command text starts,
// and that nothing is written past the capacity.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "check.h"
#include "core/console_state.h"

namespace {

bool is_white_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint8_t mode = data[0];

    // The arguments, each NUL-ended.
    std::vector<char> strings(data + 1, data + size);
    strings.push_back('\0');
    std::vector<const char*> argv;
    argv.push_back(strings.data());
    for (std::size_t i = 0; i + 1 < strings.size(); ++i) {
        if (strings[i] == '\0') argv.push_back(strings.data() + i + 1);
    }
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    // The line the arguments make, joined by single spaces.
    std::vector<char> joined;
    std::vector<std::size_t> starts;  // where each argument starts in the joined line
    for (int i = 0; i < argc; ++i) {
        if (i > 0) joined.push_back(' ');
        starts.push_back(joined.size());
        joined.insert(joined.end(), argv[i], argv[i] + std::strlen(argv[i]));
    }
    std::size_t total = joined.size();
    joined.push_back('\0');  // never an empty vector: its data is a real pointer

    // The real buffer, an exact fit or up to three bytes short of it, or a small one.
    std::size_t capacity;
    switch (mode >> 6) {
        case 0:
            capacity = COMMAND_LINE_SIZE;
            break;
        case 1:
            capacity = total + 1 >= (mode & 3u) ? total + 1 - (mode & 3u) : 0;
            break;
        default:
            capacity = mode & 0x7Fu;
            break;
    }
    // The real line buffer is a static one like the console's own; any other is an exact-size
    // allocation. A write past the capacity is an AddressSanitizer finding either way.
    static char console_line[COMMAND_LINE_SIZE];
    char* line = capacity == COMMAND_LINE_SIZE ? console_line : new char[capacity];
    struct Release {
        char* line;
        ~Release() {
            if (line != console_line) delete[] line;
        }
    } release{line};
    ConsoleOptions options;
    parse_options(argc, argv.data(), line, capacity, &options);

    if (capacity == 0) {
        FUZZ_CHECK(options.command_offset == 0);
        return 0;
    }

    if (total + 1 > capacity) {
        // Too long: flagged, and what the line holds is the start of it, NUL-ended in the buffer.
        FUZZ_CHECK(options.command_line_too_long);
        FUZZ_CHECK(options.command_line_length < capacity);
        FUZZ_CHECK(line[options.command_line_length] == '\0');
        FUZZ_CHECK(std::memcmp(line, joined.data(), options.command_line_length) == 0);
        return 0;
    }

    // The line is the arguments joined by single spaces, NUL-ended.
    FUZZ_CHECK(!options.command_line_too_long);
    FUZZ_CHECK(options.command_line_length == total);
    FUZZ_CHECK(std::memcmp(line, joined.data(), total) == 0);
    FUZZ_CHECK(line[total] == '\0');

    // Options come from the first two bytes of the first argument only.
    const char* first = argc >= 2 ? argv[1] : "";
    bool option_word = first[0] == '-';
    FUZZ_CHECK(options.change_directory == (option_word && first[1] == 'p'));
    FUZZ_CHECK(options.quiet_loss == (option_word && first[1] == 'C'));
    if (options.change_directory) FUZZ_CHECK(options.directory == first + 2);

    // The command text starts at the first argument after the program name and the option word,
    // and holds at least one character other than white space.
    int command_argument = option_word ? 2 : 1;
    bool has_text = false;
    if (command_argument < argc) {
        for (std::size_t i = starts[command_argument]; i < total; ++i) {
            if (!is_white_space(joined[i])) has_text = true;
        }
    }
    if (!has_text) {
        FUZZ_CHECK(options.command_offset == 0);
    } else {
        FUZZ_CHECK(options.command_offset > 0);
        std::size_t offset = static_cast<std::size_t>(options.command_offset);
        FUZZ_CHECK(offset == starts[command_argument]);
        // A suffix of the line that starts at an argument boundary.
        FUZZ_CHECK(offset <= total && line[offset - 1] == ' ');
        bool non_white = false;
        for (std::size_t i = offset; i < total; ++i)
            non_white = non_white || !is_white_space(line[i]);
        FUZZ_CHECK(non_white);
    }
    return 0;
}
