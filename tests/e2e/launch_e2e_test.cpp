// Controls 3 and 4 end to end: the console, in interactive mode against a scripted server,
// starts the test suite's own probe program and ends the one it was asked to remember.
//
// Every control is sent after some display text in the same write ("step-3~~~3..."), and the
// test waits for that text on the console's output before it sends anything more: so each
// control arrives in a receive of its own, and once its text is shown the control has been
// carried out (the text is written before the control runs).
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_common.h"
#include "harness.h"

namespace {

using harness::ConsoleProcess;
using harness::ProcessOptions;
using harness::ScriptedServer;
using harness::TempDir;

const std::string PROBE = std::string(TEST_HELPER_DIR) + "/launch_probe";
const std::string FAKE_TERMINAL = std::string(TEST_HELPER_DIR) + "/fake_terminal";

constexpr std::uint32_t REMEMBER = 0x80000000u;
constexpr std::uint32_t DETACHED = 0x08u;
constexpr std::uint32_t NEW_CONSOLE = 0x10u;
constexpr const char* PROGRAMS = "VELDRIN_PROGRAMS";

// "L~F~T~command|title"
std::string launch_argument(const std::string& command, std::uint32_t flags,
                            const std::string& title = "") {
    char head[64];
    std::snprintf(head, sizeof head, "%zu~%x~%zu~", command.size(), flags, title.size());
    return head + command + "|" + title;
}

// What a probe wrote about itself.
struct Report {
    std::map<std::string, std::string> values;
    std::vector<std::string> arguments;  // argv[1] onwards

    std::string operator[](const std::string& name) const {
        auto found = values.find(name);
        return found == values.end() ? "<missing>" : found->second;
    }
    pid_t pid() const { return static_cast<pid_t>(std::stol(values.at("pid"))); }
};

bool read_report(const std::string& path, Report* report, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::ifstream file(path);
        if (file) {
            std::string line;
            while (std::getline(file, line)) {
                auto equals = line.find('=');
                if (equals == std::string::npos) continue;
                std::string name = line.substr(0, equals);
                std::string value = line.substr(equals + 1);
                report->values[name] = value;
                if (name.rfind("arg", 0) == 0 && name != "argc") report->arguments.push_back(value);
            }
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A process descriptor the test holds for a probe (never a bare id that could be reused).
class Watched {
  public:
    explicit Watched(pid_t pid) : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~Watched() {
        if (fd_ >= 0) {
            syscall(SYS_pidfd_send_signal, fd_, SIGKILL, nullptr, 0);
            close(fd_);
        }
    }
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;

    bool valid() const { return fd_ >= 0; }
    // True once the process has ended, waiting up to timeout_ms.
    bool ended(int timeout_ms) const {
        pollfd entry{fd_, POLLIN, 0};
        return poll(&entry, 1, timeout_ms) == 1;
    }

  private:
    int fd_;
};

class LaunchSession : public ::testing::Test {
  protected:
    void SetUp() override { SKIP_FOR_WINDOWS("POSIX programs; Windows programs: WindowsConsole"); }
    // Starts the console in interactive mode (standard input /dev/null) with the environment
    // overrides ("NAME=value", or "-u NAME"'s NAME after a "-u"), and takes its connection.
    // wrapper: words that run the rest (a private mount namespace); console: the console's path
    // when not the one under test (a copy beside a file of its own).
    void start(std::vector<std::string> environment = {},
               harness::InputMode input = harness::InputMode::NONE,
               std::vector<std::string> wrapper = {}, const std::string& console_copy = "",
               bool errors_to_terminal = false) {
        dir.write_file(harness::ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
        // No test may open a real terminal window: the graphical session is hidden unless a
        // test sets one up with the stand-in emulator. (A Windows console under wine draws on
        // no terminal window and keeps the display it is given.)
        std::vector<std::string> args;
        if (!harness::console_is_windows()) {
            args = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "VELDRIN_TERMINAL"};
        }
        args.insert(args.end(), environment.begin(), environment.end());
        std::vector<std::string> command = harness::console_command({"-p" + dir.path()});
        if (!console_copy.empty()) command[command.size() - 2] = console_copy;
        args.insert(args.end(), command.begin(), command.end());
        // The console is started with SIGPIPE ignored and a descriptor open that is not
        // close-on-exec (descriptor 7), neither of which its programs may inherit.
        args.insert(args.begin(), {"/bin/sh", "-c",
                                   std::string("trap '' PIPE; exec 7</dev/null; ") +
                                       (errors_to_terminal ? "exec 2>&1; " : "") + "exec \"$@\"",
                                   "sh", "/usr/bin/env"});
        args.insert(args.begin(), wrapper.begin(), wrapper.end());
        ProcessOptions options;
        options.program = args.front();
        args.erase(args.begin());
        options.input = input;
        console = std::make_unique<ConsoleProcess>(args, options);
        ASSERT_TRUE(console->started());
        ASSERT_TRUE(server.accept_connection(15000));
    }

    // Sends text and a control in one write and waits until the text is shown.
    void send_control(const std::string& control) {
        std::string text = "step-" + std::to_string(++steps) + ".";
        ASSERT_TRUE(server.send_bytes(text + control));
        ASSERT_TRUE(console->wait_for_stdout(text, 10000)) << console->stdout_text();
    }
    void launch(const std::string& argument) { send_control("~~~3" + argument); }
    void end_remembered() { send_control("~~~4"); }

    // The probe's command text: it reports to report_name in the test's directory.
    // The probe's command text: it reports to report_name in the test's directory, whose name
    // holds a space (so the words are quoted).
    std::string probe(const std::string& report_name, const std::string& action,
                      const std::string& more = "") {
        return PROBE + " '" + path(report_name) + "' '" + action + "'" +
               (more.empty() ? "" : " " + more);
    }
    std::string path(const std::string& name) const { return dir.path() + "/" + name; }

    // Launches a sleeping probe and takes hold of it.
    std::unique_ptr<Watched> launch_sleeper(const std::string& report_name, std::uint32_t flags,
                                            Report* report, const std::string& action = "sleep") {
        launch(launch_argument(probe(report_name, action), flags));
        if (!read_report(path(report_name), report, 10000)) return nullptr;
        return std::make_unique<Watched>(report->pid());
    }

    // The session goes on: more text is shown, and the session ends normally on control 0.
    void expect_session_goes_on_and_ends() {
        send_control("");
        ASSERT_TRUE(server.send_bytes("~~~0"));
        ASSERT_TRUE(console->wait_exit(15000));
        EXPECT_EQ(console->exit_status(), 0);
    }

    pid_t console_pid() const { return console->pid(); }

    TempDir dir{"veldrin launch"};
    ScriptedServer server;
    std::unique_ptr<ConsoleProcess> console;
    int steps = 0;
};

TEST_F(LaunchSession, ProgramGetsItsWordsOnTheConsolesTerminalInAGroupOfItsOwn) {
    start();
    // The command is cut at L characters: what follows the separator is the title, not words.
    launch(launch_argument(
        probe("report", "exit", "'two words' \"double \\\"quoted\\\"\" a\\ b $HOME"), 0,
        "not an argument"));
    Report report;
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(report.arguments, (std::vector<std::string>{path("report"), "exit", "two words",
                                                          "double \"quoted\"", "a b", "$HOME"}));
    EXPECT_EQ(report["pgid"], report["pid"]);
    EXPECT_NE(report["pgid"], std::to_string(getpgid(console_pid())));
    EXPECT_EQ(report["sid"], std::to_string(getsid(console_pid())));
    EXPECT_EQ(report["ppid"], std::to_string(console_pid()));
    // It shares the console's standard streams, and nothing else of the console's.
    char own_stdout[64];
    std::snprintf(own_stdout, sizeof own_stdout, "/proc/%d/fd/1", console_pid());
    char target[256] = {};
    ASSERT_GT(readlink(own_stdout, target, sizeof target - 1), 0);
    EXPECT_EQ(report["stdout"], target);
    std::snprintf(own_stdout, sizeof own_stdout, "/proc/%d/fd/7", console_pid());
    ASSERT_GT(readlink(own_stdout, target, sizeof target - 1), 0) << "the console holds 7";
    EXPECT_EQ(report["other_fds"], "");
    // Signals as a new program expects them.
    EXPECT_EQ(report["sigpipe"], "default");
    EXPECT_EQ(report["blocked"], "no");
    EXPECT_EQ(report["ignored_signals"], "0000000000000000");
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, FirstWordIsFoundOnPath) {
    start({std::string("PATH=") + TEST_HELPER_DIR + ":/usr/bin:/bin"});
    launch(launch_argument("launch_probe '" + path("report") + "' exit found", 0));
    Report report;
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(report.arguments.back(), "found");
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, DetachedProgramHasASessionOfItsOwnAndNoTerminal) {
    start();
    launch(launch_argument(probe("report", "exit"), DETACHED));
    Report report;
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(report["sid"], report["pid"]);
    EXPECT_EQ(report["pgid"], report["pid"]);
    EXPECT_EQ(report["stdin"], "/dev/null");
    EXPECT_EQ(report["stdout"], "/dev/null");
    EXPECT_EQ(report["stderr"], "/dev/null");
    EXPECT_EQ(report["controlling_terminal"], "no");
    EXPECT_EQ(report["other_fds"], "");
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, NewConsoleWithoutAGraphicalSessionRunsDetached) {
    // An emulator is named, but there is no display to open it on.
    start({"VELDRIN_TERMINAL=" + FAKE_TERMINAL, "FAKE_TERMINAL_REPORT=" + path("terminal")});
    launch(launch_argument(probe("report", "exit"), NEW_CONSOLE | REMEMBER, "Notes"));
    Report report;
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(report["sid"], report["pid"]);
    EXPECT_EQ(report["stdout"], "/dev/null");
    EXPECT_EQ(report["ppid"], std::to_string(console_pid()));
    EXPECT_FALSE(dir.file_exists("terminal"));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, NewConsoleOpensTheChosenEmulatorWithTheTitle) {
    start({"DISPLAY=:99", "VELDRIN_TERMINAL=" + FAKE_TERMINAL + " --class 'Kestrane Window'",
           "FAKE_TERMINAL_REPORT=" + path("terminal")});
    launch(launch_argument(probe("report", "exit", "'an argument'"), NEW_CONSOLE, "Notes"));
    Report terminal, report;
    ASSERT_TRUE(read_report(path("terminal"), &terminal, 10000));
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(terminal.arguments,
              (std::vector<std::string>{"--class", "Kestrane Window", "-T", "Notes", "-e", PROBE,
                                        path("report"), "exit", "an argument"}));
    // The emulator is detached from the console's terminal.
    EXPECT_EQ(terminal["sid"], terminal["pid"]);
    EXPECT_EQ(report["stdin"], "/dev/null");
    EXPECT_EQ(report.arguments.back(), "an argument");
    expect_session_goes_on_and_ends();
}

// In a UTF-8 locale the command and the title come in the server's code page (437 here) and
// reach the program and the emulator in UTF-8.
TEST_F(LaunchSession, CommandAndTitleAreConvertedFromTheCodePage) {
    start({"LC_ALL=C.UTF-8", "DISPLAY=:99", "VELDRIN_TERMINAL=" + FAKE_TERMINAL,
           "FAKE_TERMINAL_REPORT=" + path("terminal")});
    launch(launch_argument(probe("report", "exit", "M\x81ller"), NEW_CONSOLE, "Caf\x82"));
    Report terminal, report;
    ASSERT_TRUE(read_report(path("terminal"), &terminal, 10000));
    ASSERT_TRUE(read_report(path("report"), &report, 10000));
    EXPECT_EQ(terminal["arg2"], "Café");
    EXPECT_EQ(report.arguments.back(), "Müller");
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, WindowTitleIsCutAtItsLengthOrAtTheEndOfTheText) {
    start({"DISPLAY=:99", "VELDRIN_TERMINAL=" + FAKE_TERMINAL,
           "FAKE_TERMINAL_REPORT=" + path("terminal")});
    std::string command = probe("report", "exit");
    launch(std::to_string(command.size()) + "~10~5~" + command + "|Notes and more");
    Report cut;
    ASSERT_TRUE(read_report(path("terminal"), &cut, 10000));
    EXPECT_EQ(cut["arg2"], "Notes");
    dir.remove_file("terminal");
    launch(std::to_string(command.size()) + "~10~200~" + command + "|Short");
    Report short_title;
    ASSERT_TRUE(read_report(path("terminal"), &short_title, 10000));
    EXPECT_EQ(short_title["arg2"], "Short");
    EXPECT_EQ(short_title["arg4"], PROBE);
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, EndingKillsTheRememberedProgramAndOnlyIt) {
    start();
    Report remembered_report, other_report;
    auto remembered = launch_sleeper("remembered", REMEMBER, &remembered_report);
    ASSERT_TRUE(remembered && remembered->valid());
    auto other = launch_sleeper("other", 0, &other_report);
    ASSERT_TRUE(other && other->valid());

    end_remembered();
    EXPECT_TRUE(remembered->ended(10000));
    EXPECT_FALSE(other->ended(300));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, TwoRememberedLaunchesEndOnlyTheSecond) {
    start();
    Report first_report, second_report;
    auto first = launch_sleeper("first", REMEMBER | DETACHED, &first_report);
    ASSERT_TRUE(first && first->valid());
    auto second = launch_sleeper("second", REMEMBER, &second_report);
    ASSERT_TRUE(second && second->valid());

    end_remembered();
    EXPECT_TRUE(second->ended(10000));
    EXPECT_FALSE(first->ended(300));
    // A second control 4 is aimed at the same, ended, program: the first stays.
    end_remembered();
    EXPECT_FALSE(first->ended(300));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, EndingWithNothingRememberedHarmsNothing) {
    start();
    Report report;
    auto running = launch_sleeper("running", 0, &report);
    ASSERT_TRUE(running && running->valid());
    end_remembered();
    EXPECT_FALSE(running->ended(300));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, EndingAfterTheProgramEndedHarmsNothing) {
    start();
    Report ended_report, running_report;
    auto ended = launch_sleeper("ended", REMEMBER, &ended_report, "until=" + path("stop"));
    ASSERT_TRUE(ended && ended->valid());
    dir.write_file("stop", "");
    ASSERT_TRUE(ended->ended(10000));
    auto running = launch_sleeper("running", 0, &running_report);
    ASSERT_TRUE(running && running->valid());

    end_remembered();
    end_remembered();
    EXPECT_FALSE(running->ended(300));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, MalformedArgumentsStartNothing) {
    start();
    std::string command = probe("never", "exit");
    std::string length = std::to_string(command.size());
    // Refused by the argument's parse (its forms: LaunchArgument.MalformedArgumentsAreRefused),
    // by the command's split, or left with no word to run.
    const std::vector<std::string> malformed = {
        "300~80000000~0~" + command,  // fewer than L characters
        length + "~0~0~" + command.substr(0, command.size() - 4) + "'x|",  // an open quote
        "0~0~0~" + command,                                                // an empty command
        "1~0~0~ " + command,                                               // a blank command
    };
    for (const std::string& argument : malformed) launch(argument);
    // A good launch after them: once it has run, so have they.
    launch(launch_argument(probe("sentinel", "exit"), 0));
    Report report;
    ASSERT_TRUE(read_report(path("sentinel"), &report, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(dir.file_exists("never"));
    EXPECT_FALSE(dir.file_exists("never.part"));
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, ProgramThatCannotStartIsSilent) {
    start();
    launch(launch_argument(dir.path() + "/no-such-program x", REMEMBER));
    launch(launch_argument("no-such-program-on-the-path", DETACHED));
    expect_session_goes_on_and_ends();
    EXPECT_EQ(console->stderr_text(), "");
}

TEST_F(LaunchSession, EndedProgramsLeaveNoZombie) {
    start();
    Report exited_report, killed_report;
    launch(launch_argument(probe("exited", "exit"), REMEMBER));
    ASSERT_TRUE(read_report(path("exited"), &exited_report, 10000));
    auto killed = launch_sleeper("killed", REMEMBER | DETACHED, &killed_report);
    ASSERT_TRUE(killed && killed->valid());
    end_remembered();
    ASSERT_TRUE(killed->ended(10000));

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> children = harness::children_of(console_pid());
    while (!children.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        children = harness::children_of(console_pid());
    }
    EXPECT_EQ(children, std::vector<std::string>{});
    expect_session_goes_on_and_ends();
}

TEST_F(LaunchSession, SignalsForTheConsolesGroupNeverReachTheProgram) {
    // On a terminal of its own, the console leads its own session and process group.
    start({}, harness::InputMode::TERMINAL);
    ASSERT_EQ(getpgid(console_pid()), console_pid());
    Report report;
    auto program = launch_sleeper("report", REMEMBER, &report);
    ASSERT_TRUE(program && program->valid());
    EXPECT_EQ(report["sid"], std::to_string(console_pid()));
    EXPECT_EQ(report["controlling_terminal"], "yes");
    EXPECT_NE(report["foreground_pgid"], report["pgid"]);

    // What the terminal sends the console's group (Ctrl+C, a hang-up) is the console's alone:
    // whatever the console makes of it, the program does not hear it.
    ASSERT_EQ(kill(-console_pid(), SIGINT), 0);
    console->wait_exit(2000);
    EXPECT_FALSE(program->ended(500));
}

// ---------------------------------------------------------------------------------------------
// The programs the user allows (VELDRIN_PROGRAMS, or the administrator's file), against both
// backends: the probe by a name found on the search path, the probe by its full path, and
// another program by name. A refused launch starts nothing, is named on standard error (a pipe
// here), and the session goes on.

enum class Form { NAME, PATH, OTHER };
enum class AdminFile { NONE, LISTS_NAME, SAYS_NONE, DIRECTORY };

struct Launch {
    Form form;
    bool starts;
};

struct AllowedCase {
    const char* name;
    const char* setting;  // "{name}", "{path}" and "{sep}" filled in; null: not set
    AdminFile file;
    std::vector<Launch> launches;
};
void PrintTo(const AllowedCase& c, std::ostream* out) {
    *out << c.name;
}

// What the list and the launches say on this backend. A Windows list names the probe in
// another case, and with ".exe" where the launch leaves it off or the other way round.
struct Names {
    std::string listed_name, listed_path, file_name;  // as listed
    std::string name, path, other;                    // as launched
    std::string separator, search_path;
};

Names names() {
    if (!harness::console_is_windows()) {
        return {"launch_probe",
                PROBE,
                "launch_probe",
                "launch_probe",
                PROBE,
                "fake_terminal",
                ":",
                std::string("PATH=") + TEST_HELPER_DIR + ":/usr/bin:/bin"};
    }
    std::string helper = harness::windows_helper("console_probe");
    std::string upper = e2e::windows_path(helper.substr(0, helper.size() - 4));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return {"CONSOLE_PROBE.EXE",
            upper,
            "Console_Probe",
            "console_probe",
            e2e::windows_path(helper),
            "exit_code_probe",
            ";",
            "WINEPATH=" + e2e::windows_path(helper.substr(0, helper.rfind('/')))};
}

std::string filled(std::string text, const Names& n) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"{name}", n.listed_name},
                              {"{path}", n.listed_path},
                              {"{sep}", n.separator}}) {
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    }
    return text;
}

// Whether this machine can give the console a private mount namespace (root, or user
// namespaces), in which the administrator's file is laid over /etc for it alone.
bool private_mounts_possible() {
    static const bool possible = [] {
        ProcessOptions options;
        options.program = "/usr/bin/unshare";
        ConsoleProcess probe({"-m", "/bin/true"}, options);
        return probe.wait_exit(10000) && probe.exit_status() == 0;
    }();
    return possible;
}

class AllowedPrograms : public LaunchSession, public ::testing::WithParamInterface<AllowedCase> {
  protected:
    void SetUp() override {}
};

TEST_P(AllowedPrograms, OnlyAllowedProgramsStart) {
    const AllowedCase& c = GetParam();
    const bool windows = harness::console_is_windows();
    const Names n = names();
    std::vector<std::string> environment = {n.search_path};
    if (c.setting) environment.push_back(std::string(PROGRAMS) + "=" + filled(c.setting, n));

    // The administrator's file: on POSIX /etc laid over in a mount namespace of the console's
    // own, so that the machine's /etc is never touched; on Windows beside a copy of the console.
    TempDir admin("veldrin-admin");
    std::vector<std::string> wrapper;
    std::string console_copy;
    if (c.file != AdminFile::NONE) {
        std::string file = "programs.txt";
        if (!windows) {
            if (!private_mounts_possible()) GTEST_SKIP() << "no private mount namespace here";
            admin.make_subdir("upper");
            admin.make_subdir("upper/veldrin");
            file = "upper/veldrin/programs";
            wrapper = {"/usr/bin/unshare",
                       "-m",
                       "/bin/sh",
                       "-c",
                       "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1,workdir=$2\" /etc "
                       "&& shift 2 && exec \"$@\"",
                       "sh",
                       admin.path() + "/upper",
                       admin.make_subdir("work")};
        } else {
            console_copy = admin.path() + "/veldrin.exe";
            std::filesystem::copy_file(harness::console_path(), console_copy);
        }
        if (c.file == AdminFile::DIRECTORY) {
            admin.make_subdir(file);  // there, but it cannot be read as a file
        } else {
            admin.write_file(file, c.file == AdminFile::LISTS_NAME
                                       ? "# the probe\n" + n.file_name + "\r\n"
                                       : "none\n");
        }
    }
    ASSERT_NO_FATAL_FAILURE(start(environment, harness::InputMode::NONE, wrapper, console_copy));

    std::vector<std::string> refused;
    for (std::size_t i = 0; i < c.launches.size(); ++i) {
        const Launch& step = c.launches[i];
        std::string program = step.form == Form::NAME   ? n.name
                              : step.form == Form::PATH ? n.path
                                                        : n.other;
        std::string report = "report-" + std::to_string(i);
        SCOPED_TRACE(program + (step.starts ? " starts" : " is refused"));
        launch(launch_argument(
            windows ? program + " " + report + " exit" : program + " '" + path(report) + "' exit",
            REMEMBER));
        if (step.starts) {
            Report seen;
            EXPECT_TRUE(read_report(path(report), &seen, 30000));
            // Windows runs the word checked and no longer start of the line: it is quoted.
            bool listed = c.setting == nullptr || std::string(c.setting) != "*";
            if (windows) {
                EXPECT_EQ(seen["command_line"][0] == '"', listed) << seen["command_line"];
            }
        } else {
            refused.push_back(report);
            EXPECT_TRUE(console->wait_for_stderr(": " + program + "\n", 30000))
                << console->stderr_text();
        }
    }
    expect_session_goes_on_and_ends();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const std::string& report : refused) EXPECT_FALSE(dir.file_exists(report)) << report;
    // One line for each refusal, naming where the list came from.
    std::string errors = console->stderr_text();
    EXPECT_EQ(pty::count_of(errors, "\n"), refused.size()) << errors;
    EXPECT_EQ(pty::count_of(errors, std::string("Program not allowed by ") +
                                        (c.setting ? PROGRAMS
                                         : windows ? "Z:\\"
                                                   : "/etc/veldrin/programs")),
              refused.size())
        << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Programs, AllowedPrograms,
    ::testing::Values(
        AllowedCase{"None", "none", AdminFile::NONE, {{Form::PATH, false}}},
        AllowedCase{"Empty", "", AdminFile::NONE, {{Form::PATH, false}}},
        AllowedCase{"ListedName",
                    "nothing-here{sep}{name}",
                    AdminFile::NONE,
                    {{Form::NAME, true}, {Form::PATH, false}, {Form::OTHER, false}}},
        AllowedCase{
            "ListedPath", "{path}", AdminFile::NONE, {{Form::PATH, true}, {Form::NAME, false}}},
        AllowedCase{"AdministratorsFile",
                    nullptr,
                    AdminFile::LISTS_NAME,
                    {{Form::NAME, true}, {Form::PATH, false}}},
        AllowedCase{"UnreadableFile", nullptr, AdminFile::DIRECTORY, {{Form::NAME, false}}},
        AllowedCase{"SettingBeforeFile", "*", AdminFile::SAYS_NONE, {{Form::PATH, true}}}),
    [](const ::testing::TestParamInfo<AllowedCase>& info) { return info.param.name; });

// At the terminal the console draws on, a refusal says nothing: the screen stays the server's.
TEST_F(LaunchSession, RefusalIsSilentOnTheConsolesTerminal) {
    start({std::string(PROGRAMS) + "=none"}, harness::InputMode::TERMINAL, {}, "", true);
    launch(launch_argument(probe("report", "exit"), 0));
    expect_session_goes_on_and_ends();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(dir.file_exists("report"));
    EXPECT_EQ(console->stdout_text().find("allowed"), std::string::npos) << console->stdout_text();
    EXPECT_EQ(console->stderr_text(), "");
}

}  // namespace
