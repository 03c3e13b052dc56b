// The launch control's argument and how a command text becomes a program's words.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "actions/actions.h"

namespace {

struct Parsed {
    bool ok;
    std::uint32_t flags;
    std::string command;
    std::string title;
};

Parsed parse(const std::string& argument) {
    LaunchRequest request{};
    if (!parse_launch_argument(argument.data(), argument.size(), &request))
        return {false, 0, "", ""};
    EXPECT_LE(request.command_offset + request.command_length, argument.size());
    EXPECT_LE(request.title_offset + request.title_length, argument.size());
    return {true, request.flags, argument.substr(request.command_offset, request.command_length),
            argument.substr(request.title_offset, request.title_length)};
}

void expect_parsed(const std::string& argument, std::uint32_t flags, const std::string& command,
                   const std::string& title) {
    SCOPED_TRACE("argument '" + argument + "'");
    Parsed parsed = parse(argument);
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.flags, flags);
    EXPECT_EQ(parsed.command, command);
    EXPECT_EQ(parsed.title, title);
}

TEST(LaunchArgument, DocumentedExamples) {
    expect_parsed("9~80000010~5~NOTES.EXE|Notes", 0x80000010u, "NOTES.EXE", "Notes");
    expect_parsed("7~0~0~CMD.EXE ", 0, "CMD.EXE", "");
}

TEST(LaunchArgument, CommandAndTitleAreCutAtTheirLengths) {
    expect_parsed("3~0~2~abcdefgh", 0, "abc", "ef");
    expect_parsed("9~10~5~NOTES.EXE|Notes and more", 0x10, "NOTES.EXE", "Notes");
    // The separator is never looked at, whatever it is.
    expect_parsed("3~0~2~abc~xy", 0, "abc", "xy");
    expect_parsed("0~0~2~|xy", 0, "", "xy");
}

TEST(LaunchArgument, TitleStaysInsideTheText) {
    expect_parsed("3~0~50~abc|xy", 0, "abc", "xy");
    expect_parsed("3~0~3~abc|", 0, "abc", "");
    // The command ends exactly at the end of the text: no separator, no title.
    expect_parsed("3~0~5~abc", 0, "abc", "");
    expect_parsed("0~0~7~x", 0, "", "");
}

TEST(LaunchArgument, MalformedArgumentsAreRefused) {
    const char* refused[] = {
        "3~80000000~0~",    // nothing after the third '~'
        "3~80000000~0~ab",  // fewer than L characters
        "7~0~0CMD.EXE ",    // third '~' missing
        "7~0~",             // title length missing
        "7~0",              // second '~' missing
        "7",                //
        "",                 //
        "~0~0~CMD",         // command length missing
        "1~~0~CMD",         // flags missing
        "1~0~~CMD",         // title length missing
        "1234~0~0~abcd",    // a fourth digit where '~' must be
        "1~0~1000~ab",      // the same in the title length
        "5 ~0~0~hello",     // a '~' must follow the digits at once
        "x~0~0~CMD",        // not a number
        "1~g~0~CMD",        // not hexadecimal
        "-1~0~0~abc",       // "-1" reads as the largest number: far more than the text
    };
    for (const char* argument : refused) {
        EXPECT_FALSE(parse(argument).ok) << "argument '" << argument << "'";
    }
}

TEST(LaunchArgument, NumbersReadAsScanfReadsThem) {
    // Leading white space before each number; the width counts the characters after it.
    expect_parsed(" 5~ 0~\t2~hello|hi", 0, "hello", "hi");
    expect_parsed("005~0~002~hello|hi", 0, "hello", "hi");
    expect_parsed("+5~0~+2~hello|hi", 0, "hello", "hi");
    // Hexadecimal flags, with or without 0x, either case, any number of digits.
    expect_parsed("1~0x10~0~a", 0x10, "a", "");
    expect_parsed("1~ffffffff~0~a", 0xffffffffu, "a", "");
    expect_parsed("1~0000000000080000008~0~a", 0x80000008u, "a", "");
    expect_parsed("1~8000000A~0~a", 0x8000000au, "a", "");
    // "-1" as a title length is the largest number: the title runs to the end of the text.
    expect_parsed("1~0~-1~a|title", 0, "a", "title");
}

TEST(LaunchArgument, TheTextEndsAtItsLengthOrItsFirstNul) {
    // Nothing past argument_length is read, even when the buffer goes on.
    std::string buffer = "3~0~9~abc|title";
    LaunchRequest request{};
    ASSERT_TRUE(parse_launch_argument(buffer.data(), 12, &request));
    EXPECT_EQ(buffer.substr(request.title_offset, request.title_length), "ti");
    ASSERT_FALSE(parse_launch_argument(buffer.data(), 8, &request));

    std::string with_nul("3~0~0~ab\0cdef", 13);
    EXPECT_FALSE(parse_launch_argument(with_nul.data(), with_nul.size(), &request));
}

TEST(LaunchArgument, LongestCommand) {
    std::string command(999, 'c');
    expect_parsed("999~0~3~" + command + "|abc", 0, command, "abc");
    EXPECT_FALSE(parse("999~0~3~" + command.substr(1)).ok);
}

}  // namespace
