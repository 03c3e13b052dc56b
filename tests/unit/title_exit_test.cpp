// The arguments of controls 5 (title) and 6 (exit status).
#include <gtest/gtest.h>

#include <cstring>

#include "actions/actions.h"
#include "core/console_state.h"

namespace {

long title_offset(const char* argument) {
    return parse_title_argument(argument, std::strlen(argument));
}

TEST(TitleArgument, LengthIsAMinimumOnly) {
    EXPECT_EQ(title_offset("6~Orders"), 2);
    EXPECT_EQ(title_offset("3~Orders"), 2);
    EXPECT_EQ(title_offset("0~X"), 2);
    EXPECT_EQ(title_offset("9~Orders"), -1);  // fewer than 9 characters follow
}

TEST(TitleArgument, MalformedMeansRestore) {
    EXPECT_EQ(title_offset(""), -1);
    EXPECT_EQ(title_offset("6Orders"), -1);      // no '~'
    EXPECT_EQ(title_offset("0~"), -1);           // nothing follows the '~'
    EXPECT_EQ(title_offset("~Orders"), -1);      // no number
    EXPECT_EQ(title_offset("1234~Orders"), -1);  // "%3u" stops after 3 digits, then '4' is no '~'
    EXPECT_EQ(title_offset("-1~Orders"), -1);    // "%u" takes the sign: a huge least length
}

TEST(TitleArgument, ScanfWhiteSpaceAndWidth) {
    EXPECT_EQ(title_offset("  6~Orders"), 4);  // leading white space is skipped
    EXPECT_EQ(title_offset("006~Orders"), 4);
    EXPECT_EQ(title_offset("+6~Orders"), 3);
}

TEST(TitleControl, SetsAndRestoresTheTitle) {
    std::strcpy(saved_title, "Saved");
    apply_title("6~Orders", 8);
    char title[SAVED_TITLE_SIZE];
    platform::get_console_title(title, sizeof title);
    EXPECT_STREQ(title, "Orders");
    apply_title("", 0);
    platform::get_console_title(title, sizeof title);
    EXPECT_STREQ(title, "Saved");
}

TEST(ExitArgument, ParsesLikeUnsignedScan) {
    std::uint32_t value = 7;
    EXPECT_TRUE(parse_unsigned("3", &value));
    EXPECT_EQ(value, 3u);
    EXPECT_TRUE(parse_unsigned(" \t42xyz", &value));
    EXPECT_EQ(value, 42u);
    EXPECT_TRUE(parse_unsigned("+5", &value));
    EXPECT_EQ(value, 5u);
    EXPECT_TRUE(parse_unsigned("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
}

TEST(ExitArgument, NotANumberLeavesTheValue) {
    std::uint32_t value = 7;
    EXPECT_FALSE(parse_unsigned("", &value));
    EXPECT_FALSE(parse_unsigned("abc", &value));
    EXPECT_FALSE(parse_unsigned("-", &value));
    EXPECT_FALSE(parse_unsigned("~3", &value));
    EXPECT_EQ(value, 7u);
}

TEST(ExitArgument, TooLargeNeverWrapsToASmallNumber) {
    std::uint32_t value = 0;
    EXPECT_TRUE(parse_unsigned("4294967296", &value));  // 2^32 would wrap to 0
    EXPECT_EQ(value, UINT32_MAX);
    EXPECT_TRUE(parse_unsigned("99999999999999999999999", &value));
    EXPECT_EQ(value, UINT32_MAX);
    EXPECT_TRUE(parse_unsigned("-4294967295", &value));  // negation would give 1
    EXPECT_EQ(value, UINT32_MAX);
    EXPECT_TRUE(parse_unsigned("-0", &value));
    EXPECT_EQ(value, 0u);
}

TEST(ExitControl, LaterControlOverrides) {
    exit_code = 0;
    apply_exit_code("3");
    EXPECT_EQ(exit_code, 3u);
    apply_exit_code("not a number");
    EXPECT_EQ(exit_code, 3u);
    apply_exit_code("9");
    EXPECT_EQ(exit_code, 9u);
}

}  // namespace
