// The interactive console on Windows, end to end against veldrin.exe under wine: keys at the
// console, notices answered on a display of the test's own, programs started and ended, and the
// console's input mode and title as the console found them on every way out.
//
// Under wine the console at a pseudo-terminal is wine's, which draws the screen itself, so these
// tests watch what reaches the server and what Windows programs on the same console report
// (test-helpers/console_probe.exe, launched by the server; exit_code_probe.exe as the parent
// whose console veldrin shares) rather than the terminal's bytes.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
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
using pty::TerminalConsole;

// Generous: a console under wine takes seconds to start on a loaded machine.
constexpr int WAIT_MS = 30000;
// Wine draws the server's text itself: a control is taken to be carried out this long after it
// was sent.
constexpr int CONTROL_SETTLE_MS = 700;
constexpr const char* CAPTION = "Kestrane Database Manager Console";

constexpr std::uint32_t REMEMBER = 0x80000000u;
constexpr std::uint32_t DETACHED = 0x08u;
constexpr std::uint32_t NEW_CONSOLE = 0x10u;

#define SKIP_UNLESS_WINDOWS()                                                \
    do {                                                                     \
        if (!harness::console_is_windows())                                  \
            GTEST_SKIP() << "for a Windows console (VELDRIN_CONSOLE=*.exe)"; \
    } while (0)

// Control 3's argument, "L~F~T~command|title".
std::string launch(const std::string& command, std::uint32_t flags, const std::string& title = "") {
    char head[64];
    std::snprintf(head, sizeof head, "%zu~%x~%zu~", command.size(), flags, title.size());
    return "~~~3" + std::string(head) + command + "|" + title;
}

// console_probe.exe's command line: it reports to REPORT in the console's directory.
std::string probe(const std::string& report, const std::string& action,
                  const std::string& more = "") {
    return windows_path(harness::windows_helper("console_probe")) + " " + report + " " + action +
           (more.empty() ? "" : " " + more);
}

// The probe's "name=value" lines, once the report is there.
std::map<std::string, std::string> read_report(const TempDir& dir, const std::string& name) {
    std::map<std::string, std::string> values;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (!dir.file_exists(name) && std::chrono::steady_clock::now() < deadline) pause_ms(50);
    std::ifstream file(dir.path() + "/" + name);
    for (std::string line; std::getline(file, line);) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

// What exit_code_probe.exe, the parent, saw of the console: "mode M title T" before the console
// ran and after it ended.
struct ParentView {
    std::string before;
    std::string after;
    std::string exit_code;
};

ParentView parent_view(const std::string& report) {
    auto line_after = [&report](const std::string& head) {
        std::size_t at = report.find(head);
        if (at == std::string::npos) return std::string("<none>");
        at += head.size();
        return report.substr(at, report.find_first_of("\r\n", at) - at);
    };
    return {line_after("before "), line_after("after "), line_after("exit code ")};
}

void expect_console_as_found(const TerminalConsole& console) {
    ParentView view = parent_view(console.stderr_text());
    EXPECT_NE(view.before, "<none>") << console.stderr_text();
    EXPECT_EQ(view.after, view.before) << console.stderr_text();
}

// An X display of the test's own, so that notices of tests run side by side never mix.
class PrivateDisplay {
  public:
    PrivateDisplay() {
        if (!harness::console_is_windows()) return;
        // The server picks a free display itself and writes its number once it is ready.
        ProcessOptions options;
        options.program = "Xvfb";
        server_ = std::make_unique<ConsoleProcess>(
            std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                     "1024x768x24"},
            options);
        if (server_->wait_for_stdout("\n", WAIT_MS)) {
            std::string number = server_->stdout_text();
            name_ = ":" + number.substr(0, number.find('\n'));
        }
    }
    ~PrivateDisplay() {
        // Ended as a user would end it, so that it takes its socket and lock file away.
        if (!server_) return;
        server_->send_signal(SIGTERM);
        server_->wait_exit(WAIT_MS);
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    std::string environment() const { return "DISPLAY=" + name_; }

    // Runs xdotool on this display; true when it succeeded.
    bool xdotool(const std::vector<std::string>& args, std::string* output = nullptr) const {
        ProcessOptions options;
        options.program = "xdotool";
        options.extra_environment = {environment()};
        ConsoleProcess tool(args, options);
        if (!tool.wait_exit(WAIT_MS)) return false;
        if (output) *output = tool.stdout_text();
        return tool.exit_status() == 0;
    }
    // Waits until a window with this title is shown (or, with shown false, until none is).
    bool wait_for_window(const std::string& title, bool shown = true,
                         int within_ms = WAIT_MS) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
        do {
            std::string found;
            bool any = xdotool({"search", "--name", title}, &found) && !found.empty();
            if (any == shown) return true;
            pause_ms(200);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Answers the notice (retry or cancel) by pressing its button, and waits until that box has
    // gone: test-helpers/notice_answer.exe, on this display.
    bool answer(const std::string& button) const {
        std::vector<std::string> words = harness::console_launcher();
        words.push_back(harness::windows_helper("notice_answer"));
        words.push_back(CAPTION);
        words.push_back(button);
        ProcessOptions options;
        options.program = words.front();
        words.erase(words.begin());
        options.extra_environment = {environment()};
        ConsoleProcess helper(words, options);
        // Its own waits are 30 s each; a wine program's start comes on top.
        if (!helper.wait_exit(3 * WAIT_MS)) return false;
        EXPECT_EQ(helper.exit_status(), 0) << helper.stderr_text();
        return helper.exit_status() == 0;
    }

  private:
    std::string name_;
    std::unique_ptr<ConsoleProcess> server_;
};

// A console at a terminal under its Windows parent, connected to a scripted server.
class WindowsConsole : public ::testing::Test {
  protected:
    void SetUp() override { SKIP_UNLESS_WINDOWS(); }
    void start(std::vector<std::string> args = {}, std::vector<std::string> environment = {}) {
        dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
        pty::TerminalOptions options;
        options.windows_parent = true;
        options.working_directory = dir.path();
        options.extra_environment = std::move(environment);
        options.extra_environment.push_back(display.environment());
        console = std::make_unique<TerminalConsole>(args, options);
        ASSERT_TRUE(server.accept_connection(WAIT_MS)) << console->stderr_text();
    }
    void server_says(const std::string& text) {
        ASSERT_TRUE(server.send_bytes(text));
        pause_ms(CONTROL_SETTLE_MS);
    }
    void type_and_expect(const std::string& keys, const std::string& sent) {
        std::size_t before = server.received().size();
        console->type(keys);
        ASSERT_TRUE(server.wait_for_received(before + sent.size(), WAIT_MS)) << server.received();
        pause_ms(200);
        EXPECT_EQ(server.received().substr(before), sent);
    }
    void end_session() {
        ASSERT_TRUE(server.send_bytes("~~~0"));
        ASSERT_TRUE(console->wait_exit(WAIT_MS));
        EXPECT_EQ(console->exit_status(), 0) << console->stderr_text();
        expect_console_as_found(*console);
    }

    TempDir dir;
    ScriptedServer server;
    PrivateDisplay display;
    std::unique_ptr<TerminalConsole> console;
};

// Lines and single keys as typed, the mode switched in the middle of a line, the escape, and
// the keys a terminal under wine cannot deliver (Ctrl+C, a lone Esc) typed on the console by a
// program sharing it: in the console's input mode 0 Ctrl+C is the key 3, not an event.
TEST_F(WindowsConsole, KeysInBothModes) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Backspace erases; Enter on an empty line, arrows and function keys send nothing.
    type_and_expect(
        "AB\x7f"
        "C\r",
        "AC");
    // The escape first on a line, doubled, sends one; in the middle of a line it is a key.
    type_and_expect("\r~~Q\x1b[A\x1bOP\x1b[15~R~\r", "~QR~");
    server_says("Keys~~~1");
    type_and_expect("x", "x");
    type_and_expect("\r", "\r");
    type_and_expect("\x7f", "\b");
    server_says("Lines~~~2");
    console->type("AB");
    pause_ms(300);
    server_says("Keys~~~1");
    type_and_expect("y", "y");  // the half line is dropped
    std::size_t before = server.received().size();
    server_says("Probe" + launch(probe("keys.txt", "keys"), 0));
    auto report = read_report(dir, "keys.txt");
    ASSERT_TRUE(server.wait_for_received(before + 3, WAIT_MS)) << server.received();
    EXPECT_EQ(server.received().substr(before), "\x03\x1bz");
    EXPECT_EQ(report["console"], "yes");
    EXPECT_EQ(report["console_mode"], "0");
    EXPECT_EQ(report["title"], CAPTION);
    EXPECT_FALSE(console->exited());
    // After Enter, the escape doubled sends one; after Enter again, the escape and '.' end the
    // console as it found it.
    type_and_expect("\r~~", "\r~");
    console->type("\r~.");
    ASSERT_TRUE(console->wait_exit(WAIT_MS)) << server.received();
    EXPECT_EQ(parent_view(console->stderr_text()).exit_code, "0") << console->stderr_text();
    expect_console_as_found(*console);
    EXPECT_EQ(server.received().substr(server.received().size() - 3), "\r~\r");
}

// The title the server sets, its controls made harmless and its letters in the code page kept
// (0x82 is a letter in 437 and 1252), and the one saved at the start of the session put back.
TEST_F(WindowsConsole, TitleSetAndRestored) {
    ASSERT_NO_FATAL_FAILURE(start());
    server_says(
        "A~~~5"
        "11~Caf\x82\x1b]2;X\x07\x7f");
    server_says("B" + launch(probe("set.txt", "exit"), 0));
    EXPECT_EQ(read_report(dir, "set.txt")["title"], "Caf\x82?]2;X??");
    server_says("C~~~5");
    server_says("D" + launch(probe("restored.txt", "exit"), 0));
    EXPECT_EQ(read_report(dir, "restored.txt")["title"], CAPTION);
    end_session();
}

// The server's code page on a console at another: its text shown and its title set through
// UTF-16, typed characters sent as their byte in it, and nothing converted twice on a console
// at the server's own. Wine's console shows on the terminal what it holds, in UTF-8.
TEST(WindowsCodePage, ShownTypedAndTitledOnAnyConsole) {
    SKIP_UNLESS_WINDOWS();
    struct Case {
        const char* console;  // the parent's chcp, or null for wine's own (437)
        const char* setting;  // VELDRIN_CODEPAGE, or null
        std::string text;
        std::string shown;
        std::string typed;  // "Müller" on the wire
        std::string title;  // "Müller" as a program on the console reads it, in its code page
    };
    const std::string frame = "\xC9\xCD\xCD\xBB M\x81ller \x9B";
    const Case cases[] = {
        {"65001", nullptr, frame, "╔══╗ Müller ¢", "M\x81ller", "Müller"},
        {"65001", "1252", "caf\xE9 \x80", "café €", "M\xFCller", "Müller"},
        {nullptr, nullptr, frame, "╔══╗ Müller ¢", "M\x81ller", "M\x81ller"},
        {"850", nullptr, frame, "╔══╗ Müller ¢", "M\x81ller", "M\x81ller"},  // 0x9B: ø in 850
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.console ? c.console : "437") + " " +
                     (c.setting ? c.setting : "(default)"));
        struct Run : WindowsConsole {
            void TestBody() override {}
            using WindowsConsole::console, WindowsConsole::dir, WindowsConsole::end_session,
                WindowsConsole::server_says, WindowsConsole::start, WindowsConsole::type_and_expect;
        } run;
        std::vector<std::string> environment = {"LC_ALL=C.UTF-8"};  // the terminal's, for wine
        if (c.console) environment.push_back(std::string("PROBE_CODE_PAGE=") + c.console);
        if (c.setting) environment.push_back(std::string("VELDRIN_CODEPAGE=") + c.setting);
        ASSERT_NO_FATAL_FAILURE(run.start({}, environment));
        run.server_says("[" + c.text + "]");
        EXPECT_NE(run.console->wait_for_screen("[" + c.shown + "]", WAIT_MS), std::string::npos)
            << run.console->screen();
        run.type_and_expect("Müller\r", c.typed);
        run.server_says("~~~56~" + c.typed);
        // The program's command line too, as it reads it in wine's ANSI code page (1252); on a
        // console at the server's code page it gets the server's bytes.
        run.server_says(launch(probe("title.txt", "exit", c.typed), 0));
        auto report = read_report(run.dir, "title.txt");
        EXPECT_EQ(report["title"], c.title);
        std::string line = report["command_line"];
        EXPECT_EQ(line.substr(line.rfind(' ') + 1), c.console ? "M\xFCller" : c.typed);
        run.end_session();
    }
}

// The command line reaches the program whole, and the flags take effect.
TEST_F(WindowsConsole, ProgramsGetTheirCommandLineWholeAndTheirFlags) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::string command = probe("shared.txt", "exit", "\"two  words\" 'single' a\\b");
    server_says("A" + launch(command, 0, "not the title"));
    auto shared = read_report(dir, "shared.txt");
    EXPECT_EQ(shared["command_line"], command);
    EXPECT_EQ(shared["console"], "yes");
    EXPECT_EQ(shared["title"], CAPTION);  // a shared console keeps its title
    server_says("B" + launch(probe("detached.txt", "exit"), DETACHED));
    EXPECT_EQ(read_report(dir, "detached.txt")["console"], "no");
    server_says("C" + launch(probe("new.txt", "exit"), NEW_CONSOLE, "Notes"));
    auto new_console = read_report(dir, "new.txt");
    EXPECT_EQ(new_console["console"], "yes");
    EXPECT_EQ(new_console["title"], "Notes");
    end_session();
}

// Control 4 ends the remembered program through the handle kept for it, and nothing else; a
// second control 4 does nothing more.
TEST_F(WindowsConsole, RememberedProgramIsEndedAndNothingElse) {
    ASSERT_NO_FATAL_FAILURE(start());
    server_says("A" + launch(probe("first.txt", "sleep"), REMEMBER | DETACHED));
    server_says("B" + launch(probe("second.txt", "sleep"), REMEMBER | DETACHED));
    server_says("C" + launch(probe("other.txt", "sleep"), DETACHED));
    std::string ids;
    std::vector<std::string> pids;
    for (const char* name : {"first.txt", "second.txt", "other.txt"}) {
        pids.push_back(read_report(dir, name)["pid"]);
        ASSERT_FALSE(pids.back().empty()) << name;
        ids += " " + pids.back();
    }
    server_says("D~~~4");
    server_says("E~~~4");
    // The census ends what is still running once it has looked.
    server_says("F" + launch(probe("census.txt", "census", ids), DETACHED));
    auto census = read_report(dir, "census.txt");
    EXPECT_EQ(census["process_" + pids[0]], "running");
    EXPECT_EQ(census["process_" + pids[1]], "ended");
    EXPECT_EQ(census["process_" + pids[2]], "running");
    end_session();
}

// Creation flags that mean nothing for a started program are left out: with
// EXTENDED_STARTUPINFO_PRESENT (0x80000) Windows would read past the start-up information given,
// and the console would crash. A flags word of all ones harms nothing either, and the console
// goes on taking keys. A detached program outlives the console (a program sharing the console
// would end with it under wine).
TEST_F(WindowsConsole, MeaninglessFlagsAreLeftOut) {
    ASSERT_NO_FATAL_FAILURE(start());
    server_says("A" + launch(probe("extended.txt", "sleep"), 0x80000u | DETACHED));
    std::string pid = read_report(dir, "extended.txt")["pid"];
    ASSERT_FALSE(pid.empty()) << console->stderr_text();
    server_says("B" + launch(probe("all.txt", "exit"), 0xFFFFFFFFu));
    type_and_expect("x\r", "x");
    end_session();
    std::vector<std::string> words = harness::console_launcher();
    for (const std::string& word : {harness::windows_helper("console_probe"),
                                    std::string("census.txt"), std::string("census"), pid})
        words.push_back(word);
    ProcessOptions options;
    options.program = words.front();
    words.erase(words.begin());
    options.working_directory = dir.path();
    ConsoleProcess census(words, options);
    EXPECT_EQ(read_report(dir, "census.txt")["process_" + pid], "running");
}

// A console control event ends the console through its control handler, which puts the input
// mode and title back. Wine can neither send Ctrl+Break to another process group nor close the
// window of a console at a terminal; what it can deliver is the Ctrl+C event it makes of the
// terminal's SIGINT (typed Ctrl+C, which wine's terminal leaves to the kernel), and the same
// handler takes it. The parent, like a shell, stays.
TEST_F(WindowsConsole, ControlEventLeavesTheConsoleAsFound) {
    ASSERT_NO_FATAL_FAILURE(start());
    server_says("Keys~~~56~Orders");
    console->type("\x03");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    ParentView view = parent_view(console->stderr_text());
    EXPECT_EQ(view.exit_code, "3221225786") << console->stderr_text();  // STATUS_CONTROL_C_EXIT
    expect_console_as_found(*console);
}

// A session lost with -C, and a -p directory that cannot be entered, end the console with the
// console's input mode and title as it found them.
TEST_F(WindowsConsole, QuietLossLeavesTheConsoleAsFound) {
    ASSERT_NO_FATAL_FAILURE(start({"-C"}));
    server_says("Keys~~~1");
    server.close_connection();
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(parent_view(console->stderr_text()).exit_code, "0");
    expect_console_as_found(*console);
}

TEST(WindowsWaysOut, UnusableDirectoryLeavesTheConsoleAsFound) {
    SKIP_UNLESS_WINDOWS();
    TempDir dir;
    pty::TerminalOptions options;
    options.windows_parent = true;
    TerminalConsole console({"-p" + dir.path() + "/missing"}, options);
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(parent_view(console.stderr_text()).exit_code, "1") << console.stderr_text();
    expect_console_as_found(console);
}

// A crash ends the console through its last-chance handler, which puts the input mode and title
// back and ends the process with the crash's code: crash_probe.exe is the Windows backend
// writing through a null pointer (0xC0000005) with the console in its own mode and title.
TEST(WindowsWaysOut, CrashLeavesTheConsoleAsFound) {
    SKIP_UNLESS_WINDOWS();
    pty::TerminalOptions options;
    options.windows_parent = true;
    options.windows_program = harness::windows_helper("crash_probe");
    TerminalConsole console({}, options);
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(parent_view(console.stderr_text()).exit_code, "3221225477") << console.stderr_text();
    expect_console_as_found(console);
}

// Notices are message boxes with the console's title as caption: Retry brings the box back,
// the box goes away by itself when the server answers (and a new one comes with the next
// outage), and Cancel ends the console as it found it.
TEST(WindowsNotice, RetryTakenAwayAndCancel) {
    SKIP_UNLESS_WINDOWS();
    TempDir dir;
    ScriptedServer server;
    PrivateDisplay display;
    pty::TerminalOptions options;
    options.windows_parent = true;
    options.working_directory = dir.path();
    options.extra_environment = {display.environment()};
    TerminalConsole console({}, options);
    ASSERT_TRUE(display.wait_for_window(CAPTION)) << console.stderr_text();
    ASSERT_TRUE(display.answer("retry"));           // gone
    ASSERT_TRUE(display.wait_for_window(CAPTION));  // back a second later

    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    EXPECT_TRUE(display.wait_for_window(CAPTION, false));
    console.type("ok\r");
    ASSERT_TRUE(server.wait_for_received(2, WAIT_MS));
    EXPECT_EQ(server.received(), "ok");

    server.stop_listening();
    server.close_connection();
    ASSERT_TRUE(display.wait_for_window(CAPTION));
    EXPECT_FALSE(console.exited());
    ASSERT_TRUE(display.answer("cancel"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(parent_view(console.stderr_text()).exit_code, "0") << console.stderr_text();
    expect_console_as_found(console);
}

// An icon file of one square 32-bit image, width pixels wide.
std::string icon_file(int width) {
    std::string bytes;
    auto put = [&bytes](unsigned value, int size) {
        for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    };
    unsigned mask_row = (static_cast<unsigned>(width) + 31) / 32 * 4;
    unsigned image = 40 + width * width * 4 + width * mask_row;
    put(0, 2), put(1, 2), put(1, 2);                                      // an icon, one image
    put(width, 1), put(width, 1), put(0, 2), put(1, 2), put(32, 2);       // its entry
    put(image, 4), put(22, 4);                                            // size and offset
    put(40, 4), put(width, 4), put(2 * width, 4), put(1, 2), put(32, 2);  // its bitmap header
    put(0, 4), put(0, 4), put(0, 4), put(0, 4), put(0, 4), put(0, 4);
    bytes.append(width * width * 4, '\x7f');  // the colours
    bytes.append(width * mask_row, '\0');     // all shown
    return bytes;
}

// A console with a window of its own (wine draws it on the test's display): the console finds
// its window and gives it an icon, here loaded from the first icon file in its start directory.
// Wine's console window keeps no icon (WM_GETICON answers none even in the window's own
// process), so what can be checked is that the console runs there as anywhere: title, session,
// exit code.
TEST(WindowsWindow, ConsoleWithAWindowOfItsOwn) {
    SKIP_UNLESS_WINDOWS();
    PrivateDisplay display;
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    dir.write_file("ZEPRA.ICO", "not an icon");
    dir.write_file("ZEPRADBM.ICO", icon_file(16));
    std::vector<std::string> words = harness::windows_parent_command({});
    words.insert(words.end() - 1, "--new-console");
    ProcessOptions options;
    options.program = words.front();
    words.erase(words.begin());
    options.working_directory = dir.path();
    options.extra_environment = {display.environment()};
    ConsoleProcess parent(words, options);
    ASSERT_TRUE(server.accept_connection(WAIT_MS)) << parent.stderr_text();
    ASSERT_TRUE(server.send_bytes(launch(probe("window.txt", "exit"), 0)));
    auto report = read_report(dir, "window.txt");
    EXPECT_EQ(report["window"], "yes");
    EXPECT_EQ(report["title"], CAPTION);
    ASSERT_TRUE(server.send_bytes("~~~65"));
    pause_ms(CONTROL_SETTLE_MS);  // each control in a receive of its own
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(parent.wait_exit(WAIT_MS));
    EXPECT_NE(parent.stderr_text().find("exit code 5"), std::string::npos) << parent.stderr_text();
}

}  // namespace
