// The launch control's argument and how a command text becomes a program's words.
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "actions/actions.h"
#include "harness.h"
#include "platform/posix/process.h"

namespace {

using platform::posix::CommandWords;

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

// ---------------------------------------------------------------------------------------------

std::vector<std::string> split(const std::string& command) {
    static CommandWords words;
    if (!platform::posix::split_command(command.c_str(), &words)) return {"<refused>"};
    std::vector<std::string> result;
    for (int i = 0; i < words.count; ++i) result.emplace_back(words.words[i]);
    EXPECT_EQ(words.words[words.count], nullptr);
    return result;
}

using Words = std::vector<std::string>;

TEST(SplitCommand, BlanksSeparateWords) {
    EXPECT_EQ(split("prog a b"), (Words{"prog", "a", "b"}));
    EXPECT_EQ(split("  prog\t a \r\n\v\fb  "), (Words{"prog", "a", "b"}));
    EXPECT_EQ(split(""), Words{});
    EXPECT_EQ(split(" \t "), Words{});
}

TEST(SplitCommand, QuotesGroupAndBackslashesEscape) {
    EXPECT_EQ(split("prog 'two words' \"three more words\""),
              (Words{"prog", "two words", "three more words"}));
    EXPECT_EQ(split("a\\ b \\'x \\\"y \\\\"), (Words{"a b", "'x", "\"y", "\\"}));
    EXPECT_EQ(split("a'b c'\"d e\"f"), (Words{"ab cd ef"}));
    EXPECT_EQ(split("'' \"\" x''"), (Words{"", "", "x"}));
    // Single quotes keep everything, backslashes included.
    EXPECT_EQ(split("'a\\b \"c\"'"), (Words{"a\\b \"c\""}));
    // In double quotes a backslash escapes only $ ` " \ and newline.
    EXPECT_EQ(split("\"\\$ \\` \\\" \\\\ \\n \\a\""), (Words{"$ ` \" \\ \\n \\a"}));
    EXPECT_EQ(split("\"it's\""), (Words{"it's"}));
}

TEST(SplitCommand, BackslashNewlineJoinsAndAFinalBackslashStays) {
    EXPECT_EQ(split("ab\\\ncd"), (Words{"abcd"}));
    EXPECT_EQ(split("ab \\\ncd"), (Words{"ab", "cd"}));
    EXPECT_EQ(split("\"ab\\\ncd\""), (Words{"abcd"}));
    EXPECT_EQ(split("ab\\"), (Words{"ab\\"}));
}

TEST(SplitCommand, NothingIsExpandedOrInterpreted) {
    EXPECT_EQ(split("$HOME * ~ a|b c;d >e <f & #g `h` $(i)"),
              (Words{"$HOME", "*", "~", "a|b", "c;d", ">e", "<f", "&", "#g", "`h`", "$(i)"}));
}

TEST(SplitCommand, OpenQuotesAndOverlongTextsAreRefused) {
    EXPECT_EQ(split("prog 'abc"), Words{"<refused>"});
    EXPECT_EQ(split("prog \"abc"), Words{"<refused>"});
    EXPECT_EQ(split("prog \"abc\\\""), Words{"<refused>"});

    std::string longest(platform::posix::COMMAND_TEXT_MAX, 'x');
    EXPECT_EQ(split(longest), Words{longest});
    EXPECT_EQ(split(longest + "x"), Words{"<refused>"});
}

TEST(SplitCommand, AsManyWordsAsTheLongestTextHolds) {
    std::string text;
    while (text.size() + 2 <= platform::posix::COMMAND_TEXT_MAX) text += "w ";
    Words words = split(text);
    ASSERT_EQ(words.size(), static_cast<std::size_t>(platform::posix::COMMAND_WORDS_MAX));
    EXPECT_EQ(words.back(), "w");
    // Empty words use the most room for their NULs.
    std::string empties;
    while (empties.size() + 3 <= platform::posix::COMMAND_TEXT_MAX) empties += "'' ";
    EXPECT_EQ(split(empties).size(), empties.size() / 3);
}

// ---------------------------------------------------------------------------------------------

TEST(LaunchStyle, FlagsChooseHowTheProgramStarts) {
    using namespace platform;
    using namespace platform::posix;
    EXPECT_EQ(launch_style(0, true), LAUNCH_SHARED_TERMINAL);
    EXPECT_EQ(launch_style(CREATE_NEW_PROCESS_GROUP | 0x7fff0000u, true), LAUNCH_SHARED_TERMINAL);
    EXPECT_EQ(launch_style(DETACHED_PROCESS, true), LAUNCH_DETACHED);
    EXPECT_EQ(launch_style(CREATE_NEW_CONSOLE, true), LAUNCH_NEW_TERMINAL);
    EXPECT_EQ(launch_style(CREATE_NEW_CONSOLE, false), LAUNCH_DETACHED);
    EXPECT_EQ(launch_style(CREATE_NEW_CONSOLE | DETACHED_PROCESS, true), LAUNCH_DETACHED);
}

class ProgramSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        first = dir.make_subdir("first");
        second = dir.make_subdir("second");
        make_executable(first + "/term");
        make_executable(second + "/term");
        make_executable(second + "/x-terminal-emulator");
        dir.write_file("first/plain", "not a program");
        dir.make_subdir("first/folder");
        search_path = first + ":" + second;
    }
    void make_executable(const std::string& path) {
        dir.write_file(path.substr(dir.path().size() + 1), "#!/bin/sh\n");
        chmod(path.c_str(), 0755);
    }
    std::string find(const char* name, const std::string& path) {
        char found[PATH_MAX];
        if (!platform::posix::find_program(name, path.c_str(), found, sizeof found)) return "";
        return found;
    }

    harness::TempDir dir;
    std::string first, second, search_path;
};

TEST_F(ProgramSearch, FindsExecutableFilesInPathOrder) {
    EXPECT_EQ(find("term", search_path), first + "/term");
    EXPECT_EQ(find("term", second + ":" + first), second + "/term");
    EXPECT_EQ(find("x-terminal-emulator", search_path), second + "/x-terminal-emulator");
    EXPECT_EQ(find("plain", search_path), "");
    EXPECT_EQ(find("folder", search_path), "");
    EXPECT_EQ(find("missing", search_path), "");
    EXPECT_EQ(find("", search_path), "");
    // A name with a '/' is the file itself, whatever the search path.
    EXPECT_EQ(find((second + "/term").c_str(), "/nonexistent"), second + "/term");
    EXPECT_EQ(find((first + "/plain").c_str(), search_path), "");
    // A name that does not fit the caller's buffer is not found.
    char small[4];
    EXPECT_FALSE(platform::posix::find_program("term", search_path.c_str(), small, sizeof small));
}

TEST_F(ProgramSearch, TerminalNeedsAGraphicalSessionAndAnEmulator) {
    using platform::posix::choose_terminal;
    static platform::posix::TerminalChoice choice;
    const char* path = search_path.c_str();

    EXPECT_FALSE(choose_terminal(nullptr, nullptr, "term", path, &choice));
    EXPECT_FALSE(choose_terminal("", "", "term", path, &choice));

    ASSERT_TRUE(choose_terminal(":1", nullptr, "term -fa 'Mono 12'", path, &choice));
    EXPECT_EQ(std::string(choice.program), first + "/term");
    ASSERT_EQ(choice.words.count, 3);
    EXPECT_STREQ(choice.words.words[2], "Mono 12");

    ASSERT_TRUE(choose_terminal(nullptr, "wayland-0", "term", path, &choice));
    EXPECT_EQ(std::string(choice.program), first + "/term");

    // An emulator that can't be found, or none named: the usual ones, in order.
    ASSERT_TRUE(choose_terminal(":1", nullptr, "missing-terminal", path, &choice));
    EXPECT_EQ(std::string(choice.program), second + "/x-terminal-emulator");
    ASSERT_TRUE(choose_terminal(":1", nullptr, nullptr, path, &choice));
    EXPECT_STREQ(choice.words.words[0], "x-terminal-emulator");
    ASSERT_TRUE(choose_terminal(":1", nullptr, "", path, &choice));
    EXPECT_STREQ(choice.words.words[0], "x-terminal-emulator");

    EXPECT_FALSE(choose_terminal(":1", nullptr, nullptr, first.c_str(), &choice));
}

TEST(TerminalArguments, XtermConvention) {
    static CommandWords terminal;
    static CommandWords program;
    ASSERT_TRUE(platform::posix::split_command("term -fa Mono", &terminal));
    ASSERT_TRUE(platform::posix::split_command("prog 'a b' c", &program));
    char* arguments[10];
    ASSERT_TRUE(platform::posix::terminal_arguments(terminal, "Notes", program, arguments, 10));
    std::vector<std::string> got;
    for (int i = 0; arguments[i]; ++i) got.emplace_back(arguments[i]);
    EXPECT_EQ(got, (Words{"term", "-fa", "Mono", "-T", "Notes", "-e", "prog", "a b", "c"}));
    EXPECT_FALSE(platform::posix::terminal_arguments(terminal, "Notes", program, arguments, 9));
}

}  // namespace
