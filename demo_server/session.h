// The demo server's sessions: what a stand-in for the database manager says to a console.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace demo {

// The pause after every write, so that consecutive writes reach the console in separate
// receives and each marker is read on its own.
constexpr int WRITE_PAUSE_MS = 30;
// How long a new connection is given to announce command mode before it is taken for an
// interactive console (which sends nothing until the user types).
constexpr int MODE_WAIT_MS = 400;
// How long a finished session waits for the console to close its side.
constexpr int CLOSE_WAIT_MS = 5000;

// One connected console. The socket stays its owner's to close.
class Session {
  public:
    Session(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the whole session: command mode when the console starts with "MODE 1" and its NUL,
    // the interactive menus otherwise.
    void run();

  private:
    // One write of text, then the pause. Text longer than a console receive is split.
    bool say(std::string_view text);
    // One write holding optional text, then a marker and its argument last, then the pause.
    bool control(char code, std::string_view argument = {}, std::string_view text = {});
    // One receive (a typed line, a key, or a message of the console's). False when the
    // console went away or the server is stopping. timeout_ms -1: no time-out; on a time-out
    // *timed_out is set and the result is true with an empty message.
    bool receive(std::string* message, int timeout_ms = -1, bool* timed_out = nullptr);
    // Sends the end-of-session marker, then waits for the console to close.
    void finish();

    void command_mode(std::string first);
    void run_command(const std::string& text);
    void interactive_mode();
    bool ask(std::string_view prompt, std::string* answer);
    bool quick_menu();

    int fd_;
    const std::atomic<bool>& stopping_;
};

// The text of the orders list and of one order's report (shared by both modes).
std::string orders_list();
// Empty when there is no such order.
std::string order_report(unsigned long number);
// Trims white space at both ends.
std::string trim(std::string_view text);
// The first word in upper case, and the rest after the white space that follows it.
void split_command(const std::string& text, std::string* verb, std::string* rest);
// True when text is one or more decimal digits and nothing else.
bool all_digits(std::string_view text);
// The argument of the title marker for a title: "N~title".
std::string title_argument(std::string_view title);

}  // namespace demo
