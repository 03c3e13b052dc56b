#include "spawner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "common.h"

extern char** environ;

namespace harness {

using detail::close_fd;
using detail::fail;

std::string console_path() {
    const char* path = std::getenv("VELDRIN_CONSOLE");
    return path != nullptr && *path != '\0' ? path : VELDRIN_BINARY;
}

std::vector<std::string> console_launcher() {
    std::vector<std::string> words;
    const char* launcher = std::getenv("VELDRIN_CONSOLE_LAUNCHER");
    std::istringstream in(launcher != nullptr ? launcher : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool console_is_windows() {
    std::string path = console_path();
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

std::vector<std::string> console_command(const std::vector<std::string>& args) {
    std::vector<std::string> words = console_launcher();
    words.push_back(console_path());
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::string windows_helper(const std::string& name) {
    std::string console = console_path();
    return console.substr(0, console.find_last_of('/') + 1) + "test-helpers/" + name + ".exe";
}

std::vector<std::string> windows_parent_command(const std::vector<std::string>& args,
                                                const std::string& program) {
    std::vector<std::string> words = console_launcher();
    words.push_back(windows_helper("exit_code_probe"));
    words.push_back(program.empty() ? console_path() : program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

Terminal open_terminal(unsigned short rows, unsigned short columns) {
    Terminal terminal;
    terminal.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal.master < 0) fail("posix_openpt");
    char name[128];
    if (::grantpt(terminal.master) != 0 || ::unlockpt(terminal.master) != 0 ||
        ::ptsname_r(terminal.master, name, sizeof name) != 0) {
        int saved = errno;
        close_fd(terminal.master);
        errno = saved;
        fail("grantpt/unlockpt/ptsname_r");
    }
    terminal.slave_name = name;
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    ::ioctl(terminal.master, TIOCSWINSZ, &size);
    return terminal;
}

namespace {

// posix_spawn's attributes and file actions, and the child's ends of its pipes: all released
// whatever happens.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    std::vector<int> child_ends;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        for (int& fd : child_ends) close_fd(fd);
    }
};

// Connects standard stream number target as asked; a pipe's end for the test goes to *ours.
void connect_stream(SpawnSetup& setup, int target, Stream stream, const std::string& file,
                    const std::string& terminal_name, int* ours) {
    bool reading = target == 0;
    switch (stream) {
        case Stream::NULL_DEVICE:
            posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                             reading ? O_RDONLY : O_WRONLY, 0);
            break;
        case Stream::CLOSED:
            posix_spawn_file_actions_addclose(&setup.actions, target);
            break;
        case Stream::PIPE:
        case Stream::NONBLOCKING_PIPE: {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
            *ours = reading ? ends[1] : ends[0];
            setup.child_ends.push_back(reading ? ends[0] : ends[1]);
            if (stream == Stream::NONBLOCKING_PIPE)
                ::fcntl(setup.child_ends.back(), F_SETFL, O_NONBLOCK);
            posix_spawn_file_actions_adddup2(&setup.actions, setup.child_ends.back(), target);
            break;
        }
        case Stream::TERMINAL:
            // In a new session, the first terminal opened becomes the controlling terminal.
            posix_spawn_file_actions_addopen(&setup.actions, target, terminal_name.c_str(), O_RDWR,
                                             0);
            break;
        case Stream::FILE:
            posix_spawn_file_actions_addopen(&setup.actions, target, file.c_str(),
                                             reading ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC,
                                             0600);
            break;
    }
}

}  // namespace

Spawned spawn(const SpawnRequest& request) {
    if (request.argv.empty()) {
        errno = EINVAL;
        fail("spawn without a program");
    }
    std::vector<std::string> argument_strings = request.argv;
    std::vector<char*> argv;
    for (auto& argument : argument_strings) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The extra entries replace the test's own entries of the same name. The locale is pinned
    // to C unless the request gives it, so that the program sees the same character set in any
    // locale the tests run in, and the console's own settings (every VELDRIN_* variable) are
    // left out unless the request gives them, so that none set where the tests run changes
    // what a test sees.
    auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> extra = request.extra_environment;
    auto given = [&extra, &name_of](const std::string& name) {
        for (const std::string& entry : extra)
            if (name_of(entry) == name) return true;
        return false;
    };
    if (!given("LC_ALL")) extra.push_back("LC_ALL=C");
    // A program at a terminal sees one that takes escape sequences, wherever the tests run
    // (CI has no TERM); a test of a plain terminal gives TERM itself.
    bool at_terminal = request.input == Stream::TERMINAL || request.output == Stream::TERMINAL;
    if (at_terminal && !given("TERM") && !harness::console_is_windows())
        extra.push_back("TERM=xterm");
    std::vector<std::string> environment_strings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string name = name_of(*entry);
        if (!given(name) && name.rfind("VELDRIN_", 0) != 0) environment_strings.push_back(*entry);
    }
    // An entry with no '=' leaves the variable out.
    for (const std::string& entry : extra)
        if (entry.find('=') != std::string::npos) environment_strings.push_back(entry);
    std::vector<char*> envp;
    for (auto& entry : environment_strings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // A write to the input of a program that has ended must fail, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    Spawned spawned;
    bool uses_terminal = request.input == Stream::TERMINAL || request.output == Stream::TERMINAL ||
                         request.errors == Stream::TERMINAL;
    Terminal terminal = request.terminal;
    if (uses_terminal && terminal.master < 0) {
        terminal = open_terminal(request.terminal_rows, request.terminal_columns);
        spawned.terminal_master = terminal.master;
    }

    SpawnSetup setup;
    // Standard input first: when it is the terminal, that open makes it the controlling one.
    connect_stream(setup, 0, request.input, request.input_file, terminal.slave_name,
                   &spawned.input);
    if (request.output == Stream::TERMINAL && request.input == Stream::TERMINAL) {
        posix_spawn_file_actions_adddup2(&setup.actions, 0, 1);
    } else {
        connect_stream(setup, 1, request.output, request.output_file, terminal.slave_name,
                       &spawned.output);
    }
    connect_stream(setup, 2, request.errors, request.errors_file, terminal.slave_name,
                   &spawned.errors);
    if (!request.working_directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, request.working_directory.c_str());
    }

    sigset_t empty_mask, defaults;
    sigemptyset(&empty_mask);
    sigemptyset(&defaults);
    for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGTTIN, SIGTTOU,
                              SIGTSTP, SIGWINCH, SIGALRM, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signal_number);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (request.new_session || uses_terminal) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setsigmask(&setup.attributes, &empty_mask);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, flags);

    const std::string& program = request.argv[0];
    int result = program.find('/') == std::string::npos
                     ? ::posix_spawnp(&spawned.pid, program.c_str(), &setup.actions,
                                      &setup.attributes, argv.data(), envp.data())
                     : ::posix_spawn(&spawned.pid, program.c_str(), &setup.actions,
                                     &setup.attributes, argv.data(), envp.data());
    if (result != 0) {
        close_fd(spawned.input);
        close_fd(spawned.output);
        close_fd(spawned.errors);
        close_fd(spawned.terminal_master);
        errno = result;
        fail("posix_spawn " + program);
    }
    return spawned;
}

}  // namespace harness
