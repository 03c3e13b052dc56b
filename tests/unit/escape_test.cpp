// The keyboard's escape: what goes on to the line editor for the keys typed, and the end.
#include <gtest/gtest.h>

#include <string>

#include "input/input.h"

namespace {

TEST(EscapeTest, FirstOnALineOnly) {
    struct Case {
        const char* keys;
        const char* passed;  // the keys that went on, until the end if it came
        bool ended;
        char escape = '~';
    };
    const Case cases[] = {
        {"~.", "", true},                 // the start of the session
        {"x\r~~~.", "x\r~~.", false},     // doubled: one sent, and the line has begun
        {"x\r~~\r~.", "x\r~\r", true},    // after Enter again
        {"~x~.", "~x~.", false},          // anything else: both, and the line has begun
        {"~\r~.", "~\r", true},           // the other key was Enter: a new line
        {"a~.", "a~.", false},            // in the middle of a line
        {"\b~.\n~.", "\b~.\n~.", false},  // Backspace and a line feed start no line
        {"~", "", false},                 // held until the next key
        {"~.", "~.", false, 0},           // no escape
        {"~.\r!!\r!.", "~.\r!\r", true, '!'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        EscapeState state;
        escape_reset(&state, c.escape);
        std::string passed;
        bool ended = false;
        for (const char* key = c.keys; *key && !ended; ++key) {
            EscapeOutcome outcome = escape_key(&state, *key);
            passed.append(outcome.keys, static_cast<std::size_t>(outcome.count));
            ended = outcome.end;
        }
        EXPECT_EQ(passed, c.passed);
        EXPECT_EQ(ended, c.ended);
    }
}

TEST(EscapeTest, Setting) {
    EXPECT_EQ(parse_escape_setting(nullptr), '~');
    EXPECT_EQ(parse_escape_setting(""), '~');
    EXPECT_EQ(parse_escape_setting("none"), 0);
    EXPECT_EQ(parse_escape_setting("^"), '^');
    for (const char* bad : {"None", "~~", " ", ".", "\x7f", "\xc3\xa9", "\t"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse_escape_setting(bad), -1);
    }
}

}  // namespace
