// The code-page conversion: the first byte picks the code page (437, 850, 852, 866 or 1252),
// the rest is the server's text. The UTF-8 is valid, never more than three times the text, the
// same whether the text comes whole or in two pieces, the same as iconv's own conversion of the
// whole text (for the code pages that give every byte a character), and converting it back
// gives the text.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "check.h"
#include "text/codepage.h"

namespace {

constexpr unsigned CODE_PAGES[] = {437, 850, 852, 866, 1252};
constexpr std::size_t COUNT = sizeof CODE_PAGES / sizeof CODE_PAGES[0];

const CodePage& code_page(std::size_t index) {
    static CodePage pages[COUNT];
    static bool loaded[COUNT];
    if (!loaded[index]) {
        platform::CodePageCharacter characters[platform::CODE_PAGE_BYTES];
        if (!platform::code_page_characters(CODE_PAGES[index], characters) ||
            !code_page_build(CODE_PAGES[index], characters, &pages[index])) {
            fuzz_property_broken("the code page loads", __FILE__, __LINE__);
        }
        loaded[index] = true;
    }
    return pages[index];
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool valid_utf8(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        std::size_t size = lead < 0x80                   ? 1
                           : lead >= 0xC2 && lead < 0xE0 ? 2
                           : lead >= 0xE0 && lead < 0xF0 ? 3
                           : lead >= 0xF0 && lead < 0xF5 ? 4
                                                         : 0;
        if (size == 0 || size > text.size() - at) return false;
        std::uint32_t code = size == 1 ? lead : lead & (0x7F >> size);
        for (std::size_t i = 1; i < size; ++i) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[size] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        at += size;
    }
    return true;
}

// iconv's own conversion of the whole text, or false when it refuses a byte.
bool iconv_reference(unsigned number, const std::string& text, std::string* out) {
    std::string name = "CP" + std::to_string(number);
    iconv_t converter = iconv_open("UTF-8", name.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in = text;
    out->assign(3 * text.size() + 16, '\0');
    char* in_at = in.data();
    std::size_t in_left = in.size();
    char* out_at = out->data();
    std::size_t out_left = out->size();
    bool done = iconv(converter, &in_at, &in_left, &out_at, &out_left) != static_cast<size_t>(-1);
    out->resize(out->size() - out_left);
    iconv_close(converter);
    return done;
}

std::string to_utf8(const CodePage& page, const char* text, std::size_t length) {
    std::string out(utf8_room(length), '\0');
    out.resize(code_page_to_utf8(page, text, length, out.data()));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t index = data[0] % COUNT;
    const CodePage& page = code_page(index);
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string shown = to_utf8(page, text.data(), text.size());
    FUZZ_CHECK(valid_utf8(shown));
    FUZZ_CHECK(shown.size() <= UTF8_PER_BYTE * text.size());

    // Text below 128 only passes as it is, and the ASCII prefix is where the first 8-bit byte
    // stands.
    std::size_t ascii = ascii_prefix_length(text.data(), text.size());
    std::size_t plain = 0;
    while (plain < text.size() && static_cast<unsigned char>(text[plain]) < 128) ++plain;
    FUZZ_CHECK(ascii == plain);
    FUZZ_CHECK(shown.compare(0, ascii, text, 0, ascii) == 0);

    // One character a byte: cut anywhere, the pieces convert to the same text.
    std::size_t cut = text.empty() ? 0 : (data[0] / COUNT) % (text.size() + 1);
    FUZZ_CHECK(to_utf8(page, text.data(), cut) +
                   to_utf8(page, text.data() + cut, text.size() - cut) ==
               shown);

    std::string reference;
    if (iconv_reference(CODE_PAGES[index], text, &reference)) FUZZ_CHECK(reference == shown);

    std::string back(shown.size(), '\0');
    back.resize(utf8_to_code_page(page, shown.data(), shown.size(), back.data()));
    FUZZ_CHECK(back == text);
    return 0;
}
