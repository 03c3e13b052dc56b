// The code pages as the C library's iconv knows them: the tables the console builds from it.
#include <gtest/gtest.h>
#include <iconv.h>

#include <memory>
#include <string>

#include "platform/platform.h"
#include "text/codepage.h"

namespace {

bool load(unsigned number, CodePage* page) {
    platform::CodePageCharacter characters[platform::CODE_PAGE_BYTES];
    return platform::code_page_characters(number, characters) &&
           code_page_build(number, characters, page);
}

std::string to_utf8(const CodePage& page, const std::string& text) {
    std::string out(utf8_room(text.size()), '\0');
    out.resize(code_page_to_utf8(page, text.data(), text.size(), out.data()));
    return out;
}

TEST(CodePageIconvTest, WindowsCodePagesConvertAndComeBack) {
    struct Case {
        unsigned number;
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {437, "\xC9\xCD\xBB M\x81ller", "╔═╗ Müller"},
        {850, "\xC9\xCD\xBB M\x81ller \xA2", "╔═╗ Müller ó"},
        {852, "\x9F\xE6\xA8", "čŠĘ"},
        {866, "\x8C\xAE\xE1\xAA\xA2\xA0", "Москва"},
        {1252, "caf\xE9 \x80", "café €"},
        {1255, "\xF9\xEC\xE5\xED \xD4", "שלום װ"},  // letters a mark could follow
        {1258, "\xF0\xE2\xF4", "đâô"},
    };
    std::string every_byte;
    for (int byte = 1; byte < 256; ++byte) every_byte += static_cast<char>(byte);
    for (const Case& c : cases) {
        auto owned = std::make_unique<CodePage>();
        CodePage& page = *owned;
        ASSERT_TRUE(load(c.number, &page)) << c.number;
        EXPECT_EQ(to_utf8(page, c.text), c.shown) << c.number;
        // Every byte comes back as itself: no two bytes show as the same character.
        std::string shown = to_utf8(page, every_byte);
        std::string back(shown.size(), '\0');
        back.resize(utf8_to_code_page(page, shown.data(), shown.size(), back.data()));
        EXPECT_EQ(back, every_byte) << c.number;
    }
}

TEST(CodePageIconvTest, BytesWithoutACharacterAndCodePagesThatCannotBeUsed) {
    auto owned = std::make_unique<CodePage>();
    CodePage& page = *owned;
    // 1252 has no character for 0x81 or 0x8D: each shows as its own number.
    ASSERT_TRUE(load(1252, &page));
    EXPECT_EQ(to_utf8(page, "\x81\x8D"), "\xC2\x81\xC2\x8D");
    platform::CodePageCharacter characters[platform::CODE_PAGE_BYTES];
    EXPECT_FALSE(platform::code_page_characters(9999, characters));
    EXPECT_FALSE(load(932, &page));  // bytes that start characters of two
    EXPECT_FALSE(load(37, &page));   // letters outside ASCII's places
}

// Every code page the C library knows that the console can use, byte by byte, against a reference
// made another way: each byte converted as a string with a line feed after it, which no mark
// combines with, so the converter gives up any character it held back without being flushed.
TEST(CodePageIconvTest, EveryUsableCodePageMatchesWholeStringConversion) {
    auto owned = std::make_unique<CodePage>();
    int usable = 0;
    // Only the numbers iconv knows are loaded: each load asks a child process of its own.
    for (unsigned number = 1; number <= 65535; ++number) {
        iconv_t converter = iconv_open("UTF-8", ("CP" + std::to_string(number)).c_str());
        if (converter == reinterpret_cast<iconv_t>(-1))
            converter = iconv_open("UTF-8", ("IBM" + std::to_string(number)).c_str());
        if (converter == reinterpret_cast<iconv_t>(-1)) continue;
        if (!load(number, owned.get())) {
            iconv_close(converter);
            continue;
        }
        ++usable;
        for (int byte = 0; byte < 256; ++byte) {
            char in[2] = {static_cast<char>(byte), '\n'}, out[16];
            char *in_at = in, *out_at = out;
            std::size_t in_left = 2, out_left = sizeof out;
            std::string expected = "\xEF\xBF\xBD";  // none: the byte's own number or U+FFFD
            if (iconv(converter, &in_at, &in_left, &out_at, &out_left) != std::size_t(-1) &&
                sizeof out - out_left <= UTF8_PER_BYTE + 1)
                expected.assign(out, sizeof out - out_left - 1);
            const CodePageEntry& entry = owned->entries[byte];
            std::string shown(entry.text, entry.length);
            if (expected == "\xEF\xBF\xBD" && shown != expected)
                expected = {static_cast<char>(0xC0 | (byte >> 6)),
                            static_cast<char>(0x80 | (byte & 0x3F))};
            EXPECT_EQ(shown, expected) << "code page " << number << " byte " << byte;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
        }
        iconv_close(converter);
    }
    EXPECT_GE(usable, 40);  // glibc has some sixty, among them 437, 850 and 1250 to 1258
}

}  // namespace
