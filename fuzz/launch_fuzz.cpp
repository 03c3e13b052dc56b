// The launch control's argument, "%3u~%x~%3u~%n": the parse agrees with sscanf on the same text,
// and an accepted command and title lie inside the text received, never longer than asked for.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes are libFuzzer's exact-size copy with no NUL added: the parse must stop at the
    // argument's length (or its first NUL) without reading further.
    const char* argument = reinterpret_cast<const char*>(data);
    LaunchRequest request;
    bool parsed = parse_launch_argument(argument, size, &request);

    // The text the parse looks at.
    std::size_t limit = size < LAUNCH_ARGUMENT_MAX ? size : LAUNCH_ARGUMENT_MAX;
    const void* nul = std::memchr(argument, '\0', limit);
    std::size_t text_length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - argument) : limit;
    char text[LAUNCH_ARGUMENT_MAX + 1];
    std::memcpy(text, argument, text_length);
    text[text_length] = '\0';

    unsigned command_length = 0;
    unsigned flags = 0;
    unsigned title_length = 0;
    int offset = -1;
    bool scanned =
        std::sscanf(text, "%3u~%x~%3u~%n", &command_length, &flags, &title_length, &offset) == 3 &&
        offset >= 0;
    std::size_t rest = scanned ? text_length - static_cast<std::size_t>(offset) : 0;
    bool accepted = scanned && rest > 0 && rest >= command_length;
    FUZZ_CHECK(parsed == accepted);
    if (!parsed) return 0;

    FUZZ_CHECK(request.flags == flags);
    FUZZ_CHECK(request.command_offset == static_cast<std::size_t>(offset));
    FUZZ_CHECK(request.command_length == command_length);
    // The command starts just after the third '~' and lies inside the text.
    FUZZ_CHECK(request.command_offset >= 6 && text[request.command_offset - 1] == '~');
    FUZZ_CHECK(request.command_offset < text_length);
    FUZZ_CHECK(request.command_length <= text_length - request.command_offset);
    // The title follows the command and its separator and lies inside the text; it is never
    // longer than asked for, and cut only at the end of the text.
    std::size_t command_end = request.command_offset + request.command_length;
    FUZZ_CHECK(request.title_offset == (command_end < text_length ? command_end + 1 : text_length));
    FUZZ_CHECK(request.title_offset <= text_length);
    FUZZ_CHECK(request.title_length <= text_length - request.title_offset);
    FUZZ_CHECK(request.title_length <= title_length);
    FUZZ_CHECK(request.title_length == title_length ||
               request.title_offset + request.title_length == text_length);
    return 0;
}
