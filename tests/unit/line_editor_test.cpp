// The keyboard reader's line editing, key by key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/console_state.h"
#include "input/input.h"
#include "notify/notify.h"

namespace {

// Feeds keys to an editor and gathers the echo and what would be sent, one string per send.
struct EditorRun {
    LineEditor editor;
    std::string echo;
    std::vector<std::string> sent;

    EditorRun() { line_editor_reset(&editor); }

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

TEST(RetryMessageTest, OnlyTheTwoRetryStatesHaveMessages) {
    EXPECT_STREQ(retry_message(LINK_BOUND), "Unable to connect");
    EXPECT_STREQ(retry_message(LINK_ADDRESSED), "Lost connection");
    EXPECT_EQ(retry_message(LINK_IDLE), nullptr);
    EXPECT_EQ(retry_message(LINK_ONLINE), nullptr);
    EXPECT_EQ(retry_message(3), nullptr);
}

}  // namespace
