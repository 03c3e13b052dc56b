// The keyboard's escape: what goes on to the line editor for the keys typed, and the end.
#include <gtest/gtest.h>

#include <string>

#include "input/input.h"

namespace {

struct Typed {
    std::string passed;  // the keys that went on, in order
    bool ended = false;
    std::size_t ended_after = 0;  // keys read when the end came
};

Typed type(const std::string& keys, char escape = '~') {
    EscapeState state;
    escape_reset(&state, escape);
    Typed typed;
    for (char key : keys) {
        ++typed.ended_after;
        EscapeOutcome outcome = escape_key(&state, key);
        typed.passed.append(outcome.keys, static_cast<std::size_t>(outcome.count));
        if (outcome.end) {
            typed.ended = true;
            return typed;
        }
    }
    return typed;
}

TEST(EscapeTest, FirstOnALineOnly) {
    struct Case {
        const char* keys;
        const char* passed;
        bool ended;
    };
    const Case cases[] = {
        {"~.", "", true},               // the start of the session
        {"x\r~~~.", "x\r~~.", false},   // doubled: one sent, and the line has begun
        {"x\r~~\r~.", "x\r~\r", true},  // after Enter again
        {"~x~.", "~x~.", false},        // anything else: both, and the line has begun
        {"~\r~.", "~\r", true},         // the other key was Enter: a new line
        {"a~.", "a~.", false},          // in the middle of a line
        {"\b~.", "\b~.", false},        // a Backspace does not start a line
        {"\n~.", "\n~.", false},        // nor does a line feed (Enter is 13)
        {"~\x1b", "~\x1b", false},      // Esc after it: both
        {"~", "", false},               // held until the next key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        Typed typed = type(c.keys);
        EXPECT_EQ(typed.passed, c.passed);
        EXPECT_EQ(typed.ended, c.ended);
    }
    EXPECT_EQ(type("\r\r~.zz").ended_after, 4u);  // the end comes at the '.', nothing after
}

TEST(EscapeTest, OtherCharacterOrNone) {
    EXPECT_EQ(type("~.", 0).passed, "~.");
    Typed other = type("~.\r!!\r!.", '!');
    EXPECT_TRUE(other.ended);
    EXPECT_EQ(other.passed, "~.\r!\r");
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
