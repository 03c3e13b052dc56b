// Runs the built console under a pseudo-terminal, as a user at a terminal would: the terminal is
// the console's controlling terminal and its standard input (and, unless redirected, its
// standard output); the test types on its keyboard and reads what reaches its screen.
//
// The test keeps the terminal's slave side open for the whole run, so its settings can be read
// before the console starts and after it has ended (the system would otherwise reset them when
// the last user closes it) and compared.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pty {

struct TerminalOptions {
    std::string working_directory = {};  // empty: the test's own
    std::string stdout_file = {};        // not empty: standard output goes to this file instead
    // A Windows console only: run it under test-helpers/exit_code_probe.exe, a Windows parent
    // that shares its console and reports on standard error how it found the console's input
    // mode and title before and after (harness::windows_parent_command).
    bool windows_parent = false;
    std::string windows_program = {};  // with windows_parent: run this instead of the console
    // Run it as a shell runs a job: under test-helpers/fake_terminal --job, the session's
    // leader, in a process group of its own that owns the terminal, so that stops from job
    // control take effect (the system drops them for a session leader's own group).
    bool shell_job = false;
    unsigned short rows = 24;
    unsigned short columns = 80;
    std::vector<std::string> extra_environment = {};  // "NAME=value" (LC_ALL is C unless given)
};

class TerminalConsole {
  public:
    // Starts the console (console_command) with these arguments in a new session whose
    // controlling terminal is a new pseudo-terminal. The terminal starts in the usual line mode
    // with a few settings of its own, so that a restore to the system's defaults would show.
    explicit TerminalConsole(const std::vector<std::string>& args, TerminalOptions options = {});
    ~TerminalConsole();
    TerminalConsole(const TerminalConsole&) = delete;
    TerminalConsole& operator=(const TerminalConsole&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The console's own process: the job of a shell_job run, else pid(). -1 when not found.
    pid_t console_pid() const;
    // Waits until the console is stopped by job control (stopped true) or no longer is.
    bool wait_stopped(bool stopped, int timeout_ms) const;

    // The settings the terminal had when the console started, and its settings now.
    const termios& settings_at_start() const { return at_start_; }
    termios settings_now() const;
    // Sets the terminal's settings, as a shell does while the console is stopped.
    bool set_settings(const termios& settings);
    // Waits until the console has put the terminal in its key-by-key input mode.
    bool wait_for_key_mode(int timeout_ms) const;

    // Types on the terminal's keyboard.
    bool type(std::string_view keys);

    // Everything that has reached the terminal's screen so far.
    std::string screen() const;
    // Waits until the screen, from offset from on, holds needle. The offset of its start, or
    // std::string::npos when it did not come in time.
    std::size_t wait_for_screen(std::string_view needle, int timeout_ms,
                                std::size_t from = 0) const;
    std::string stderr_text() const;

    bool wait_exit(int timeout_ms);
    bool exited() const { return reaped_; }
    // 0..255 after a normal exit; -1 while running or after a signal.
    int exit_status() const;
    // The signal that ended the console, or 0.
    int term_signal() const;
    // Sends a signal to the console's own process.
    void send_signal(int signal_number);

  private:
    void drain();

    pid_t pid_ = -1;
    mutable pid_t job_pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int stderr_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    termios at_start_{};
    int wait_status_ = 0;
    bool reaped_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string screen_;
    std::string stderr_;
    std::thread drainer_;
};

// Presses one key on the console's terminal every few milliseconds until stopped.
class Typist {
  public:
    Typist(TerminalConsole& console, char key, int interval_ms);
    ~Typist() { stop(); }
    Typist(const Typist&) = delete;
    Typist& operator=(const Typist&) = delete;
    void stop();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The settings as one line of numbers, like `stty -g`, for comparing and for messages.
std::string settings_text(const termios& settings);

// How often needle occurs in text.
std::size_t count_of(std::string_view text, std::string_view needle);

}  // namespace pty
