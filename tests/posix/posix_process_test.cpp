// Starting a launched program on POSIX: a command text split into words, the creation flags,
// and the search for the program and for a terminal emulator.
#include <sys/stat.h>

#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/posix/process.h"

namespace {

using platform::posix::CommandWords;

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
    // A whole chunk of the server's 8-bit text, converted to three-byte UTF-8, still splits.
    std::string converted;
    for (std::size_t i = 0; i < platform::RECEIVE_CHUNK; ++i) converted += "\xE2\x94\x80";
    EXPECT_EQ(split(converted), Words{converted});
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
