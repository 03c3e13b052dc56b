// A program run as a child process with its output captured: the console, or any program.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "spawner.h"
#include "temp_dir.h"

namespace harness {

// How a started program's standard input (and, for TERMINAL, its output) is connected.
enum class InputMode {
    NONE,      // /dev/null
    PIPE,      // a pipe the test writes with write_input; close_input gives end of file
    TERMINAL,  // a new pseudo-terminal, the program's controlling terminal: standard input and
               // standard output are its slave side; what the program writes to it (including
               // anything written to /dev/tty) is read back as stdout_text(); write_input types
               // on its keyboard. Standard error still goes to its own pipe.
};

struct ProcessOptions {
    std::string program = {};            // empty: the console (console_command)
    std::string working_directory = {};  // empty: the test's own
    InputMode input = InputMode::NONE;
    std::vector<std::string> extra_environment = {};  // "NAME=value", over the test's own
    unsigned short terminal_rows = 24;
    unsigned short terminal_columns = 80;
};

// A program run as a child process (through spawn, no shell): argv[0] is the program's path,
// args follow it unchanged; the console is run with its launcher's words first. Standard output and
// standard error are captured by a background thread. The destructor kills the program (SIGKILL)
// and reaps it if it is still running.
class ConsoleProcess {
  public:
    explicit ConsoleProcess(const std::vector<std::string>& args, ProcessOptions options = {});
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True when the program was started.
    bool started() const { return pid_ > 0; }

    // Waits until the program has ended (and then, briefly, for its output to be drained).
    bool wait_exit(int timeout_ms);
    bool exited() const;
    // The exit status (0..255) once it ended normally; -1 while running or when a signal ended
    // it.
    int exit_status() const;
    // The signal that ended it, or 0.
    int term_signal() const;
    // Sends a signal to the program (while it runs).
    void send_signal(int signal_number);
    // SIGKILL and reap, at once.
    void kill_now();

    // What the program wrote so far.
    std::string stdout_text() const;
    std::string stderr_text() const;
    // Waits until standard output (stderr for the second) holds needle.
    bool wait_for_stdout(std::string_view needle, int timeout_ms) const;
    bool wait_for_stderr(std::string_view needle, int timeout_ms) const;

    // Writes to the program's input (InputMode PIPE or TERMINAL); false on failure.
    bool write_input(std::string_view data);
    // Closes the input pipe (end of file for the program). InputMode PIPE only.
    void close_input();
    // The master side of the pseudo-terminal (InputMode TERMINAL), or -1, for tests that need
    // to look at the terminal's settings (tcgetattr).
    int terminal_fd() const { return terminal_master_; }

  private:
    void drain();
    bool reap(int options);

    pid_t pid_ = -1;
    int stdout_fd_ = -1;  // pipe read end, or the terminal master for TERMINAL
    int stderr_fd_ = -1;
    int input_fd_ = -1;  // pipe write end (PIPE), or a dup of the master (TERMINAL)
    int terminal_master_ = -1;
    int wait_status_ = 0;
    bool reaped_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string stdout_;
    std::string stderr_;
    bool stdout_done_ = false;
    bool stderr_done_ = false;
    int stop_pipe_[2] = {-1, -1};
    std::thread drainer_;
};

// The console run with its standard output on a pipe that the test reads only when it chooses,
// so that the console's main thread can be held in a write while the test acts. SIGPIPE has its
// default action in the console, as it would from a shell. It runs in a session of its own (no
// controlling terminal, whoever runs the tests); standard input is /dev/null and standard error
// a file in dir, unless the test says otherwise. The destructor kills it if it still runs.
class HeldOutputConsole {
  public:
    HeldOutputConsole(const std::vector<std::string>& args, const TempDir& dir,
                      Stream output = Stream::PIPE, Stream input = Stream::NULL_DEVICE,
                      Stream errors = Stream::FILE);
    ~HeldOutputConsole();
    HeldOutputConsole(const HeldOutputConsole&) = delete;
    HeldOutputConsole& operator=(const HeldOutputConsole&) = delete;

    // How many bytes wait unread in the output pipe, and how many it can hold.
    int output_waiting() const;
    int output_capacity() const;
    // Sets the pipe's size (the console enlarges it when it starts); false on failure.
    bool set_output_capacity(int bytes);

    bool running();
    // Reads the output (if a pipe) to its end, then waits for the console's end; what it read.
    std::string read_to_end_and_wait(int timeout_ms);
    bool reaped() const { return reaped_; }
    // As ConsoleProcess's, once reaped.
    int exit_status() const;
    int term_signal() const;
    // What it wrote to standard error.
    std::string errors() const;

  private:
    const TempDir& dir_;
    pid_t pid_ = -1;
    int output_fd_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

// The children of a process, zombies included, read from each of its threads; sorted.
std::vector<std::string> children_of(pid_t pid);

}  // namespace harness
