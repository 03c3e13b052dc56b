// Command mode end to end: the built console run as a script would run it, against a scripted
// server on 127.0.0.1, checking the bytes on the wire, standard output and the exit status.
//
// These tests wait on the console's own fixed sleeps (500 ms before its attempt, 100 ms before
// the command, 3 s before CLOSE, 500 ms before exiting), so their bounds are generous and no
// result depends on how fast the machine is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_common.h"
#include "harness.h"

namespace {

using namespace e2e;

using harness::ADDRESS_FILE_NAME;
using harness::bytes;
using harness::ConsoleProcess;
using harness::ProcessOptions;
using harness::ScriptedServer;
using harness::TempDir;
using harness::UnusedPort;

constexpr int WAIT_MS = 15000;
const std::string BANNER = "Kestrane Database Manager Console " VELDRIN_VERSION "\n";

class CommandModeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server_.port()));
    }

    // Starts the console with "-p<dir>" and the command words, accepts its connection and
    // waits for "MODE 1" and the command text.
    std::unique_ptr<ConsoleProcess> start_command(const std::vector<std::string>& words,
                                                  const std::string& expected_command) {
        std::vector<std::string> args = {"-p" + dir_.path()};
        args.insert(args.end(), words.begin(), words.end());
        auto console = std::make_unique<ConsoleProcess>(args);
        EXPECT_TRUE(server_.accept_connection(WAIT_MS));
        EXPECT_TRUE(server_.wait_for_received(MODE.size() + expected_command.size(), WAIT_MS));
        EXPECT_EQ(server_.received(), MODE + expected_command);
        return console;
    }

    // The server's answer to a command: text, then the exit status, then the end of session,
    // each in its own write.
    void answer(const std::string& text, const std::string& status) {
        ASSERT_TRUE(server_.send_separately({text, "~~~6" + status, "~~~0"}));
    }

    TempDir dir_;
    ScriptedServer server_;
};

TEST_F(CommandModeTest, CommandTextStatusAndNoCloseWhenTheServerEndsTheSession) {
    auto console = start_command({"REPORT", "7"}, "REPORT 7");
    std::vector<harness::Receive> receives = server_.receives();
    ASSERT_GE(receives.size(), 2u);
    // "MODE 1" goes out on connecting, alone; the command only after the sender's pause
    // (100 ms at least; the bound leaves room for a slow receiving thread).
    EXPECT_EQ(receives[0].bytes, MODE);
    EXPECT_GE(milliseconds_between(receives[0].at, receives[1].at), 50);

    answer("Order 7\n  Customer: Ellery & Sons\n", "4");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 4);
    EXPECT_EQ(console->stdout_text(), "Order 7\n  Customer: Ellery & Sons\n");
    ASSERT_TRUE(server_.wait_for_peer_close(WAIT_MS));
    EXPECT_EQ(server_.received(), MODE + "REPORT 7");
}

TEST_F(CommandModeTest, CloseIsSentWhenTheSessionIsStillUpThreeSecondsLater) {
    auto console = start_command({"LIST"}, "LIST");
    ASSERT_TRUE(server_.send_bytes("still working\n"));
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 4 + CLOSE.size(), WAIT_MS));
    EXPECT_EQ(server_.received(), MODE + "LIST" + CLOSE);
    std::vector<harness::Receive> receives = server_.receives();
    ASSERT_EQ(receives.size(), 3u);
    EXPECT_EQ(receives[2].bytes, CLOSE);
    EXPECT_GE(milliseconds_between(receives[1].at, receives[2].at), 2500);

    server_.close_connection();
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 0);
    EXPECT_EQ(console->stdout_text(), "still working\n");
    ASSERT_TRUE(server_.wait_for_peer_close(WAIT_MS));
    EXPECT_EQ(server_.received(), MODE + "LIST" + CLOSE);
}

// A session lost without control 0, closed or reset, ends the console after its one attempt
// with the status set so far and the text shown so far.
TEST_F(CommandModeTest, StatusSetBeforeTheServerClosesWithoutEndingIsKept) {
    for (bool reset : {false, true}) {
        auto console = start_command({"REPORT", "3"}, "REPORT 3");
        ASSERT_TRUE(server_.send_separately({"partial\n", "~~~65", "more\n"}));
        ASSERT_TRUE(console->wait_for_stdout("more\n", WAIT_MS));
        reset ? server_.reset_connection() : server_.close_connection();
        ASSERT_TRUE(console->wait_exit(WAIT_MS));
        EXPECT_EQ(console->exit_status(), 5) << "reset " << reset;
        EXPECT_EQ(console->stdout_text(), "partial\nmore\n") << "reset " << reset;
    }
    pause_ms(600);  // an attempt that was going to come would have come by now
    EXPECT_EQ(server_.connection_count(), 2);
}

// A session the server ends (or resets) before the command goes out: the command is never
// sent, not even on a later connection (there is none in command mode), and the sends that
// meet a reset connection do not harm the console.
TEST_F(CommandModeTest, SessionEndedBeforeTheCommandGetsNoCommand) {
    for (bool reset : {false, true}) {
        ConsoleProcess console({"-p" + dir_.path(), "REPORT", "7"});
        ASSERT_TRUE(server_.accept_connection(WAIT_MS));
        ASSERT_TRUE(server_.wait_for_received(MODE.size(), WAIT_MS));
        if (reset) {
            server_.reset_connection();
        } else {
            ASSERT_TRUE(server_.send_bytes("~~~0"));
            ASSERT_TRUE(server_.wait_for_peer_close(WAIT_MS));
        }
        ASSERT_TRUE(console.wait_exit(WAIT_MS));
        EXPECT_EQ(server_.received(), MODE);
        EXPECT_EQ(console.exit_status(), 0) << "reset " << reset;
        EXPECT_EQ(console.stdout_text(), "");
    }
    EXPECT_EQ(server_.connection_count(), 2);
}

// "-C" (with anything after it in the same word) is the option word, not command text, and a
// lost session still ends the console after its one attempt.
TEST_F(CommandModeTest, QuietOptionWordIsNotPartOfTheCommand) {
    ProcessOptions options;
    options.working_directory = dir_.path();
    ConsoleProcess console({"-Cx", "LIST"}, options);
    ASSERT_TRUE(server_.accept_connection(WAIT_MS));
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 4, WAIT_MS));
    server_.close_connection();
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(server_.received(), MODE + "LIST");
    EXPECT_EQ(console.exit_status(), 0);
    EXPECT_EQ(server_.connection_count(), 1);
}

TEST_F(CommandModeTest, TitleNeverReachesRedirectedOutput) {
    auto console = start_command({"TITLE"}, "TITLE");
    ASSERT_TRUE(server_.send_separately({"before\n", "~~~53~Orders", "after\n", "~~~5", "~~~0"}));
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 0);
    EXPECT_EQ(console->stdout_text(), "before\nafter\n");
}

// The words of the command line are joined by single spaces: a quoted word keeps its space,
// and a quoted "-p" directory with a space in it is one option word, not command text.
TEST_F(CommandModeTest, QuotedWordsKeepTheirSpaces) {
    auto console = start_command({"REPORT", "a b"}, "REPORT a b");
    answer("", "0");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(), 0);
}

TEST(CommandModeDirectoryTest, DirectoryWithASpaceIsOneOptionWord) {
    TempDir dir("veldrin test dir");
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ConsoleProcess console({"-p" + dir.path(), "LIST"});
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    ASSERT_TRUE(server.wait_for_received(MODE.size() + 4, WAIT_MS));
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(server.received(), MODE + "LIST");
    EXPECT_EQ(console.exit_status(), 0);
}

TEST(CommandModeDirectoryTest, DirectoryWithASpaceAndNoCommandIsInteractive) {
    TempDir dir("veldrin test dir");
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    ConsoleProcess console({"-p" + dir.path()});
    ASSERT_TRUE(console.wait_for_stdout(BANNER, WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    // Interactive mode sends nothing on connecting; command mode would send "MODE 1" at once
    // and the command soon after.
    EXPECT_FALSE(server.wait_for_received(1, 1500));
    EXPECT_EQ(console.stdout_text(), BANNER);
    console.kill_now();
}

TEST(CommandModeNoSessionTest, NoAddressFilePrintsUnableToConnect) {
    TempDir dir;
    ConsoleProcess console({"-p" + dir.path(), "LIST"});
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.stdout_text(), "Unable to connect\n");
    EXPECT_EQ(console.exit_status(), 0);
}

TEST(CommandModeNoSessionTest, ServerDownPrintsNothing) {
    TempDir dir;
    UnusedPort unused;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(unused.port()));
    ConsoleProcess console({"-p" + dir.path(), "LIST"});
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.stdout_text(), "");
    EXPECT_EQ(console.exit_status(), 0);
}

// The console is started in a directory whose address file points at a listening server, so
// a console that went on after failing to enter the "-p" directory would connect.
TEST(CommandModeNoSessionTest, MissingDirectoryIsReportedWithStatusOne) {
    TempDir dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    std::string missing = dir.path() + "/no such dir";
    ProcessOptions options;
    options.working_directory = dir.path();
    auto started = std::chrono::steady_clock::now();
    ConsoleProcess console({"-p" + missing, "LIST"}, options);
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    // It pauses 3 s so that the message can be read before a window closes.
    EXPECT_GE(milliseconds_between(started, std::chrono::steady_clock::now()), 2900);
    EXPECT_EQ(console.stdout_text(), "Unable to access directory " + missing + "\n");
    EXPECT_EQ(console.exit_status(), 1);
    EXPECT_EQ(server.connection_count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Exit statuses that do not fit a POSIX status

// The status a POSIX console ends with, and the one a Windows console's Linux parent sees under
// wine: the low byte of the 32-bit code, or 1 when that byte is 0 and the code is not.
struct StatusCase {
    const char* argument;  // of control 6
    int posix, wine;
};

void PrintTo(const StatusCase& value, std::ostream* out) {
    *out << '"' << value.argument << "\" -> " << value.posix << " or " << value.wine;
}

class ExitStatusTest : public CommandModeTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, LargeStatusesComeOutAsTheLargestStatus) {
    auto console = start_command({"EXIT"}, "EXIT");
    answer("", GetParam().argument);
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->exit_status(),
              harness::console_is_windows() ? GetParam().wine : GetParam().posix);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ExitStatusTest,
                         ::testing::Values(StatusCase{"255", 255, 255}, StatusCase{"256", 255, 1},
                                           // Windows' "still running" (STILL_ACTIVE) is held
                                           // at the largest code
                                           StatusCase{"259", 255, 255},
                                           StatusCase{"4294967296", 255, 255}),
                         [](const ::testing::TestParamInfo<StatusCase>& info) {
                             return std::string("status_") + info.param.argument;
                         });

// ---------------------------------------------------------------------------------------------
// The demo server as the console's peer

class DemoServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ProcessOptions options;
        options.program = DEMO_SERVER_BINARY;
        server_ = std::make_unique<ConsoleProcess>(std::vector<std::string>{"--dir", dir_.path()},
                                                   options);
        ASSERT_TRUE(server_->wait_for_stdout("\n", WAIT_MS));
        port_ = static_cast<std::uint16_t>(std::stoul(server_->stdout_text()));
    }

    std::unique_ptr<ConsoleProcess> run(const std::vector<std::string>& words) {
        std::vector<std::string> args = {"-p" + dir_.path()};
        args.insert(args.end(), words.begin(), words.end());
        return std::make_unique<ConsoleProcess>(args);
    }

    TempDir dir_;
    std::unique_ptr<ConsoleProcess> server_;
    std::uint16_t port_ = 0;
};

TEST_F(DemoServerTest, WritesTheAddressFileAndRemovesItWhenStopped) {
    EXPECT_EQ(dir_.read_file(ADDRESS_FILE_NAME),
              harness::address_file_bytes(harness::LOOPBACK, port_, ""));
    server_->send_signal(SIGTERM);
    ASSERT_TRUE(server_->wait_exit(WAIT_MS));
    EXPECT_EQ(server_->exit_status(), 0);
    EXPECT_FALSE(dir_.file_exists(ADDRESS_FILE_NAME));
}

// Several consoles at once: the demo server serves each on its own.
TEST_F(DemoServerTest, AnswersCommandsWithTextAndStatus) {
    auto exit3 = run({"EXIT", "3"});
    auto help = run({"HELP"});
    auto report = run({"REPORT", "3"});
    auto missing = run({"REPORT", "99"});
    auto unknown = run({"FROB"});
    auto too_large = run({"EXIT", "300"});

    ASSERT_TRUE(exit3->wait_exit(WAIT_MS));
    EXPECT_EQ(exit3->exit_status(), 3);
    ASSERT_TRUE(help->wait_exit(WAIT_MS));
    EXPECT_EQ(help->exit_status(), 0);
    EXPECT_NE(help->stdout_text().find("REPORT n"), std::string::npos) << help->stdout_text();
    ASSERT_TRUE(report->wait_exit(WAIT_MS));
    EXPECT_EQ(report->exit_status(), 0);
    EXPECT_EQ(report->stdout_text().rfind("Order 3\n", 0), 0u) << report->stdout_text();
    ASSERT_TRUE(missing->wait_exit(WAIT_MS));
    EXPECT_EQ(missing->exit_status(), 2);
    EXPECT_EQ(missing->stdout_text(), "No order 99\n");
    ASSERT_TRUE(unknown->wait_exit(WAIT_MS));
    EXPECT_EQ(unknown->exit_status(), 1);
    EXPECT_EQ(unknown->stdout_text(), "Unknown command 'FROB'. Try HELP.\n");
    ASSERT_TRUE(too_large->wait_exit(WAIT_MS));
    EXPECT_EQ(too_large->exit_status(), harness::console_is_windows() ? 44 : 255);  // 44: 300 % 256

    server_->send_signal(SIGTERM);
    ASSERT_TRUE(server_->wait_exit(WAIT_MS));
    EXPECT_EQ(server_->exit_status(), 0);
}

// WAIT keeps the session open until the console sends CLOSE; TITLE's marker stays off the
// redirected output.
TEST_F(DemoServerTest, WaitEndsWithTheConsolesCloseAndTitleStaysOffTheOutput) {
    auto wait = run({"WAIT"});
    auto title = run({"TITLE", "Orders"});
    ASSERT_TRUE(wait->wait_exit(WAIT_MS));
    EXPECT_EQ(wait->exit_status(), 0);
    EXPECT_EQ(wait->stdout_text(),
              "Waiting for the console to close the session\nClosed by the console\n");
    ASSERT_TRUE(title->wait_exit(WAIT_MS));
    EXPECT_EQ(title->exit_status(), 0);
    EXPECT_EQ(title->stdout_text(), "Title set to 'Orders'\n");
}

// The interactive menus, typed through a pipe: choice 6 sets the status, 0 ends the session.
TEST_F(DemoServerTest, InteractiveMenuSetsTheExitStatus) {
    ProcessOptions options;
    options.input = harness::InputMode::PIPE;
    ConsoleProcess console({"-p" + dir_.path()}, options);
    ASSERT_TRUE(console.wait_for_stdout("Choice: ", WAIT_MS));
    console.write_input("6\n");
    ASSERT_TRUE(console.wait_for_stdout("Exit status: ", WAIT_MS))
        << console.stdout_text() << console.stderr_text() << server_->stderr_text();
    console.write_input("42\n");
    ASSERT_TRUE(console.wait_for_stdout("exit with status 42", WAIT_MS));
    console.write_input("3\n");
    ASSERT_TRUE(console.wait_for_stdout("Key: ", WAIT_MS));
    console.write_input("q");
    // The menu comes in a write after the marker that ends key-by-key mode: once it shows, the
    // console is taking lines again.
    ASSERT_TRUE(
        console.wait_for_stdout("Back to the main menu\n\nKestrane Database Manager", WAIT_MS));
    console.write_input("0\n");
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 42);
    EXPECT_NE(console.stdout_text().find("Goodbye\n"), std::string::npos);
}

// On Windows the status is the whole 32-bit code, as a Windows parent sees it; a number too big
// for 32 bits is held at the largest code, never cut to a small one.
TEST_F(CommandModeTest, WindowsParentSeesTheWholeExitCode) {
    if (!harness::console_is_windows()) GTEST_SKIP() << "for a Windows console";
    std::string console = harness::console_path();
    std::string probe =
        console.substr(0, console.find_last_of('/') + 1) + "test-helpers/exit_code_probe.exe";
    std::vector<std::string> words = harness::console_launcher();
    ASSERT_FALSE(words.empty()) << "a Windows console runs under a launcher here";
    ProcessOptions options;
    options.program = words.front();
    words.erase(words.begin());
    for (const std::string& word : {probe, console, "-p" + dir_.path(), std::string("EXIT")})
        words.push_back(word);
    ConsoleProcess parent(words, options);
    ASSERT_TRUE(server_.accept_connection(WAIT_MS));
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 4, WAIT_MS));
    answer("", "4294967296");
    ASSERT_TRUE(parent.wait_exit(WAIT_MS));
    EXPECT_NE(parent.stderr_text().find("exit code 4294967295"), std::string::npos)
        << parent.stderr_text();
    EXPECT_EQ(parent.exit_status(), 255);
}

// A reader of the console's output that goes away early (a pipe into head) must not end the
// console: the script still gets the status the server sets.
TEST_F(CommandModeTest, OutputReaderGoingAwayKeepsTheServersStatus) {
    ProcessOptions options;
    options.program = "/bin/bash";
    std::vector<std::string> words = {
        "-c",
        "dir=$1; shift; \"$@\" -p\"$dir\" REPORT | head -c 3 >/dev/null; exit ${PIPESTATUS[0]}",
        "bash", dir_.path()};
    for (const std::string& word : harness::console_command({})) words.push_back(word);
    ConsoleProcess pipeline(words, options);
    ASSERT_TRUE(server_.accept_connection(WAIT_MS));
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 6, WAIT_MS));
    ASSERT_TRUE(server_.send_bytes("first lines\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // head has read and gone
    answer(std::string(64 * 1024, 'x'), "5");
    ASSERT_TRUE(pipeline.wait_exit(WAIT_MS));
    EXPECT_EQ(pipeline.exit_status(), 5) << pipeline.stderr_text();
}

// Output into a pipe (a script's "veldrin ... | cat") gets a pipe that holds a whole receive, so
// that a fast server's text is not written in 64 KiB pieces, each waiting for the reader.
TEST_F(CommandModeTest, OutputPipeIsEnlarged) {
    SKIP_FOR_WINDOWS(
        "the POSIX console sizes a Linux pipe; wine writes what a Windows console writes");
    long largest = 0;
    std::ifstream("/proc/sys/fs/pipe-max-size") >> largest;
    if (largest < 1 << 20) GTEST_SKIP() << "pipes here hold at most " << largest << " bytes";
    auto console = start_command({"REPORT"}, "REPORT");
    // The console's standard output is the harness's pipe; open it again to ask its size.
    std::string path = "/proc/" + std::to_string(console->pid()) + "/fd/1";
    int pipe_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe_fd, 0) << path;
    int size = fcntl(pipe_fd, F_GETPIPE_SZ);
    close(pipe_fd);
    EXPECT_GE(size, 1 << 20);
    answer("done\n", "0");
    ASSERT_TRUE(console->wait_exit(WAIT_MS));
    EXPECT_EQ(console->stdout_text(), "done\n");
}

}  // namespace
