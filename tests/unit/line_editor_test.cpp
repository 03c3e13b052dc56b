// The keyboard reader's line editing, key by key.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/console_state.h"
#include "input/input.h"
#include "notify/notify.h"
#include "text/codepage.h"

namespace {

// Feeds keys to an editor and gathers the echo and what would be sent, one string per send.
struct EditorRun {
    LineEditor editor;
    std::string echo;
    std::vector<std::string> sent;

    explicit EditorRun(const CodePage* code_page = nullptr) {
        line_editor_reset(&editor, code_page);
    }

    void key(char key, bool raw_keys = false) { apply(edit_key(&editor, true, key, raw_keys)); }
    void keys(const std::string& text, bool raw_keys = false) {
        for (char c : text) key(c, raw_keys);
    }
    void failed_read(bool raw_keys = false) { apply(edit_key(&editor, false, 0, raw_keys)); }

    void apply(const KeyOutcome& outcome) {
        echo.append(outcome.echo, outcome.echo_length);
        if (outcome.send == SEND_KEY) sent.emplace_back(1, outcome.key);
        if (outcome.send == SEND_LINE) sent.emplace_back(editor.line, outcome.line_length);
    }
};

TEST(LineEditorTest, BackspaceErasesOnScreenAndInTheLine) {
    EditorRun run;
    run.keys("AB\bC\r");
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "AC");
    // The backspace is echoed, then a space and a backspace rub the character out; Enter is
    // echoed as it is, then a newline.
    EXPECT_EQ(run.echo, "AB\b \bC\r\n");
}

TEST(LineEditorTest, BackspaceOnAnEmptyLineEchoesOnlyItself) {
    EditorRun run;
    run.keys("\b\b");
    EXPECT_EQ(run.echo, "\b\b");
    run.keys("X\b\b\r");
    EXPECT_EQ(run.echo, "\b\bX\b \b\b\r\n");
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "");
}

TEST(LineEditorTest, EmptyLineIsASendOfNothing) {
    EditorRun run;
    run.key('\r');
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_TRUE(run.sent[0].empty());
    EXPECT_EQ(run.echo, "\r\n");
}

TEST(LineEditorTest, LineHoldsEightyCharactersAndEchoesAll) {
    EditorRun run;
    std::string typed;
    for (int i = 0; i < 85; ++i) typed += static_cast<char>('a' + i % 26);
    run.keys(typed + "\r");
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], typed.substr(0, LINE_CAPACITY));
    EXPECT_EQ(run.echo, typed + "\r\n");
    // A backspace at the full line erases the 80th character, so the next one fits again.
    run.keys(typed.substr(0, 80) + "\bZ\r");
    ASSERT_EQ(run.sent.size(), 2u);
    EXPECT_EQ(run.sent[1], typed.substr(0, 79) + "Z");
}

TEST(LineEditorTest, NulEndsTheLineLikeEnter) {
    EditorRun run;
    run.keys(std::string("ab\0", 3));
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "ab");
    EXPECT_EQ(run.echo, std::string("ab\0\n", 4));
}

TEST(LineEditorTest, ControlCharactersAreKeptInTheLine) {
    EditorRun run;
    run.keys(
        "a\x03\x1b"
        "b\r");
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0],
              "a\x03\x1b"
              "b");
}

TEST(LineEditorTest, KeyByKeySendsEveryKeyAloneWithItsEcho) {
    EditorRun run;
    run.keys("\r\b\x03q", true);
    EXPECT_EQ(run.sent, (std::vector<std::string>{"\r", "\b", "\x03", "q"}));
    // Echoed as they are, with no newline after Enter and no rubbing out after Backspace.
    EXPECT_EQ(run.echo, "\r\b\x03q");
    run.key(0, true);
    ASSERT_EQ(run.sent.size(), 5u);
    EXPECT_EQ(run.sent[4], std::string(1, '\0'));
}

TEST(LineEditorTest, ModeIsTakenPerKeyAndAHalfLineIsDroppedBySwitching) {
    EditorRun run;
    run.keys("AB");
    run.key('X', true);  // the server switched to key-by-key mode mid-line
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "X");
    run.keys("CD\r");  // and back to line mode: the half line is gone
    ASSERT_EQ(run.sent.size(), 2u);
    EXPECT_EQ(run.sent[1], "CD");
}

TEST(LineEditorTest, FailedReadEndsTheLineOnceThenWaits) {
    EditorRun run;
    run.keys("ab");
    run.failed_read();
    run.failed_read();
    run.failed_read();
    // The first failure ends the line; the ones right after it do nothing at all.
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "ab");
    EXPECT_EQ(run.echo, "ab\n");
    // A key read between failures makes the next failure count again.
    run.key('c');
    run.failed_read();
    ASSERT_EQ(run.sent.size(), 2u);
    EXPECT_EQ(run.sent[1], "c");
}

TEST(LineEditorTest, FailedReadInKeyByKeyModeSendsNothing) {
    EditorRun run;
    run.key('k', true);
    run.failed_read(true);
    // No key was read, so nothing is repeated.
    EXPECT_EQ(run.sent, (std::vector<std::string>{"k"}));
    EXPECT_EQ(run.echo, "k");
}

// Code page 437's ü (0x81), é (0x82) and ═ (0xCD); € is not in it.
std::unique_ptr<CodePage> keys_code_page() {
    platform::CodePageCharacter table[platform::CODE_PAGE_BYTES];
    for (int byte = 0; byte < platform::CODE_PAGE_BYTES; ++byte) {
        table[byte] = {platform::CodePageByte::NO_CHARACTER, 0, {}};
        if (byte < 128) table[byte] = {platform::CodePageByte::CHARACTER, 1, {char(byte)}};
    }
    table[0x81] = {platform::CodePageByte::CHARACTER, 2, {'\xC3', '\xBC'}};
    table[0x82] = {platform::CodePageByte::CHARACTER, 2, {'\xC3', '\xA9'}};
    table[0xCD] = {platform::CodePageByte::CHARACTER, 3, {'\xE2', '\x95', '\x90'}};
    auto page = std::make_unique<CodePage>();
    EXPECT_TRUE(code_page_build(437, table, page.get()));
    return page;
}

TEST(LineEditorTest, Utf8KeysAreOneCharacterEachInTheCodePage) {
    auto page = keys_code_page();
    EditorRun run(page.get());
    // Each byte is a read of its own, as the keyboard gives them. € sends nothing and is not
    // echoed; Backspace after é erases it whole, on screen and in the line.
    run.keys(
        "M\xC3\xBC\xE2\x82\xAC"
        "l\xC3\xA9\b"
        "ler\r");
    ASSERT_EQ(run.sent.size(), 1u);
    EXPECT_EQ(run.sent[0], "M\x81ller");
    EXPECT_EQ(run.echo, "Mül\xC3\xA9\b \bler\r\n");

    // The line holds 80 characters, not 80 bytes.
    std::string frame;
    for (int i = 0; i < 85; ++i) frame += "═";
    run.keys(frame + "\r");
    ASSERT_EQ(run.sent.size(), 2u);
    EXPECT_EQ(run.sent[1], std::string(LINE_CAPACITY, '\xCD'));

    // Broken sequences are dropped, and a character cut short by another or by a failed read
    // is dropped; the character after it still counts.
    run.keys(
        "\xBC\xC3"
        "a\xE2\x95");
    run.failed_read();
    ASSERT_EQ(run.sent.size(), 3u);
    EXPECT_EQ(run.sent[2], "a");
    run.keys("\x95\xC3\xBC\r");
    EXPECT_EQ(run.sent.back(), "\x81");

    // Key by key, the code-page byte goes alone, once the character is whole.
    run.echo.clear();
    run.keys("\xC3", true);
    EXPECT_EQ(run.sent.size(), 4u);
    run.keys("\xA9\xE2\x82\xAC", true);
    EXPECT_EQ(run.sent, (std::vector<std::string>{"M\x81ller", std::string(80, '\xCD'), "a", "\x81",
                                                  "\x82"}));
    EXPECT_EQ(run.echo, "é");
}

TEST(RetryMessageTest, OnlyTheTwoRetryStatesHaveMessages) {
    EXPECT_STREQ(retry_message(LINK_BOUND), "Unable to connect");
    EXPECT_STREQ(retry_message(LINK_ADDRESSED), "Lost connection");
    EXPECT_EQ(retry_message(LINK_IDLE), nullptr);
    EXPECT_EQ(retry_message(LINK_ONLINE), nullptr);
    EXPECT_EQ(retry_message(3), nullptr);
}

}  // namespace
