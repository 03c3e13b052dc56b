// A hostile or careless server end to end: the built console fed a flood while keys are typed,
// text one byte at a time, markers cut across receives (across the 1024-byte chunk: the session
// loop's tests), titles full of bytes a terminal would obey, launch arguments that claim more
// than they hold, and silence. The console must show every byte of text it is meant to show and
// nothing else, obey only whole markers, keep its keys flowing, and leave the terminal as it found
// it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
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
using harness::bytes;
using harness::ConsoleProcess;
using harness::ScriptedServer;
using harness::TempDir;
using pty::TerminalConsole;

constexpr int WAIT_MS = 15000;
constexpr std::size_t NOT_FOUND = std::string::npos;
constexpr std::size_t CHUNK = 1024;
constexpr const char* CONSOLE_TITLE = "Kestrane Database Manager Console";
const std::string BANNER = std::string(CONSOLE_TITLE) + " " VELDRIN_VERSION "\n";
constexpr const char* TITLE_START = "\033]2;";

// Waits until the file name in dir holds needle.
bool wait_for_file_text(const TempDir& dir, const std::string& name, const std::string& needle,
                        int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (dir.read_file(name).find(needle) != NOT_FOUND) return true;
        pause_ms(10);
    }
    return false;
}

// A command-mode console connected to a scripted server, past "MODE 1" and its command.
class CommandSession : public ::testing::Test {
  protected:
    void start(const std::string& command = "LIST") {
        dir_.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server_.port()));
        console_ =
            std::make_unique<ConsoleProcess>(std::vector<std::string>{"-p" + dir_.path(), command});
        ASSERT_TRUE(server_.accept_connection(WAIT_MS));
        ASSERT_TRUE(server_.wait_for_received(MODE.size() + command.size(), WAIT_MS));
    }
    // Ends the session and expects the exit status and exactly this output.
    void end_and_expect(int status, const std::string& output) {
        ASSERT_TRUE(server_.send_bytes("~~~0"));
        ASSERT_TRUE(console_->wait_exit(WAIT_MS));
        EXPECT_EQ(console_->exit_status(), status) << console_->stderr_text();
        EXPECT_EQ(console_->stdout_text(), output);
    }

    TempDir dir_;
    ScriptedServer server_;
    std::unique_ptr<ConsoleProcess> console_;
};

// ---------------------------------------------------------------------------------------------
// A flood while keys are typed

// The flood's text: lines of 64 bytes, each starting with its number in lower-case hex, then
// lower-case letters; no marker, no NUL and no upper-case letter anywhere.
constexpr std::size_t FLOOD_LINE = 64;
char flood_byte(std::uint64_t at) {
    std::uint64_t line = at / FLOOD_LINE;
    std::size_t column = static_cast<std::size_t>(at % FLOOD_LINE);
    if (column < 8) return "0123456789abcdef"[(line >> (4 * (7 - column))) & 0xf];
    if (column == 8) return ' ';
    if (column == FLOOD_LINE - 1) return '\n';
    return static_cast<char>('a' + (line + column) % 26);
}

// 100 MiB from the server in 1 MiB writes, a key typed on the terminal after each, with the
// keyboard in key-by-key mode and standard output going to a file. The file holds every byte
// of the flood in order, with the echo of each key somewhere among them (keys are upper-case
// letters, which the flood never holds), and the server receives every key in order.
TEST(FloodTest, HundredMebibytesShownWhileKeysAreTyped) {
    constexpr std::size_t BLOCK = 1024 * 1024;
    constexpr int BLOCKS = 100;
    TempDir dir;
    TempDir out_dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    std::string out_path = out_dir.path() + "/stdout";
    pty::TerminalOptions options;
    options.stdout_file = out_path;
    TerminalConsole console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));
    // Key-by-key mode first; the flood is sent once its text is in the file, so that it comes
    // in receives of its own.
    const std::string ready = "ready";
    ASSERT_TRUE(server.send_bytes(ready + "~~~1"));
    ASSERT_TRUE(wait_for_file_text(out_dir, "stdout", ready, WAIT_MS));
    pause_ms(100);
    std::string typed;
    std::string block(BLOCK, '\0');
    for (int i = 0; i < BLOCKS; ++i) {
        for (std::size_t at = 0; at < BLOCK; ++at) {
            block[at] = flood_byte(static_cast<std::uint64_t>(i) * BLOCK + at);
        }
        ASSERT_TRUE(server.send_bytes(block)) << "block " << i;
        char key = static_cast<char>('A' + i % 26);
        console.type(std::string(1, key));
        typed += key;
    }
    ASSERT_TRUE(server.wait_for_received(typed.size(), WAIT_MS));
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS * 4));
    EXPECT_EQ(console.exit_status(), 0) << console.stderr_text();
    EXPECT_EQ(server.received(), typed);
    expect_terminal_restored(console);

    // Read back in pieces: the text must be the flood exactly, the rest the echoed keys.
    std::ifstream in(out_path, std::ios::binary);
    std::string start(BANNER.size() + ready.size(), '\0');
    in.read(start.data(), static_cast<std::streamsize>(start.size()));
    EXPECT_EQ(start, BANNER + ready);
    std::uint64_t text_length = 0;
    std::uint64_t first_mismatch = UINT64_MAX;
    std::string echoed;
    std::vector<char> piece(BLOCK);
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        std::size_t got = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < got; ++i) {
            char byte = piece[i];
            if (byte >= 'A' && byte <= 'Z') {
                echoed += byte;
                continue;
            }
            if (first_mismatch == UINT64_MAX && byte != flood_byte(text_length)) {
                first_mismatch = text_length;
            }
            ++text_length;
        }
    }
    EXPECT_EQ(text_length, static_cast<std::uint64_t>(BLOCKS) * BLOCK);
    EXPECT_EQ(first_mismatch, UINT64_MAX) << "text differs from offset " << first_mismatch;
    EXPECT_EQ(echoed, typed);
}

// ---------------------------------------------------------------------------------------------
// Text in small pieces, and markers cut apart

// Text sent one byte per write, 8-bit bytes and lone and double tildes included, arrives
// intact however the receives fall. The bytes of a marker sent apart, with pauses long enough
// that each is received alone, are only text: the status stays 0 and the session goes on. A
// NUL received alone shows nothing.
TEST_F(CommandSession, OneByteWritesKeepTheTextAndSplitMarkersAreText) {
    start();
    // Every tilde or pair of tildes is followed by a letter: the text holds no marker, however
    // it is received.
    std::string text;
    for (int i = 0; i < 600; ++i) {
        text += i % 13 == 5 ? "~~" : i % 7 == 3 ? "~" : i % 11 == 0 ? "\xe9" : "";
        text += static_cast<char>('a' + i % 26);
        if (i % 50 == 49) text += '\n';
    }
    ASSERT_EQ(text.find("~~~"), NOT_FOUND);
    for (char byte : text) ASSERT_TRUE(server_.send_bytes(std::string(1, byte)));
    ASSERT_TRUE(console_->wait_for_stdout(text, WAIT_MS));

    const int apart_ms = 200;
    pause_ms(apart_ms);
    ASSERT_TRUE(server_.send_separately({"~", "~", "~", "6", "5", "\n"}, apart_ms));
    pause_ms(apart_ms);
    ASSERT_TRUE(server_.send_bytes(std::string(1, '\0')));
    pause_ms(apart_ms);
    ASSERT_TRUE(server_.send_bytes("after\n"));
    ASSERT_TRUE(console_->wait_for_stdout("after\n", WAIT_MS));
    pause_ms(apart_ms);
    end_and_expect(0, text + "~~~65\nafter\n");
}

// A marker cut between two receives is obeyed by no one: not the end of the session, not a
// status. Cut inside the tildes, both pieces are displayed as text; cut between the tildes and
// the control character, the first receive ends with a marker that has no control, which is
// taken out of the text, and the control character arrives as text.
TEST_F(CommandSession, MarkerSplitAcrossTwoReceivesIsText) {
    start();
    struct Split {
        std::string first, second, shown;
    };
    const std::vector<Split> splits = {
        {"a~~", "~67\n", "a~~~67\n"},
        {"b~", "~~68\n", "b~~~68\n"},
        {"d~~", "~0\n", "d~~~0\n"},
        {"c~~~", "69\n", "c69\n"},
    };
    std::string expected;
    for (const Split& split : splits) {
        ASSERT_TRUE(server_.send_separately({split.first, split.second}, 200));
        expected += split.shown;
        ASSERT_TRUE(console_->wait_for_stdout(expected, WAIT_MS)) << console_->stdout_text();
        pause_ms(200);
    }
    EXPECT_FALSE(console_->exited());
    end_and_expect(0, expected);
}

// ---------------------------------------------------------------------------------------------
// Titles a terminal would obey

// The title sequences on a screen: what stands between each "ESC ] 2 ;" and the BEL after it
// (an unterminated one is returned up to the end of the screen).
std::vector<std::string> titles_on(const std::string& screen) {
    std::vector<std::string> titles;
    for (std::size_t at = screen.find(TITLE_START); at != NOT_FOUND;
         at = screen.find(TITLE_START, at + 1)) {
        std::size_t start = at + std::string(TITLE_START).size();
        std::size_t end = screen.find('\007', start);
        titles.push_back(screen.substr(start, end == NOT_FOUND ? NOT_FOUND : end - start));
    }
    return titles;
}

bool is_control_byte(char byte) {
    unsigned char value = static_cast<unsigned char>(byte);
    return value < 0x20 || (value >= 0x7f && value <= 0x9f);
}

// The locale the console runs in, and what becomes of 8-bit and UTF-8 titles there.
struct TitleLocale {
    const char* locale;
    const char* eight_bit;  // "caf\xe9 \xc3\xa9t\xe9 \xff\xa0"
    const char* utf8;       // "Заказ № 5 – €10"
};

void PrintTo(const TitleLocale& value, std::ostream* out) {
    *out << value.locale;
}

const char* const UTF8_TITLE =
    "\xd0\x97\xd0\xb0\xd0\xba\xd0\xb0\xd0\xb7 \xe2\x84\x96 5 \xe2\x80\x93 \xe2\x82\xac"
    "10";

class HostileTitleTest : public ::testing::TestWithParam<TitleLocale> {};

// Titles holding a NUL, 8-bit text, escape sequences, C1 controls (raw and UTF-8 encoded), a
// run of ESC longer than any title, and UTF-8 text: at the terminal each becomes one title
// sequence with no control of the server's in it (a byte one where the character set has one
// byte a character, a character one in UTF-8), the NUL ends the title, and an empty argument
// brings the session's title back. In UTF-8, characters pass whole and malformed sequences do
// not; elsewhere every byte that is not a control passes. Nothing of any title reaches
// standard output.
TEST_P(HostileTitleTest, TitleSequencesCarryNoControlsFromTheServer) {
    SKIP_FOR_WINDOWS(
        "the title is the console's own on Windows: WindowsConsole.TitleSetAndRestored");
    TempDir dir;
    TempDir out_dir;
    ScriptedServer server;
    dir.write_file(ADDRESS_FILE_NAME, harness::loopback_address_file(server.port()));
    std::string out_path = out_dir.path() + "/stdout";
    pty::TerminalOptions options;
    options.stdout_file = out_path;
    // The server's own code page is not converted here: the titles are the filter's to judge.
    options.extra_environment = {std::string("LC_ALL=") + GetParam().locale,
                                 "VELDRIN_CODEPAGE=none"};
    TerminalConsole console({"-p" + dir.path()}, options);
    ASSERT_TRUE(console.wait_for_key_mode(WAIT_MS));
    ASSERT_TRUE(server.accept_connection(WAIT_MS));

    const std::vector<std::string> arguments = {
        bytes("1~A\0\033]0;after the NUL\007"),
        "1~caf\xe9 \xc3\xa9t\xe9 \xff\xa0",
        "1~x\033]0;evil\007y\x9b"
        "31mz\x90q\x9c\x7f\x85\x1b[2J",
        "1~\xc2\x9b"
        "2J\xc2\x9d"
        "0;x\xc2\x9c",
        "1~" + std::string(1000, '\033'),
        std::string("1~") + UTF8_TITLE,
        "",
    };
    std::string shown;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string text = "t" + std::to_string(i) + ".";
        ASSERT_TRUE(server.send_bytes(text + "~~~5" + arguments[i]));
        shown += text;
        ASSERT_TRUE(wait_for_file_text(out_dir, "stdout", shown, WAIT_MS))
            << out_dir.read_file("stdout");
    }
    ASSERT_TRUE(server.send_bytes("~~~0"));
    ASSERT_TRUE(console.wait_exit(WAIT_MS));
    EXPECT_EQ(console.exit_status(), 0) << console.stderr_text();
    expect_terminal_restored(console);
    EXPECT_EQ(out_dir.read_file("stdout"), BANNER + shown);

    std::vector<std::string> titles = titles_on(console.screen());
    ASSERT_EQ(titles.size(), arguments.size() + 1);  // the console's own title first
    bool utf8 = std::string(GetParam().locale).find("UTF-8") != NOT_FOUND;
    for (const std::string& title : titles) {
        for (std::size_t i = 0; i < title.size(); ++i) {
            unsigned char byte = static_cast<unsigned char>(title[i]);
            // In UTF-8, 0x80 to 0x9F inside a character are not controls; C2 80 to C2 9F are.
            bool control = utf8 ? byte < 0x20 || byte == 0x7f ||
                                      (byte == 0xc2 && i + 1 < title.size() &&
                                       static_cast<unsigned char>(title[i + 1]) <= 0x9f)
                                : is_control_byte(title[i]);
            EXPECT_FALSE(control) << "byte " << static_cast<int>(byte) << " in \"" << title << "\"";
        }
    }
    EXPECT_EQ(titles[0], CONSOLE_TITLE);
    EXPECT_EQ(titles[1], "A");
    EXPECT_EQ(titles[2], GetParam().eight_bit);
    EXPECT_EQ(titles[6], GetParam().utf8);
    EXPECT_EQ(titles[7], CONSOLE_TITLE);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, HostileTitleTest,
    ::testing::Values(TitleLocale{"C", "caf\xe9 \xc3\xa9t\xe9 \xff\xa0",
                                  "\xd0?\xd0\xb0\xd0\xba\xd0\xb0\xd0\xb7 \xe2?? 5 \xe2?? \xe2?\xac"
                                  "10"},
                      TitleLocale{"C.UTF-8", "caf? \xc3\xa9t? ??", UTF8_TITLE}),
    [](const ::testing::TestParamInfo<TitleLocale>& info) {
        return std::string(info.param.locale).find("UTF-8") != NOT_FOUND ? "Utf8" : "EightBit";
    });

// Command mode, standard output redirected: a hostile title leaves no trace in it.
TEST_F(CommandSession, HostileTitleNeverReachesRedirectedOutput) {
    start();
    ASSERT_TRUE(server_.send_separately({"before\n",
                                         bytes("~~~51~\033]0;evil\007\x9b"
                                               "2J\xe9\0hidden"),
                                         "after\n"},
                                        200));
    ASSERT_TRUE(console_->wait_for_stdout("after\n", WAIT_MS));
    end_and_expect(0, "before\nafter\n");
}

// ---------------------------------------------------------------------------------------------
// Launch arguments that claim the most

// Lengths of 999 ask for more than a short argument holds, and more than what is left of a
// chunk when the rest of the command would only come in the next chunk of the same write:
// nothing starts, and the next chunk is shown as text. The same lengths with 999 characters of
// command in the chunk do start the program (so the probe used here would have seen the
// others).
TEST_F(CommandSession, LaunchLengthsOfNineNineNine) {
    SKIP_FOR_WINDOWS("POSIX programs; Windows programs: WindowsConsole");
    start();
    auto touch = [this](const std::string& name) { return "touch " + dir_.path() + "/" + name; };

    ASSERT_TRUE(server_.send_bytes("one.~~~3999~0~999~" + touch("short") + "|T"));
    ASSERT_TRUE(console_->wait_for_stdout("one.", WAIT_MS));
    pause_ms(200);

    std::string head =
        "two." + std::string(196, '.');  // leaves 820 bytes of chunk for the argument
    std::string argument = "999~0~999~" + touch("cut");
    std::string chunk = head + "~~~3" + argument;
    chunk += std::string(CHUNK - chunk.size(), ' ');
    std::string next = "next chunk\n" + std::string(1500, 'n') + "\n";
    ASSERT_TRUE(server_.send_bytes(chunk + next));
    ASSERT_TRUE(console_->wait_for_stdout(next, WAIT_MS));
    pause_ms(200);

    std::string command = touch("full");
    command += std::string(999 - command.size(), ' ');
    ASSERT_TRUE(server_.send_bytes("three.~~~3999~0~999~" + command + "|T"));
    ASSERT_TRUE(console_->wait_for_stdout("three.", WAIT_MS));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (!dir_.file_exists("full") && std::chrono::steady_clock::now() < deadline) pause_ms(20);
    EXPECT_TRUE(dir_.file_exists("full"));
    EXPECT_FALSE(dir_.file_exists("short"));
    EXPECT_FALSE(dir_.file_exists("cut"));
    end_and_expect(0, "one." + head + next + "three.");
}

// ---------------------------------------------------------------------------------------------
// Silence

// A server that never sends anything: the console sends "CLOSE" about 3 s after the command,
// then goes on waiting for the server (it never ends a session itself), and ends when the
// server closes, with status 0 and nothing shown.
TEST_F(CommandSession, SilentServerGetsCloseAndTheConsoleEndsWhenItCloses) {
    start("QUIET");
    ASSERT_TRUE(server_.wait_for_received(MODE.size() + 5 + CLOSE.size(), WAIT_MS));
    std::vector<harness::Receive> receives = server_.receives();
    ASSERT_GE(receives.size(), 3u);
    EXPECT_EQ(server_.received(), MODE + "QUIET" + CLOSE);
    EXPECT_GE(milliseconds_between(receives[receives.size() - 2].at, receives.back().at), 2500);
    pause_ms(1500);
    EXPECT_FALSE(console_->exited());
    server_.close_connection();
    ASSERT_TRUE(console_->wait_exit(WAIT_MS));
    EXPECT_EQ(console_->exit_status(), 0) << console_->stderr_text();
    EXPECT_EQ(console_->stdout_text(), "");
    EXPECT_EQ(server_.connection_count(), 1);
}

}  // namespace
