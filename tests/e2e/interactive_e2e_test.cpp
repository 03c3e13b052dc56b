// Interactive mode end to end: the built console at a pseudo-terminal against a scripted
// server, typed on and watched as a user would, and the terminal's settings compared before and
// after every way out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "e2e_common.h"
#include "harness.h"
#include "pty_harness.h"

namespace {

using namespace e2e;

using harness::ADDRESS_FILE_NAME;
using harness::ConsoleProcess;
using harness::InputMode;
using harness::ProcessOptions;
using harness::ScriptedServer;
using harness::TempDir;
using harness::UnusedPort;
using pty::TerminalConsole;

constexpr int WAIT_MS = 10000;
// The console's own pause after the server's control, before the next key tests it.
constexpr int CONTROL_SETTLE_MS = 150;

constexpr const char* BANNER = "Kestrane Database Manager Console " VELDRIN_VERSION;
constexpr const char* CAPTION = "Kestrane Database Manager Console";
constexpr const char* RETRY_BUTTONS = "[R]etry   [C]ancel";

// A console at a terminal, connected to a scripted server, with its keyboard in key mode.
class ConnectedConsole : public ::testing::Test {
  protected:
    void start(pty::TerminalOptions options = {}) {
        dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
        console =
            std::make_unique<TerminalConsole>(std::vector<std::string>{"-p" + dir.path()}, options);
        if (options.stdout_file.empty()) {
            ASSERT_NE(console->wait_for_screen(BANNER, WAIT_MS), std::string::npos);
        }
        ASSERT_TRUE(console->wait_for_key_mode(WAIT_MS));
        ASSERT_TRUE(server.accept_connection(WAIT_MS));
    }
    // Sends the server's text with a control and waits until its text is on the screen.
    void server_says(const std::string& text, const std::string& control) {
        ASSERT_TRUE(server.send_bytes(text + control));
        ASSERT_NE(console->wait_for_screen(text, WAIT_MS, screen_mark), std::string::npos);
        screen_mark = console->screen().size();
        pause_ms(CONTROL_SETTLE_MS);
    }
    void end_session() {
        ASSERT_TRUE(server.send_bytes("~~~0"));
        ASSERT_TRUE(console->wait_exit(WAIT_MS));
        EXPECT_EQ(console->exit_status(), 0) << console->stderr_text();
        expect_terminal_restored(*console);
    }

    TempDir dir;
    ScriptedServer server;
    std::unique_ptr<TerminalConsole> console;
    std::size_t screen_mark = 0;
};

TEST_F(ConnectedConsole, LineModeEditsLinesAndSendsThemOnEnter) {
    SKIP_FOR_WINDOWS("the screen is wine's; keys: WindowsConsole.KeysInBothModes");
    start();
    server_says("Menu> ", "");
    // Backspace (the terminal's erase key) erases on screen and in the line.
    console->type(
        "AB\x7f"
        "C\r");
    ASSERT_TRUE(server.wait_for_received(2, WAIT_MS));
    EXPECT_EQ(server.received(), "AC");
    // Enter is echoed, then a newline (which the terminal turns into CR LF).
    EXPECT_NE(console->wait_for_screen("AB\b \bC\r\r\n", WAIT_MS), std::string::npos);

    // 85 characters: all echoed, the first 80 sent.
    std::string typed;
    for (int i = 0; i < 85; ++i) typed += static_cast<char>('a' + i % 26);
    console->type(typed + "\r");
    EXPECT_NE(console->wait_for_screen(typed, WAIT_MS), std::string::npos);
    ASSERT_TRUE(server.wait_for_received(82, WAIT_MS));

    // An empty line sends nothing; keys that are not characters (arrows, function keys) send
    // nothing and leave the line as it was. The escape first on a line: doubled, one is sent;
    // before another key, both are; in the middle of a line it is a key like any other.
    console->type("\r");
    console->type("~~Q\x1b[A\x1bOP\x1b[15~\x1b[1;5CR~\r~x\r");
    ASSERT_TRUE(server.wait_for_received(88, WAIT_MS));
    pause_ms(200);
    EXPECT_EQ(server.received(), "AC" + typed.substr(0, 80) + "~QR~~x");
    EXPECT_NE(console->wait_for_screen("~QR~\r\r\n~x\r\r\n", WAIT_MS), std::string::npos);
    // '.' after it ends the console, as Cancel does, with nothing more sent or echoed.
    std::size_t mark = console->screen().size();
    console->type("~.");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 0);
    EXPECT_EQ(console->screen().find('~', mark), std::string::npos);
    EXPECT_EQ(server.received().size(), 88u);
    expect_terminal_restored(*console);
}

TEST_F(ConnectedConsole, KeyByKeyModeSendsEachKeyAtOnce) {
    SKIP_FOR_WINDOWS("the screen is wine's; keys: WindowsConsole.KeysInBothModes");
    start();
    server_says("Pick one", "~~~1");
    std::string expected;
    // Enter, Backspace, Ctrl+C (a key, not a signal), a lone Esc, a letter; an arrow key
    // between them sends nothing. The escape in the middle of a line is a key; doubled after
    // Enter, one is sent.
    for (std::string key : {"\r", "\x7f", "\x03", "\x1b", "\x1b[Bx", "~", "\r", "~~"}) {
        console->type(key);
        expected += key == "\x7f" ? "\b" : key == "\x1b[Bx" ? "x" : key == "~~" ? "~" : key;
        ASSERT_TRUE(server.wait_for_received(expected.size(), WAIT_MS)) << expected.size();
    }
    pause_ms(200);
    EXPECT_EQ(server.received(), expected);
    EXPECT_FALSE(console->exited());
    // After Enter, the escape and '.' end the console with the terminal as found.
    console->type("\r~.");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 0);
    EXPECT_EQ(server.received(), expected + "\r");
    expect_terminal_restored(*console);
}

TEST_F(ConnectedConsole, ModeChangesInTheMiddleOfALine) {
    SKIP_FOR_WINDOWS("the screen is wine's; keys: WindowsConsole.KeysInBothModes");
    start();
    console->type("AB");
    ASSERT_NE(console->wait_for_screen("AB", WAIT_MS), std::string::npos);
    server_says("Keys", "~~~1");
    // The next key goes alone and the half line is dropped.
    console->type("X");
    ASSERT_TRUE(server.wait_for_received(1, WAIT_MS));
    server_says("Lines", "~~~2");
    console->type("CD\r");
    ASSERT_TRUE(server.wait_for_received(3, WAIT_MS));
    pause_ms(200);
    EXPECT_EQ(server.received(), "XCD");
    end_session();
}

TEST_F(ConnectedConsole, TitleGoesToTheTerminalOnlyAndCannotCarrySequences) {
    SKIP_FOR_WINDOWS(
        "the title is the console's own on Windows: WindowsConsole.TitleSetAndRestored");
    TempDir out_dir;
    std::string out_file = out_dir.path() + "/out.txt";
    pty::TerminalOptions options;
    options.stdout_file = out_file;
    start(options);
    ASSERT_TRUE(server.send_bytes("Hello~~~56~Orders"));
    EXPECT_NE(console->wait_for_screen("\033]2;Orders\007", WAIT_MS), std::string::npos);
    // A title with an escape, a bell and a C1 control in it arrives without them.
    ASSERT_TRUE(
        server.send_bytes("~~~51~A\033]0;x\007B\x9b"
                          "2J"));
    EXPECT_NE(console->wait_for_screen("\033]2;A?]0;x?B?2J\007", WAIT_MS), std::string::npos);
    console->type("hi\r");
    ASSERT_TRUE(server.wait_for_received(2, WAIT_MS));
    end_session();

    std::string output = out_dir.read_file("out.txt");
    EXPECT_NE(output.find("Hello"), std::string::npos);
    EXPECT_NE(output.find("hi\r\n"), std::string::npos);
    EXPECT_EQ(output.find('\033'), std::string::npos) << output;
    // The start-up title went to the terminal, and none of the server's text did.
    std::string screen = console->screen();
    EXPECT_NE(screen.find(std::string("\033]2;") + CAPTION + "\007"), std::string::npos);
    EXPECT_EQ(screen.find("Hello"), std::string::npos);
}

// Job control. A stop sent from outside puts the terminal back first (mode and title); here
// the system discards the stop itself (the console's process group has no parent in its
// session), so the console sets its terminal up again at once. A stop it cannot see (SIGSTOP),
// during which a shell sets its own mode: once continued, the console sets its key mode again,
// and Enter, echo and Ctrl+C are its own once more.
TEST_F(ConnectedConsole, StopAndContinueSetTheTerminalUpAgain) {
    start();
    std::size_t mark = console->screen().size();
    console->send_signal(SIGTSTP);
    std::size_t pop = console->wait_for_screen(TITLE_POP, WAIT_MS, mark);
    ASSERT_NE(pop, std::string::npos);
    std::size_t push = console->wait_for_screen(TITLE_PUSH, WAIT_MS, pop);
    ASSERT_NE(push, std::string::npos);
    EXPECT_NE(console->wait_for_screen(std::string("\033]2;") + CAPTION + "\007", WAIT_MS, push),
              std::string::npos);

    console->send_signal(SIGSTOP);
    pause_ms(200);
    ASSERT_TRUE(console->set_settings(console->settings_at_start()));
    console->send_signal(SIGCONT);
    ASSERT_TRUE(console->wait_for_key_mode(WAIT_MS));
    console->type("abc\x03\r");
    ASSERT_TRUE(server.wait_for_received(4, WAIT_MS));
    pause_ms(200);
    EXPECT_EQ(server.received(), "abc\x03");
    EXPECT_FALSE(console->exited());
    end_session();
}

// Job control at speed, as a shell's foreground job: bursts of stops and continues, each burst
// ended by a stop. However the signals fall, the stopped console
// has put the terminal back as it found it, and once continued it sets its key mode again
// (after the shell had the terminal) and goes on reading the server.
TEST_F(ConnectedConsole, BurstsOfStopsAndContinuesEndAsTheLastOne) {
    SKIP_FOR_WINDOWS("POSIX job control");
    pty::TerminalOptions options;
    options.shell_job = true;
    start(options);
    const termios found = console->settings_at_start();
    constexpr int BURSTS = 100;
    constexpr int PAIRS = 20;
    // A pause of a few microseconds between signals lands them inside the console's own steps
    // of a stop or a continue; a fixed seed, so a run can be repeated.
    std::minstd_rand random(22);
    std::uniform_int_distribution<int> spread(0, 80);
    int left_wrong = 0;   // stopped with the terminal not as it was found
    int not_running = 0;  // continued, but not reading the server in its own mode
    for (int burst = 0; burst < BURSTS; ++burst) {
        for (int pair = 0; pair < PAIRS; ++pair) {
            console->send_signal(SIGTSTP);
            std::this_thread::sleep_for(std::chrono::microseconds(spread(random)));
            console->send_signal(SIGCONT);
            std::this_thread::sleep_for(std::chrono::microseconds(spread(random)));
        }
        console->send_signal(SIGTSTP);
        bool stopped = console->wait_stopped(true, WAIT_MS);
        if (!stopped || pty::settings_text(console->settings_now()) != pty::settings_text(found))
            ++left_wrong;
        ASSERT_TRUE(console->set_settings(found));
        console->send_signal(SIGCONT);
        std::string text = "after burst " + std::to_string(burst);
        std::size_t mark = console->screen().size();
        ASSERT_TRUE(server.send_bytes(text + "\r\n"));
        if (console->wait_for_screen(text, WAIT_MS, mark) == std::string::npos ||
            !console->wait_for_key_mode(WAIT_MS)) {
            ++not_running;
            console->send_signal(SIGCONT);  // for the next burst
            ASSERT_NE(console->wait_for_screen(text, WAIT_MS, mark), std::string::npos);
        }
    }
    EXPECT_EQ(left_wrong, 0) << "of " << BURSTS << " bursts";
    EXPECT_EQ(not_running, 0) << "of " << BURSTS << " bursts";
    console->type("typed\r");
    ASSERT_TRUE(server.wait_for_received(5, WAIT_MS));
    EXPECT_EQ(server.received(), "typed");
    end_session();
}

// A missing address file: the notice says so, Retry brings it back in its place a second later,
// keys typed meanwhile answer it rather than reaching the line, and it goes away by itself when
// the console connects.
TEST(NoticeTest, MissingAddressFileRetryThenConnect) {
    SKIP_FOR_WINDOWS("notices are message boxes on Windows: WindowsNotice");
    TempDir dir;
    ScriptedServer server;
    TerminalConsole console({"-p" + dir.path()});
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    std::size_t first = console.wait_for_screen("Unable to connect", WAIT_MS);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(console.wait_for_screen(RETRY_BUTTONS, WAIT_MS, first), std::string::npos);
    std::string screen = console.screen();
    EXPECT_NE(screen.rfind(CAPTION, first), std::string::npos);

    console.type("zz");  // no answer: nothing happens
    console.type("r");
    std::size_t erased = console.wait_for_screen(NOTICE_ERASE, WAIT_MS, first);
    ASSERT_NE(erased, std::string::npos);
    std::size_t second = console.wait_for_screen("Unable to connect", WAIT_MS, erased);
    ASSERT_NE(second, std::string::npos);
    // Drawn again over the same lines: room is made below the cursor (Index) and the cursor
    // goes back up before anything is drawn, so the screen never scrolls a second copy in.
    std::string redraw = console.screen().substr(erased + std::string(NOTICE_ERASE).size());
    EXPECT_EQ(redraw.rfind("\033D", 0), 0u) << redraw;

    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    EXPECT_NE(console.wait_for_screen(NOTICE_ERASE, WAIT_MS, second), std::string::npos);
    console.type("ok\r");
    ASSERT_TRUE(server.wait_for_received(2, WAIT_MS));
    pause_ms(200);
    EXPECT_EQ(server.received(), "ok");  // the keys that went to the notice were not sent
    EXPECT_EQ(console.screen().find("zz"), std::string::npos);  // nor echoed
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
    expect_terminal_restored(console);
}

// A session lost at the server's prompt: "Lost connection"; the address file gone, the notice
// follows with no key pressed. Every Cancel key ends the console, and the shell's prompt then
// starts on a line of its own.
class CancelTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CancelTest, NoticeFollowsAndCancelEndsOnACleanLine) {
    SKIP_FOR_WINDOWS("notices are message boxes on Windows: WindowsNotice");
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    TerminalConsole console({"-p" + dir.path()});
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.send_bytes("Prompt> "));
    ASSERT_NE(console.wait_for_screen("Prompt> ", WAIT_MS), std::string::npos);
    server.stop_listening();
    server.close_connection();
    std::size_t notice = console.wait_for_screen("Lost connection", WAIT_MS);
    ASSERT_NE(notice, std::string::npos);
    dir.remove_file(ADDRESS_FILE_NAME);
    std::size_t followed = console.wait_for_screen("Unable to connect", WAIT_MS, notice);
    ASSERT_NE(followed, std::string::npos);
    ASSERT_NE(console.wait_for_screen("\0338", WAIT_MS, followed), std::string::npos);
    console.type(GetParam());
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
    std::string screen = console.screen();
    std::size_t erased = screen.rfind(NOTICE_ERASE);
    ASSERT_NE(erased, std::string::npos);
    EXPECT_GT(erased, followed);
    EXPECT_EQ(screen.substr(erased + std::string(NOTICE_ERASE).size()),
              std::string("\r\r\n") + TITLE_POP);
    expect_terminal_restored(console);
}

INSTANTIATE_TEST_SUITE_P(Keys, CancelTest, ::testing::Values("c", "\x1b", "\x03"));

// Signals sent from outside end the console with the signal, and the terminal is put back.
class SignalTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalTest, SignalFromOutsideRestoresTheTerminal) {
    SKIP_FOR_WINDOWS(
        "POSIX signals; console events: WindowsConsole.ControlEventLeavesTheConsoleAsFound");
    if (GetParam() == SIGQUIT) {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);  // inherited: no core file from the console
    }
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    TerminalConsole console({"-p" + dir.path()});
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.send_bytes("Ready~~~1"));
    ASSERT_NE(console.wait_for_screen("Ready", WAIT_MS), std::string::npos);
    EXPECT_NE(pty::settings_text(console.settings_now()),
              pty::settings_text(console.settings_at_start()));
    console.send_signal(GetParam());
    ASSERT_TRUE(console.wait_exit(WAIT_MS)) << console.stderr_text();
    EXPECT_EQ(console.term_signal(), GetParam()) << console.stderr_text();
    expect_terminal_restored(console);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGQUIT));

TEST(WaysOutTest, UnusableDirectoryLeavesTheTerminalAsItWas) {
    TempDir dir;
    TerminalConsole console({"-p" + dir.path() + "/missing"});
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 1);
    EXPECT_NE(console.screen().find("Unable to access directory"), std::string::npos);
    expect_terminal_restored(console);
}

// The version is all that reaches the terminal: no banner, no title, no change of settings.
TEST(WaysOutTest, VersionWritesItsLineAndNothingElse) {
    SKIP_FOR_WINDOWS("the screen is wine's");
    TerminalConsole console({"--version"});
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
    std::string line = "veldrin " VELDRIN_VERSION "\n";
    line.insert(line.size() - 1, "\r");
    EXPECT_EQ(console.screen(), line);
    EXPECT_EQ(pty::settings_text(console.settings_now()),
              pty::settings_text(console.settings_at_start()));
}

// A terminal that takes no escape sequences (TERM dumb, empty or unset): no title, the notice
// as a line answered by its keys, and the keys still read one by one from the terminal.
class PlainTerminalTest : public ::testing::TestWithParam<const char*> {};

TEST_P(PlainTerminalTest, TextOnlyAndKeysStillRead) {
    SKIP_FOR_WINDOWS("a Windows console has no TERM");
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    pty::TerminalOptions options;
    options.extra_environment = {GetParam()};
    TerminalConsole console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.send_bytes("Keys~~~1~~~56~Orders"));
    ASSERT_NE(console.wait_for_screen("Keys", WAIT_MS), std::string::npos);
    pause_ms(CONTROL_SETTLE_MS);
    console.type("k");
    ASSERT_TRUE(server.wait_for_received(1, WAIT_MS));
    server.stop_listening();
    server.close_connection();
    // The line begins on a line of its own (the terminal turns LF into CR LF).
    std::string line = std::string(CAPTION) + ": Lost connection   " + RETRY_BUTTONS + "\r\r\n";
    ASSERT_NE(console.wait_for_screen("Keysk\r\r\n" + line, WAIT_MS), std::string::npos);
    console.type("c");
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
    EXPECT_EQ(console.screen().find('\033'), std::string::npos) << console.screen();
    EXPECT_EQ(pty::settings_text(console.settings_now()),
              pty::settings_text(console.settings_at_start()));
}

INSTANTIATE_TEST_SUITE_P(Terms, PlainTerminalTest, ::testing::Values("TERM=dumb", "TERM=", "TERM"));

// An escape setting the console cannot use ends it at start-up, before it writes anything.
TEST(WaysOutTest, UnknownEscapeIsAnErrorAtStartUp) {
    pty::TerminalOptions options;
    options.extra_environment = {"VELDRIN_ESCAPE=~~"};
    TerminalConsole console({}, options);
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 1);
    EXPECT_EQ(console.stderr_text().rfind("Unknown escape character ~~: ", 0), 0u);
    EXPECT_EQ(console.screen(), "");
}

// With no terminal at all, keys come from the input as they are, lines end at LF, and the
// console goes on after the input ends.
TEST(NoTerminalTest, KeysFromAPipeAndTheSessionOutlivesTheInput) {
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ProcessOptions options;
    options.input = InputMode::PIPE;
    ConsoleProcess console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_stdout(BANNER, WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    // Shown once the session runs: keys sent before the console knows it is connected are lost.
    ASSERT_TRUE(server.send_bytes("Ready\n"));
    ASSERT_TRUE(console.wait_for_stdout("Ready\n", WAIT_MS));
    console.write_input("AB\nC\r\n\nD\b\bE\n");
    ASSERT_TRUE(server.wait_for_received(4, WAIT_MS));
    console.close_input();
    pause_ms(1000);
    EXPECT_FALSE(console.exited());
    EXPECT_EQ(server.received(), "ABCE");
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
    EXPECT_EQ(console.stdout_text().find('\033'), std::string::npos);
}

// The number of read calls the process has made, from /proc/PID/io; -1 when unknown.
long read_calls(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string name;
    long value = 0;
    while (io >> name >> value) {
        if (name == "syscr:") return value;
    }
    return -1;
}

// Keys from a pipe are taken in blocks, not one read call per key, and reach the server as
// they would have one by one: each line whole, without its LF.
TEST(NoTerminalTest, KeysFromAPipeAreReadInBlocks) {
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ProcessOptions options;
    options.input = InputMode::PIPE;
    ConsoleProcess console({"-p" + dir.path()}, options);
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.send_bytes("Ready\n"));
    ASSERT_TRUE(console.wait_for_stdout("Ready\n", WAIT_MS));
    const std::string line(63, 'k');
    const int lines = 1024;
    long before = read_calls(console.pid());
    ASSERT_GE(before, 0);
    std::string keys;
    for (int i = 0; i < lines; ++i) keys += line + "\n";
    ASSERT_TRUE(console.write_input(keys));
    ASSERT_TRUE(server.wait_for_received(line.size() * lines, WAIT_MS));
    long reads = read_calls(console.pid()) - before;
    EXPECT_LT(reads, static_cast<long>(keys.size() / 16))
        << reads << " reads for " << keys.size() << " keys";
    EXPECT_EQ(server.received(), std::string(line.size() * lines, 'k'));
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
}

TEST(NoTerminalTest, NoticesGoToStandardErrorOnceEach) {
    TempDir dir;
    ScriptedServer server;
    ProcessOptions options;
    options.input = InputMode::PIPE;
    ConsoleProcess console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_stderr("Unable to connect", WAIT_MS));
    pause_ms(2500);  // the notice comes back every second or so: it is not written again
    EXPECT_EQ(pty::count_of(console.stderr_text(), "Unable to connect"), 1u);
    EXPECT_EQ(console.stdout_text().find("Unable to connect"), std::string::npos);
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0);
}

}  // namespace
