// The command line: options on the first argument only, and where the command text starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/connection.h"
#include "app/startup.h"
#include "app/usage.h"
#include "core/console_state.h"

namespace {

struct Parsed {
    ConsoleOptions options;
    std::string line;
    std::string command() const {
        return options.command_offset ? line.substr(options.command_offset) : std::string();
    }
};

Parsed parse(std::vector<const char*> argv, std::size_t capacity = COMMAND_LINE_SIZE) {
    static char line[COMMAND_LINE_SIZE];
    Parsed parsed{};
    parse_options(static_cast<int>(argv.size()), argv.data(), line, capacity, &parsed.options);
    parsed.line = line;
    return parsed;
}

TEST(Options, NoArgumentsIsInteractive) {
    Parsed p = parse({"veldrin"});
    EXPECT_EQ(p.options.command_offset, 0);
    EXPECT_FALSE(p.options.change_directory);
    EXPECT_FALSE(p.options.quiet_loss);
}

TEST(Options, DirectoryOption) {
    Parsed alone = parse({"veldrin", "-pD:\\DATA"});
    EXPECT_TRUE(alone.options.change_directory);
    EXPECT_STREQ(alone.options.directory, "D:\\DATA");
    EXPECT_EQ(alone.options.command_offset, 0);

    Parsed with_command = parse({"veldrin", "-p/srv/data", "REPORT", "7"});
    EXPECT_STREQ(with_command.options.directory, "/srv/data");
    EXPECT_EQ(with_command.command(), "REPORT 7");

    Parsed empty = parse({"veldrin", "-p"});
    EXPECT_TRUE(empty.options.change_directory);
    EXPECT_STREQ(empty.options.directory, "");
}

TEST(Options, QuietLossOption) {
    Parsed alone = parse({"veldrin", "-C"});
    EXPECT_TRUE(alone.options.quiet_loss);
    EXPECT_EQ(alone.options.command_offset, 0);

    Parsed suffixed = parse({"veldrin", "-Cx", "LIST"});
    EXPECT_TRUE(suffixed.options.quiet_loss);
    EXPECT_EQ(suffixed.command(), "LIST");
}

TEST(Options, OnlyTheExactFirstTwoBytesCount) {
    Parsed other = parse({"veldrin", "-x", "LIST"});
    EXPECT_FALSE(other.options.quiet_loss);
    EXPECT_FALSE(other.options.change_directory);
    EXPECT_EQ(other.command(), "LIST");

    Parsed upper = parse({"veldrin", "-P/tmp"});  // not "-p": an unknown option, skipped
    EXPECT_FALSE(upper.options.change_directory);
    EXPECT_EQ(upper.options.command_offset, 0);

    Parsed second = parse({"veldrin", "LIST", "-C"});  // options only in the first argument
    EXPECT_FALSE(second.options.quiet_loss);
    EXPECT_EQ(second.command(), "LIST -C");
}

TEST(Options, CommandTextWithoutOption) {
    EXPECT_EQ(parse({"veldrin", "HELLO", "WORLD"}).command(), "HELLO WORLD");
    // An argument's own white space stays part of the command, trailing included.
    EXPECT_EQ(parse({"veldrin", "HELLO", "WORLD  "}).command(), "HELLO WORLD  ");
}

TEST(Options, QuotedWordsStayWhole) {
    // A program path and a directory with spaces are single arguments, never command text.
    Parsed dir = parse({"/opt/my tools/veldrin", "-p/srv/my dir"});
    EXPECT_TRUE(dir.options.change_directory);
    EXPECT_STREQ(dir.options.directory, "/srv/my dir");
    EXPECT_EQ(dir.options.command_offset, 0);

    EXPECT_EQ(parse({"/opt/my tools/veldrin", "-p/srv/my dir", "REPORT", "a b"}).command(),
              "REPORT a b");
}

TEST(Options, WhiteSpaceOnlyIsNoCommand) {
    EXPECT_EQ(parse({"veldrin", "  ", "\t"}).options.command_offset, 0);
    EXPECT_EQ(parse({"veldrin", "-C", " "}).options.command_offset, 0);
    EXPECT_EQ(parse({"veldrin", ""}).options.command_offset, 0);
}

TEST(Options, CommandLineTooLongIsRefused) {
    Parsed p = parse({"veldrin", "ABCDEFGHIJ"}, 12);
    EXPECT_TRUE(p.options.command_line_too_long);
    EXPECT_EQ(p.options.command_offset, 0);
    EXPECT_FALSE(parse({"veldrin", "ABC"}, 12).options.command_line_too_long);
}

TEST(Options, HelpAndVersionOnlyAsTheOnlyArgument) {
    EXPECT_EQ(requested_information(2, std::vector<const char*>{"veldrin", "--help"}.data()),
              USAGE_TEXT);
    EXPECT_EQ(requested_information(2, std::vector<const char*>{"veldrin", "--version"}.data()),
              VERSION_TEXT);

    // Anywhere else they keep their usual meaning: a skipped option word, or command text.
    for (std::vector<const char*> argv :
         std::vector<std::vector<const char*>>{{"veldrin"},
                                               {"veldrin", "--help", "LIST"},
                                               {"veldrin", "--version", ""},
                                               {"veldrin", "LIST", "--help"},
                                               {"veldrin", "--helpme"},
                                               {"veldrin", "--versio"},
                                               {"veldrin", "-h"},
                                               {"veldrin", "-V"},
                                               {"veldrin", "--HELP"}}) {
        EXPECT_EQ(requested_information(static_cast<int>(argv.size()), argv.data()), nullptr)
            << argv.size() << " words, the second " << (argv.size() > 1 ? argv[1] : "none");
    }
    Parsed skipped = parse({"veldrin", "--help", "REPORT", "7"});
    EXPECT_FALSE(skipped.options.change_directory);
    EXPECT_EQ(skipped.command(), "REPORT 7");
}

// Seconds from 2 to 3600, 0 for the system's own settings, the default when unset or empty;
// anything else is refused, however long.
TEST(KeepAliveSetting, SecondsInRangeOnly) {
    struct Case {
        const char* text;
        bool taken;
        unsigned seconds;
    };
    const Case cases[] = {
        {nullptr, true, 30},      {"", true, 30},   {"0", true, 0},   {"2", true, 2},
        {"3600", true, 3600},     {"007", true, 7}, {"1", false, 0},  {"3601", false, 0},
        {"-5", false, 0},         {" 5", false, 0}, {"5s", false, 0}, {"off", false, 0},
        {"4294967306", false, 0},
    };
    for (const Case& c : cases) {
        unsigned seconds = 12345;
        EXPECT_EQ(parse_keep_alive_setting(c.text, &seconds), c.taken)
            << (c.text ? c.text : "null");
        EXPECT_EQ(seconds, c.taken ? c.seconds : 12345u) << (c.text ? c.text : "null");
    }
}

// The code itself where the platform's status holds it (all 32 bits on Windows), else the
// largest status: never a code cut to a small one (256 would be 0 cut to 8 bits). On Windows the
// one code a parent takes for "still running" (259) is the largest too.
TEST(ExitStatus, FitsOrHeldAtTheLargest) {
    struct Case {
        std::uint32_t code, posix, windows;
    };
    const Case cases[] = {{0, 0, 0},
                          {4, 4, 4},
                          {255, 255, 255},
                          {256, 255, 256},
                          {259, 255, 0xFFFFFFFFu},
                          {300, 255, 300},
                          {65536, 255, 65536},
                          {0x7FFFFFFFu, 255, 0x7FFFFFFFu},
                          {0xFFFFFFFFu, 255, 0xFFFFFFFFu}};
    for (const Case& c : cases) {
#ifdef _WIN32
        const std::uint32_t expected = c.windows;
#else
        const std::uint32_t expected = c.posix;
#endif
        EXPECT_EQ(static_cast<std::uint32_t>(process_exit_status(c.code)), expected) << c.code;
    }
}

}  // namespace
