// The server's stream: how one received chunk is decoded.
#include <gtest/gtest.h>

#include <string>

#include "app/session.h"
#include "core/console_state.h"

namespace {

struct Decoded {
    std::string display;
    char control;
    std::string argument;
};

Decoded decode(const std::string& chunk) {
    ChunkDecoded d = decode_chunk(chunk.data(), chunk.size());
    return {chunk.substr(0, d.display_length), d.control,
            chunk.substr(d.argument_offset, d.argument_length)};
}

TEST(DecodeChunk, TextWithoutMarker) {
    Decoded d = decode("plain text");
    EXPECT_EQ(d.display, "plain text");
    EXPECT_EQ(d.control, 0);
    EXPECT_EQ(d.argument, "");
}

TEST(DecodeChunk, MarkerSplitsDisplayAndArgument) {
    Decoded a = decode("Hello~~~1");
    EXPECT_EQ(a.display, "Hello");
    EXPECT_EQ(a.control, '1');
    EXPECT_EQ(a.argument, "");

    Decoded b = decode("abc~~~2def");
    EXPECT_EQ(b.display, "abc");
    EXPECT_EQ(b.control, '2');
    EXPECT_EQ(b.argument, "def");

    Decoded c = decode("~~~0");
    EXPECT_EQ(c.display, "");
    EXPECT_EQ(c.control, '0');
}

TEST(DecodeChunk, MarkerWithoutControlCharacter) {
    Decoded d = decode("x~~~");
    EXPECT_EQ(d.display, "x");
    EXPECT_EQ(d.control, 0);
}

TEST(DecodeChunk, OnlyTheFirstMarkerCounts) {
    Decoded d = decode("A~~~1B~~~2");
    EXPECT_EQ(d.display, "A");
    EXPECT_EQ(d.control, '1');
    EXPECT_EQ(d.argument, "B~~~2");

    Decoded tildes = decode("a~~~~1");  // the first "~~~" is at 1: its control is '~'
    EXPECT_EQ(tildes.display, "a");
    EXPECT_EQ(tildes.control, '~');
    EXPECT_EQ(tildes.argument, "1");
}

TEST(DecodeChunk, TextEndsAtTheFirstNul) {
    Decoded d = decode(std::string("ab\0cd~~~1", 9));
    EXPECT_EQ(d.display, "ab");
    EXPECT_EQ(d.control, 0);

    Decoded arg =
        decode(std::string("x~~~5"
                           "3~Title\0junk",
                           17));
    EXPECT_EQ(arg.control, '5');
    EXPECT_EQ(arg.argument, "3~Title");
}

TEST(DecodeChunk, PartialMarkersAreText) {
    EXPECT_EQ(decode("ab~~").display, "ab~~");
    EXPECT_EQ(decode("~").display, "~");
    EXPECT_EQ(decode("~~x~").control, 0);
}

}  // namespace

// The scan that lets runs of whole chunks go out undecoded, against the plain reading of what
// it answers: every start and every place of a NUL, a '~', a DEL (which is neither) and an 8-bit
// byte, in texts long enough for its steps of 128 (with AVX2), 64 and 16 bytes and its tail.
TEST(ScanText, FindsTheFirstNulOrTildeAndWhetherAllBeforeIsAscii) {
    auto expected = [](const std::string& text, std::size_t from) {
        std::size_t at = from;
        bool ascii = true;
        for (; at < text.size() && text[at] != '\0' && text[at] != '~'; ++at) {
            if (static_cast<unsigned char>(text[at]) >= 128) ascii = false;
        }
        return TextScan{at, ascii};
    };
    // Long enough for two of the widest steps, and for all that follows one.
    const std::size_t length = 300;
    for (char special : {'\0', '~', 'x', '\x7F'}) {
        for (std::size_t special_at = 0; special_at <= length; special_at += 7) {
            for (std::size_t high_at = 0; high_at <= length; high_at += 11) {
                std::string text(length, 'a');
                if (high_at < length) text[high_at] = '\xC9';
                if (special_at < length) text[special_at] = special;
                for (std::size_t from = 0; from <= length; from += 13) {
                    TextScan want = expected(text, from);
                    TextScan got = scan_text(text.data(), from, text.size());
                    EXPECT_EQ(got.special, want.special) << special_at << " " << from;
                    EXPECT_EQ(got.ascii, want.ascii) << special_at << " " << high_at << " " << from;
                }
            }
        }
    }
}
