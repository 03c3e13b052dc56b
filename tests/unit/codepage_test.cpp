// The code page's table and the conversions over it, on a small code page made here: ASCII, and
// a few bytes of code page 437 (ü, é, the double frame).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "text/codepage.h"

namespace {

using platform::CodePageByte;
using platform::CodePageCharacter;

struct Mapping {
    unsigned char byte;
    const char* utf8;
};
constexpr Mapping SMALL_437[] = {
    {0x81, "\xC3\xBC"},      // ü
    {0x82, "\xC3\xA9"},      // é
    {0xC9, "\xE2\x95\x94"},  // ╔
    {0xCD, "\xE2\x95\x90"},  // ═
    {0xBB, "\xE2\x95\x97"},  // ╗
    {0xA0, "\xC3\xA1"},      // á, U+00E1: byte 0xE1's own number, and 0xE1 has none here
};

// ASCII, the mappings, and no character for every other byte.
std::vector<CodePageCharacter> characters(const std::vector<Mapping>& mappings) {
    std::vector<CodePageCharacter> table(platform::CODE_PAGE_BYTES);
    for (int byte = 0; byte < platform::CODE_PAGE_BYTES; ++byte) {
        table[byte] = {CodePageByte::NO_CHARACTER, 0, {}};
        if (byte < 128) table[byte] = {CodePageByte::CHARACTER, 1, {static_cast<char>(byte)}};
    }
    for (const Mapping& mapping : mappings) {
        std::string text = mapping.utf8;
        CodePageCharacter& entry = table[mapping.byte];
        entry = {CodePageByte::CHARACTER, static_cast<std::uint8_t>(text.size()), {}};
        text.copy(entry.text, text.size());
    }
    return table;
}

// A code page's table is large: the tests keep theirs on the heap.
std::unique_ptr<CodePage> small_page() {
    auto page = std::make_unique<CodePage>();
    auto table = characters({std::begin(SMALL_437), std::end(SMALL_437)});
    EXPECT_TRUE(code_page_build(437, table.data(), page.get()));
    return page;
}

std::string to_utf8(const CodePage& page, const std::string& text) {
    std::string out(utf8_room(text.size()), '\0');
    out.resize(code_page_to_utf8(page, text.data(), text.size(), out.data()));
    return out;
}

std::string to_code_page(const CodePage& page, const std::string& text) {
    std::string out(text.size(), '\0');
    out.resize(utf8_to_code_page(page, text.data(), text.size(), out.data()));
    return out;
}

TEST(CodePageSettingTest, NumbersNoneAndTheRest) {
    struct Case {
        const char* text;
        CodePageSetting kind;
        unsigned number;
    };
    const Case cases[] = {
        {nullptr, CODE_PAGE_NUMBER, 437},      {"", CODE_PAGE_NUMBER, 437},
        {"850", CODE_PAGE_NUMBER, 850},        {"65535", CODE_PAGE_NUMBER, 65535},
        {"none", CODE_PAGE_NONE, 0},           {"None", CODE_PAGE_INVALID, 0},
        {"0", CODE_PAGE_INVALID, 0},           {"65536", CODE_PAGE_INVALID, 0},
        {"99999999999", CODE_PAGE_INVALID, 0}, {"85x", CODE_PAGE_INVALID, 0},
        {" 850", CODE_PAGE_INVALID, 0},        {"-1", CODE_PAGE_INVALID, 0},
        {"cp437", CODE_PAGE_INVALID, 0},
    };
    for (const Case& c : cases) {
        unsigned number = 0;
        EXPECT_EQ(parse_code_page_setting(c.text, &number), c.kind) << (c.text ? c.text : "null");
        if (c.kind == CODE_PAGE_NUMBER) {
            EXPECT_EQ(number, c.number);
        }
    }
}

TEST(CodePageBuildTest, OnlySingleByteCodePagesWithAsciiBelow128) {
    auto owned = std::make_unique<CodePage>();
    CodePage& page = *owned;
    auto table = characters({});
    table[0x81].kind = CodePageByte::LEAD_BYTE;
    EXPECT_FALSE(code_page_build(932, table.data(), &page));
    table = characters({});
    table['A'].text[0] = '\xC1';  // a code page with letters elsewhere than ASCII
    EXPECT_FALSE(code_page_build(37, table.data(), &page));
    table = characters({});
    table[0x1A] = {CodePageByte::CHARACTER, 3, {'\xE2', '\x86', '\x92'}};  // a control as an arrow
    EXPECT_FALSE(code_page_build(1, table.data(), &page));
}

TEST(CodePageBuildTest, ByteWithoutACharacterShowsAsItsOwnNumberOrTheReplacement) {
    auto owned = small_page();
    CodePage& page = *owned;
    // 0x90 has no character: U+0090, free, so it comes back as itself.
    EXPECT_EQ(to_utf8(page, "\x90"), "\xC2\x90");
    EXPECT_EQ(to_code_page(page, "\xC2\x90"), "\x90");
    // 0xE1 has no character either, and its own U+00E1 is 0xA0's: the replacement character.
    EXPECT_EQ(to_utf8(page, "\xE1\xA0"), "\xEF\xBF\xBD\xC3\xA1");
    EXPECT_EQ(to_code_page(page, "\xC3\xA1"), "\xA0");
}

TEST(CodePageConversionTest, FrameAndNamesAtEveryAlignment) {
    auto owned = small_page();
    CodePage& page = *owned;
    // ASCII alone leaves the table of pairs unbuilt (out of memory); the first 8-bit byte
    // builds it.
    EXPECT_EQ(to_utf8(page, std::string(100, 'a')), std::string(100, 'a'));
    EXPECT_EQ(page.pairs_state.load(), PAIRS_NONE);
    EXPECT_EQ(to_utf8(page, "\xC9\xCD\xBB M\x81ller"), "╔═╗ Müller");
    // An 8-bit byte at every place of texts up to a little over two 64-byte blocks, among
    // ASCII: every byte converted on its own and found by the scan, whichever path of the
    // conversion (words, pairs, tail, or a byte at a time while another thread builds the
    // pairs) or of the scan (blocks of 64 and 16 bytes, tail) takes it.
    for (int held : {PAIRS_BUILDING, PAIRS_READY}) {
        page.pairs_state.store(held);
        for (std::size_t length = 0; length <= 140; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, 'a');
                text[at] = '\x82';
                std::string expected(at, 'a');
                expected += "\xC3\xA9" + std::string(length - at - 1, 'a');
                EXPECT_EQ(to_utf8(page, text), expected) << held << " " << length << " " << at;
                EXPECT_EQ(ascii_prefix_length(text.data(), text.size()), at);
            }
        }
    }
    std::string long_ascii(100, 'x');
    EXPECT_EQ(ascii_prefix_length(long_ascii.data(), long_ascii.size()), 100u);
    long_ascii[70] = '\xCD';
    EXPECT_EQ(ascii_prefix_length(long_ascii.data(), long_ascii.size()), 70u);
    // Controls pass as they are.
    EXPECT_EQ(to_utf8(page, "\x1b[1m\x81\r\n\x07"), "\x1b[1m\xC3\xBC\r\n\x07");
}

TEST(CodePageConversionTest, Utf8BackToTheCodePage) {
    auto owned = small_page();
    CodePage& page = *owned;
    EXPECT_EQ(to_code_page(page, "╔═╗ Müller"), "\xC9\xCD\xBB M\x81ller");
    // Characters the code page lacks (€, a four-byte one) and broken sequences are left out;
    // a character after a broken lead is still found.
    EXPECT_EQ(to_code_page(page,
                           "a€b\xF0\x9F\x98\x80"
                           "c"),
              "abc");
    EXPECT_EQ(to_code_page(page,
                           "\xC3"
                           "A\xBC\xC3\xBC\xE2\x95"),
              "A\x81");
    EXPECT_EQ(code_page_byte(page, "\xC3\xA9", 2), 0x82);
    EXPECT_EQ(code_page_byte(page, "\xC3", 1), -1);
    EXPECT_EQ(code_page_byte(page, "\x7f", 1), 0x7f);
}

TEST(CodePageConversionTest, Utf8SequenceLengthsAndCuts) {
    EXPECT_EQ(utf8_sequence_length('a'), 1u);
    EXPECT_EQ(utf8_sequence_length(0x80), 0u);
    EXPECT_EQ(utf8_sequence_length(0xC1), 0u);
    EXPECT_EQ(utf8_sequence_length(0xC2), 2u);
    EXPECT_EQ(utf8_sequence_length(0xE2), 3u);
    EXPECT_EQ(utf8_sequence_length(0xF4), 4u);
    EXPECT_EQ(utf8_sequence_length(0xF5), 0u);
    // A title cut inside its last character loses that character whole.
    const std::string title = "Ab╔";  // 2 + 3 bytes
    for (std::size_t cut = 0; cut <= title.size(); ++cut) {
        std::size_t expected = cut >= 5 ? 5 : cut >= 2 ? 2 : cut;
        EXPECT_EQ(utf8_whole_length(title.data(), cut), expected) << cut;
    }
}

}  // namespace
