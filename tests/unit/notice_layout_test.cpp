// The notice box's layout, notices on standard error, and the filter that makes text harmless
// for a terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/harmless_text.h"
#include "platform/common/notice_layout.h"
#include "platform/common/stream_keys.h"
#include "platform/platform.h"

namespace {

using platform::layout_notice;
using platform::NoticeLayout;

std::vector<std::string> text_lines(const NoticeLayout& layout) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < layout.line_count; ++i)
        lines.emplace_back(layout.lines[i].start, layout.lines[i].length);
    return lines;
}

TEST(NoticeLayout, SplitsAtNewlinesAndWrapsAtTheWidth) {
    // 24 columns (the least) leave 19 for the text.
    NoticeLayout layout =
        layout_notice("C", "Lost connection\nabcdefghijklmnopqrstuvwxyz\n\nend", false, 24);
    EXPECT_EQ(
        text_lines(layout),
        (std::vector<std::string>{"Lost connection", "abcdefghijklmnopqrs", "tuvwxyz", "", "end"}));
    EXPECT_EQ(layout.inner, 19u);
    EXPECT_EQ(layout.rows, layout.line_count + 4);
}

TEST(NoticeLayout, KeepsAtMostEightLines) {
    NoticeLayout layout = layout_notice("C", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10", false, 80);
    EXPECT_EQ(layout.line_count, platform::NOTICE_TEXT_LINES);
    EXPECT_EQ(text_lines(layout).back(), "8");
    EXPECT_EQ(layout.rows, 12u);
}

TEST(NoticeLayout, InnerWidthFitsButtonsCaptionAndText) {
    EXPECT_EQ(layout_notice("C", "x", false, 80).inner, 4u);  // "[O]K"
    EXPECT_EQ(layout_notice("C", "x", true, 80).inner, 18u);  // "[R]etry   [C]ancel"
    EXPECT_EQ(layout_notice(std::string(24, 'c').c_str(), "x", false, 80).inner,
              26u);  // caption + 2
    EXPECT_EQ(layout_notice("C", std::string(30, 'x').c_str(), true, 80).inner, 30u);
}

TEST(NoticeLayout, WidthIsClampedAndNoRowReachesTheLastColumn) {
    std::string long_text(400, 'x');
    std::string long_caption(400, 'c');
    struct Case {
        std::size_t columns, text_width;
    } cases[] = {{0, 75}, {10, 19}, {24, 19}, {120, 115}, {500, 195}};
    for (const Case& c : cases) {
        NoticeLayout layout =
            layout_notice(long_caption.c_str(), long_text.c_str(), true, c.columns);
        EXPECT_EQ(layout.lines[0].length, c.text_width) << c.columns;
        EXPECT_EQ(layout.caption_length, c.text_width - 2) << c.columns;
        EXPECT_EQ(layout.inner, c.text_width) << c.columns;
    }
}

TEST(HarmlessText, ReplacesC0DelAndC1Bytes) {
    const char text[] = "a\x1f\x20~\x7f\x80\x9f\xa0\xff\x1b]0;x\x07";
    char out[sizeof text];
    std::size_t length = platform::copy_harmless(out, sizeof out, text, sizeof text - 1);
    EXPECT_EQ(std::string(out, length), "a? ~???\xa0\xff?]0;x?");
}

TEST(HarmlessText, StopsAtTheCapacity) {
    char out[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(platform::copy_harmless(out, 3, "ab\ncd", 5), 3u);
    EXPECT_EQ(std::string(out, 4), "ab?.");
}

// Text for a UTF-8 terminal: controls are characters (C0, DEL, and C1 as C2 80 to C2 9F), each
// malformed start becomes one '?', and every other character is copied whole.
TEST(HarmlessText, Utf8KeepsCharactersAndReplacesControlsAndMalformedSequences) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"a\x1f\x7f\x1b]0;x\x07", "a???]0;x?"},
        {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0\xc3\xa9", "???\xc2\xa0\xc3\xa9"},
        {"\x9b"
         "2J\x85",
         "?2J?"},                                // stray continuation bytes
        {"\xc0\xaf\xc1\xbf", "????"},            // overlong two-byte forms
        {"\xe0\x80\xaf", "???"},                 // overlong three-byte form
        {"\xed\xa0\x80", "???"},                 // a surrogate
        {"\xf4\x90\x80\x80\xf5\xff", "??????"},  // past U+10FFFF, never a lead
        {"\xe2\x82"
         "A\xf0\x9f\x98",
         "?A?"},  // cut short: one '?' for each start
        {"\xe2\x84\x96 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\xe2\x84\x96 \xe2\x82\xac \xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        char out[64];
        std::size_t length =
            platform::copy_harmless_utf8(out, sizeof out, c.text.data(), c.text.size());
        EXPECT_EQ(std::string(out, length), c.expected) << c.text;
    }
}

TEST(HarmlessText, Utf8NeverCutsACharacterAtTheCapacity) {
    char out[8] = {'.', '.', '.', '.', '.', '.', '.', '.'};
    EXPECT_EQ(platform::copy_harmless_utf8(out, 4, "ab\xe2\x82\xac", 5), 2u);
    EXPECT_EQ(std::string(out, 3), "ab.");
    EXPECT_EQ(platform::copy_harmless_utf8(out, 5, "ab\xe2\x82\xac\n", 6), 5u);
    EXPECT_EQ(std::string(out, 6), "ab\xe2\x82\xac.");
    // A title cut to the length kept: 200 two-byte characters keep 127 whole ones, shown whole.
    std::string title;
    for (int i = 0; i < 200; ++i) title += "\xc3\xa9";
    std::size_t cut = platform::utf8_cut_length(title.data(), title.size(), 255);
    EXPECT_EQ(cut, 254u);
    char shown[256];
    EXPECT_EQ(std::string(shown, platform::copy_harmless_utf8(shown, 255, title.data(), cut)),
              title.substr(0, 254));
    // Continuation bytes that start no character are cut where the limit falls.
    EXPECT_EQ(platform::utf8_cut_length("abcd\x80\x80\x80\x80", 8, 6), 6u);
    EXPECT_EQ(platform::utf8_cut_length("a\xf0\x9f\x98\x80", 5, 4), 1u);
}

// Keys from a file or a pipe: LF and CR LF each end a line as Enter does; a lone CR is Enter
// too, and an LF after anything but CR is one.
TEST(StreamKeys, LineEndsBecomeEnter) {
    const std::string stream = "a\nb\r\nc\r\rd\n\n";
    std::string keys;
    bool last_was_cr = false;
    for (char byte : stream) {
        char key = 0;
        if (platform::stream_key(static_cast<unsigned char>(byte), &last_was_cr, &key)) keys += key;
    }
    EXPECT_EQ(keys, "a\rb\rc\r\rd\r\r");
}

// With nobody to answer, each distinct message is written once: the same text in another
// style is another message.
TEST(NoticeLayout, EachMessageIsShownOnce) {
    EXPECT_TRUE(platform::notice_first_shown("Shown once", 0x30));
    EXPECT_FALSE(platform::notice_first_shown("Shown once", 0x30));
    EXPECT_TRUE(platform::notice_first_shown("Shown once", 0x10005));
    EXPECT_TRUE(platform::notice_first_shown("Shown once, then", 0x30));
}

// On standard error, one line the first time, and every time the answer the user would agree to.
TEST(NoticeLayout, NoticeOnStandardErrorIsALineAndAgrees) {
    std::string long_text(1500, 'x');
    std::string written;
    for (int i = 0; i < 2; ++i) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(platform::notice_to_standard_error("Veldrin", "Lost link", platform::NOTICE_RETRY,
                                                     "\n"),
                  platform::ANSWER_RETRY);
        EXPECT_EQ(platform::notice_to_standard_error("Cap", long_text.c_str(),
                                                     platform::NOTICE_ERROR, "\n"),
                  platform::ANSWER_OK);
        written += ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(written, "Veldrin: Lost link\nCap: " + long_text + "\n");
}

}  // namespace
