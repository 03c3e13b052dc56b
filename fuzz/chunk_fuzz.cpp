// The chunk decoder on any received chunk: what is displayed, which control is found and where
// its argument lies, against a plain search for the first "~~~" in the chunk's text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/session.h"
#include "check.h"
#include "core/console_state.h"

namespace {

// The first "~~~" within the first length bytes, or length when there is none.
std::size_t first_marker(const char* text, std::size_t length) {
    for (std::size_t i = 0; i + 3 <= length; ++i) {
        if (text[i] == '~' && text[i + 1] == '~' && text[i + 2] == '~') return i;
    }
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One receive fills at most RECEIVE_CHUNK bytes. The bytes are libFuzzer's own exact-size
    // copy, so a read past the chunk is an AddressSanitizer finding.
    if (size == 0 || size > RECEIVE_CHUNK) return 0;
    const char* chunk = reinterpret_cast<const char*>(data);
    ChunkDecoded decoded = decode_chunk(chunk, size);

    // The text is the bytes before the first NUL.
    const void* nul = std::memchr(chunk, '\0', size);
    std::size_t text_length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - chunk) : size;

    // The display is a prefix of the text: no NUL in it, and no marker either.
    FUZZ_CHECK(decoded.display_length <= text_length);
    FUZZ_CHECK(std::memchr(chunk, '\0', decoded.display_length) == nullptr);
    FUZZ_CHECK(first_marker(chunk, decoded.display_length) == decoded.display_length);
    // The argument lies inside the text and is never part of the display.
    FUZZ_CHECK(decoded.argument_offset <= text_length);
    FUZZ_CHECK(decoded.argument_length <= text_length - decoded.argument_offset);

    std::size_t marker = first_marker(chunk, text_length);
    if (marker == text_length) {
        // No marker: the whole text is displayed and there is no control.
        FUZZ_CHECK(decoded.display_length == text_length);
        FUZZ_CHECK(decoded.control == 0);
        FUZZ_CHECK(decoded.argument_length == 0);
    } else if (marker + 3 == text_length) {
        // A marker that ends the text has no control character: the text before it is displayed.
        FUZZ_CHECK(decoded.display_length == marker);
        FUZZ_CHECK(decoded.control == 0);
        FUZZ_CHECK(decoded.argument_length == 0);
    } else {
        // The first marker and its control character are taken out; the argument is all the
        // rest of the text, so a second marker is part of it.
        FUZZ_CHECK(decoded.control != 0);
        FUZZ_CHECK(decoded.control == chunk[marker + 3]);
        FUZZ_CHECK(decoded.display_length == marker);
        FUZZ_CHECK(decoded.argument_offset == marker + 4);
        FUZZ_CHECK(std::memcmp(chunk + decoded.argument_offset - 4, "~~~", 3) == 0);
        FUZZ_CHECK(decoded.argument_offset + decoded.argument_length == text_length);
    }
    return 0;
}
