// The server's code page end to end: its text shown in UTF-8 where the locale is UTF-8, the
// user's UTF-8 sent back in the code page, and the bytes as they are everywhere else.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_common.h"
#include "harness.h"
#include "pty_harness.h"

namespace {

using namespace e2e;

using harness::ADDRESS_FILE_NAME;
using harness::ConsoleProcess;
using harness::ProcessOptions;
using harness::ScriptedServer;
using harness::TempDir;

constexpr int WAIT_MS = 15000;
const std::string UTF8 = "LC_ALL=C.UTF-8";

// The environment of one run: the locale's variables (separated by spaces), and the setting
// unless it is null.
std::vector<std::string> environment(const std::string& locale, const char* setting) {
    std::vector<std::string> entries;
    std::istringstream words(locale);
    for (std::string word; words >> word;) entries.push_back(word);
    if (setting != nullptr) entries.push_back(std::string("VELDRIN_CODEPAGE=") + setting);
    return entries;
}

class CodePageCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server_.port()));
    }
    std::unique_ptr<ConsoleProcess> start(const std::vector<std::string>& words,
                                          std::vector<std::string> extra_environment) {
        std::vector<std::string> args = {"-p" + dir_.path()};
        args.insert(args.end(), words.begin(), words.end());
        ProcessOptions options;
        options.extra_environment = std::move(extra_environment);
        return std::make_unique<ConsoleProcess>(args, options);
    }

    TempDir dir_;
    ScriptedServer server_;
};

// The text follows the locale and the setting, and a marker right after 8-bit bytes acts.
TEST_F(CodePageCommand, TextAndCommandFollowTheLocaleAndTheSetting) {
    struct Case {
        std::string locale;
        const char* setting;
        std::string wire_command;  // what the typed "Müller" arrives as
        std::string text;
        std::string shown;
        std::string marked;  // what "\x81\x82" right before the marker shows as
    };
    const std::string frame = "\xC9\xCD\xBB M\x81ller\r\n";
    const Case cases[] = {
        {UTF8, nullptr, "M\x81ller", frame, "╔═╗ Müller\r\n", "üé"},
        {UTF8, "850", "M\x81ller", frame, "╔═╗ Müller\r\n", "üé"},
        // 1252 has no character for 0x81: it shows as U+0081.
        {UTF8, "1252", "M\xFCller", "caf\xE9 \x80\n", "café €\n", "\xC2\x81‚"},
        {"LC_ALL=C", nullptr, "Müller", frame, frame, "\x81\x82"},
        {UTF8, "none", "Müller", frame, frame, "\x81\x82"},
        // The locale's name says UTF-8 (LC_ALL, then LC_CTYPE, then LANG), whatever is installed.
        {"LC_ALL LANG=xx_YY.utf8", nullptr, "M\x81ller", frame, "╔═╗ Müller\r\n", "üé"},
        {"LC_ALL LC_CTYPE=C LANG=C.UTF-8", nullptr, "Müller", frame, frame, "\x81\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale + " " + (c.setting ? c.setting : "(default)"));
        ScriptedServer server;
        dir_.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
        ProcessOptions options;
        options.extra_environment = environment(c.locale, c.setting);
        ConsoleProcess console({"-p" + dir_.path(), "FIND", "Müller"}, options);
        ASSERT_TRUE(server.accept_connection(WAIT_MS));
        ASSERT_TRUE(server.wait_for_received(MODE.size() + 5 + c.wire_command.size(), WAIT_MS));
        EXPECT_EQ(server.received(), MODE + "FIND " + c.wire_command);
        ASSERT_TRUE(server.send_separately({c.text + "\x81\x82~~~65", "~~~0"}));
        ASSERT_TRUE(console.wait_exit(WAIT_MS));
        EXPECT_EQ(console.exit_status(), 5);
        EXPECT_EQ(console.stdout_text(), c.shown + c.marked);
        EXPECT_EQ(console.stderr_text(), "");
    }
}

// A run of 8-bit text across the 1024-byte chunks loses nothing, and the marker after it acts.
TEST_F(CodePageCommand, ChunkBoundaryInsideEightBitTextLosesNothing) {
    auto console = start({"LIST"}, environment(UTF8, nullptr));
    ASSERT_TRUE(server_.accept_connection(WAIT_MS));
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 4, WAIT_MS));
    std::string text =
        std::string(1000, 'a') + std::string(100, '\xCD') + std::string(2000, '\x81');
    ASSERT_TRUE(server_.send_separately({text, "~~~67", "~~~0"}));
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 7);
    std::string shown = std::string(1000, 'a');
    for (int i = 0; i < 100; ++i) shown += "═";
    for (int i = 0; i < 2000; ++i) shown += "ü";
    EXPECT_EQ(console->stdout_text(), shown);
}

// So is a keepalive bound that is not a number of seconds the console takes.
TEST_F(CodePageCommand, UnusableSettingIsAnErrorAtStartUp) {
    struct Case {
        std::string locale;  // or another setting
        const char* setting;
        std::string message;
    };
    const Case cases[] = {
        {UTF8, "9999", "Unknown code page 9999\n"},
        {"LC_ALL=C", "cp437", "Unknown code page cp437\n"},
        {UTF8, "932", "Unknown code page 932: "},
        {"VELDRIN_KEEPALIVE=1", nullptr, "Invalid VELDRIN_KEEPALIVE 1: "},
        {"VELDRIN_KEEPALIVE=30s", nullptr, "Invalid VELDRIN_KEEPALIVE 30s: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        auto console = start({"LIST"}, environment(c.locale, c.setting));
        ASSERT_TRUE(console->wait_exit(WAIT_MS));
        EXPECT_EQ(console->exit_status(), 1);
        EXPECT_EQ(console->stderr_text().rfind(c.message, 0), 0u) << console->stderr_text();
        EXPECT_EQ(console->stdout_text(), "");
    }
    EXPECT_EQ(server_.connection_count(), 0);
}

// At a terminal in a UTF-8 locale: the frame and the names as a Windows user sees them, typed
// characters on the wire in the code page, and the title converted.
TEST(CodePageTerminal, FramesNamesKeysAndTitle) {
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    pty::TerminalOptions options;
    options.extra_environment = {UTF8};
    pty::TerminalConsole console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));

    ASSERT_TRUE(server.send_bytes("\xC9\xCD\xCD\xBB\n\xBA\x84\xBA\n\xC8\xCD\xCD\xBC\nName> "));
    ASSERT_NE(console.wait_for_screen("╔══╗\r\n║ä║\r\n╚══╝\r\nName> ", WAIT_MS), std::string::npos);
    // € is not in 437: nothing is sent or echoed, and Backspace then erases ü whole.
    std::size_t mark = console.screen().size();
    console.type("Mü€\x7f");
    console.type("üller\r");
    ASSERT_TRUE(server.wait_for_received(6, WAIT_MS));
    EXPECT_NE(console.wait_for_screen("Mü\b \büller\r", WAIT_MS, mark), std::string::npos);
    pause_ms(200);
    EXPECT_EQ(server.received(), "M\x81ller");

    // Key by key, a typed é goes out as its one byte.
    ASSERT_TRUE(server.send_bytes("~~~1"));
    pause_ms(300);
    console.type("é");
    ASSERT_TRUE(server.wait_for_received(7, WAIT_MS));
    EXPECT_EQ(server.received(), "M\x81ller\x82");

    ASSERT_TRUE(server.send_bytes("~~~50~M\x81ller caf\x82"));
    EXPECT_NE(console.wait_for_screen("\033]2;Müller café\007", WAIT_MS), std::string::npos);
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0) << console.stderr_text();
    expect_terminal_restored(console);
}

}  // namespace
