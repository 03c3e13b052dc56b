// Starting a program for a test: the one place where tests create processes. The console under
// test is found through the environment, so that the same tests can drive another build of it:
//
//   VELDRIN_CONSOLE           the console's path (default: the one built with the tests)
//   VELDRIN_CONSOLE_LAUNCHER  words put in front of it, split at spaces (e.g. "wine64")
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace harness {

// The console under test.
std::string console_path();
// The launcher's words, or none.
std::vector<std::string> console_launcher();
// True when the console under test is a Windows program (its path ends in ".exe").
bool console_is_windows();
// The words that run the console with these arguments: the launcher's, the console's path, and
// args.
std::vector<std::string> console_command(const std::vector<std::string>& args);

// A Windows test helper built beside a Windows console (its test-helpers/NAME.exe).
std::string windows_helper(const std::string& name);
// The words that run the Windows console with these arguments under the Windows parent
// exit_code_probe.exe: the launcher's, the probe's path, the console's path (or another
// Windows program's), and args.
std::vector<std::string> windows_parent_command(const std::vector<std::string>& args,
                                                const std::string& program = "");

// Where one of the program's standard streams goes.
enum class Stream {
    NULL_DEVICE,       // /dev/null
    PIPE,              // a pipe whose other end the test gets back
    TERMINAL,          // the pseudo-terminal's slave side (the program's controlling terminal)
    FILE,              // a file: read for standard input; created or emptied for output
    CLOSED,            // no descriptor at all, as some daemons start their children
    NONBLOCKING_PIPE,  // PIPE, with O_NONBLOCK set on the program's end (a shared pipe left so)
};

// A pseudo-terminal: the master side, and the name of the slave side.
struct Terminal {
    int master = -1;
    std::string slave_name = {};
};

// A new pseudo-terminal of this size (close-on-exec master). Throws on failure.
Terminal open_terminal(unsigned short rows, unsigned short columns);

struct SpawnRequest {
    // argv[0] is the program: a path, or a name looked up in PATH (a launcher's "wine64").
    std::vector<std::string> argv = {};
    // "NAME=value" entries that replace the test's own entries of the same name. Unless they
    // say otherwise, LC_ALL is C and no VELDRIN_* variable is set.
    std::vector<std::string> extra_environment = {};
    std::string working_directory = {};  // empty: the test's own
    Stream input = Stream::NULL_DEVICE;
    Stream output = Stream::PIPE;
    Stream errors = Stream::PIPE;
    std::string input_file = {};  // Stream::FILE paths
    std::string output_file = {};
    std::string errors_file = {};
    // The pseudo-terminal for Stream::TERMINAL. When its master is -1, a new one of this size is
    // opened and handed back.
    Terminal terminal = {};
    unsigned short terminal_rows = 24;
    unsigned short terminal_columns = 80;
    // A session of its own (always, when a stream is the terminal, which then becomes its
    // controlling terminal).
    bool new_session = false;
};

// The started program and the test's ends of its streams (all close-on-exec; the caller closes
// them). The master of a terminal serves both as input and output; it is in terminal_master
// only, and -1 in input and output.
struct Spawned {
    pid_t pid = -1;
    int input = -1;   // PIPE: the write end
    int output = -1;  // PIPE: the read end
    int errors = -1;  // PIPE: the read end
    int terminal_master = -1;
};

// Starts the program (no shell) with an empty signal mask and the default actions for the
// signals a test may have changed, and SIGPIPE ignored in the test itself, so that a write to a
// program that has ended fails instead of ending the test. Throws when it cannot be started.
Spawned spawn(const SpawnRequest& request);

}  // namespace harness
