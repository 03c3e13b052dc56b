// Processes: command_program, process_create and process_terminate of platform.h, over
// posix_spawn and process file descriptors. Programs the server starts on the console's
// machine, and the one it may end later.
//
// Programs are started with posix_spawn and never waited for. The console keeps hold of the
// program it was asked to remember through a process file descriptor, so ending it can never
// reach another process that has since been given the same id. Programs that end are reaped by
// the system (SA_NOCLDWAIT), so none is left behind as a zombie.
#include "platform/posix/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/platform.h"

extern char** environ;

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace platform {

namespace posix {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Characters a backslash escapes inside double quotes.
bool escapes_in_double_quotes(char c) {
    return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

bool is_executable_file(const char* name) {
    struct stat status {};
    return stat(name, &status) == 0 && S_ISREG(status.st_mode) && access(name, X_OK) == 0;
}

bool copy_name(const char* name, char* found, std::size_t capacity) {
    std::size_t length = std::strlen(name);
    if (length >= capacity) return false;
    std::memcpy(found, name, length + 1);
    return true;
}

}  // namespace

bool split_command(const char* command, CommandWords* words) {
    if (strnlen(command, COMMAND_TEXT_MAX + 1) > COMMAND_TEXT_MAX) return false;
    // Each word's characters come from at least as many characters of the command, and the
    // blank (or the end) after a word makes room for its NUL: text never overflows.
    char* out = words->text;
    int count = 0;
    bool in_word = false;
    const char* at = command;
    while (*at != '\0') {
        char c = *at;
        if (is_blank(c)) {
            if (in_word) *out++ = '\0';
            in_word = false;
            ++at;
            continue;
        }
        if (c == '\\' && at[1] == '\n') {
            at += 2;
            continue;
        }
        if (!in_word) {
            if (count == COMMAND_WORDS_MAX) return false;
            words->words[count++] = out;
            in_word = true;
        }
        if (c == '\\') {
            if (at[1] == '\0') {
                *out++ = '\\';
                ++at;
            } else {
                *out++ = at[1];
                at += 2;
            }
        } else if (c == '\'') {
            ++at;
            while (*at != '\0' && *at != '\'') *out++ = *at++;
            if (*at == '\0') return false;
            ++at;
        } else if (c == '"') {
            ++at;
            while (*at != '\0' && *at != '"') {
                if (*at == '\\' && escapes_in_double_quotes(at[1])) {
                    if (at[1] != '\n') *out++ = at[1];
                    at += 2;
                } else {
                    *out++ = *at++;
                }
            }
            if (*at == '\0') return false;
            ++at;
        } else {
            *out++ = c;
            ++at;
        }
    }
    if (in_word) *out++ = '\0';
    words->words[count] = nullptr;
    words->count = count;
    return true;
}

LaunchStyle launch_style(std::uint32_t flags, bool window_available) {
    if (flags & DETACHED_PROCESS) return LAUNCH_DETACHED;
    if (flags & CREATE_NEW_CONSOLE) return window_available ? LAUNCH_NEW_TERMINAL : LAUNCH_DETACHED;
    return LAUNCH_SHARED_TERMINAL;
}

bool find_program(const char* name, const char* search_path, char* found, std::size_t capacity) {
    if (name[0] == '\0') return false;
    if (std::strchr(name, '/')) return is_executable_file(name) && copy_name(name, found, capacity);
    if (!search_path) search_path = "/bin:/usr/bin";
    std::size_t name_length = std::strlen(name);
    char candidate[PATH_MAX];
    const char* entry = search_path;
    for (;;) {
        const char* colon = std::strchr(entry, ':');
        std::size_t entry_length =
            colon ? static_cast<std::size_t>(colon - entry) : std::strlen(entry);
        const char* directory = entry_length ? entry : ".";
        std::size_t directory_length = entry_length ? entry_length : 1;
        if (directory_length + 1 + name_length < sizeof candidate) {
            std::memcpy(candidate, directory, directory_length);
            candidate[directory_length] = '/';
            std::memcpy(candidate + directory_length + 1, name, name_length + 1);
            if (is_executable_file(candidate)) return copy_name(candidate, found, capacity);
        }
        if (!colon) return false;
        entry = colon + 1;
    }
}

bool choose_terminal(const char* display, const char* wayland_display, const char* chosen,
                     const char* search_path, TerminalChoice* choice) {
    bool graphical = (display && display[0]) || (wayland_display && wayland_display[0]);
    if (!graphical) return false;
    if (chosen && split_command(chosen, &choice->words) && choice->words.count > 0 &&
        find_program(choice->words.words[0], search_path, choice->program,
                     sizeof choice->program)) {
        return true;
    }
    for (const char* name : DEFAULT_TERMINALS) {
        if (split_command(name, &choice->words) &&
            find_program(name, search_path, choice->program, sizeof choice->program)) {
            return true;
        }
    }
    return false;
}

bool terminal_arguments(const CommandWords& terminal, const char* title,
                        const CommandWords& program, char** arguments, int capacity) {
    if (terminal.count + 3 + program.count + 1 > capacity) return false;
    int count = 0;
    for (int i = 0; i < terminal.count; ++i) arguments[count++] = terminal.words[i];
    arguments[count++] = const_cast<char*>("-T");
    arguments[count++] = const_cast<char*>(title);
    arguments[count++] = const_cast<char*>("-e");
    for (int i = 0; i < program.count; ++i) arguments[count++] = program.words[i];
    arguments[count] = nullptr;
    return true;
}

}  // namespace posix

namespace {

// The remembered program: a process file descriptor for it (-1 when the console holds none).
// process_create and process_terminate run on the main thread only.
int held_descriptor = -1;

// Children that end are reaped by the system at once. Whatever SIGCHLD does otherwise is kept
// as it is; the console starts no children but its programs.
void reap_children_as_they_end() {
    static bool done = false;
    if (done) return;
    done = true;
    struct sigaction action {};
    if (sigaction(SIGCHLD, nullptr, &action) != 0) return;
    action.sa_flags |= SA_NOCLDWAIT;
    sigaction(SIGCHLD, &action, nullptr);
}

// Holds the new program: a descriptor that always means this process, whatever id the system
// later gives to others. The program may already have ended and its id gone to an unrelated
// process by the time the descriptor is opened; only a child of the console answers waitid, so
// a descriptor for anything else is let go.
void hold_process(pid_t process) {
    if (held_descriptor >= 0) close(held_descriptor);
    held_descriptor = static_cast<int>(syscall(SYS_pidfd_open, process, 0));
    if (held_descriptor < 0) return;
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(held_descriptor), &info,
               WEXITED | WNOHANG | WNOWAIT) != 0) {
        close(held_descriptor);
        held_descriptor = -1;
    }
}

// The start-up attributes common to every program: signals as a new program expects them (no
// signal blocked, every disposition the default: the console's own handlers and ignored
// signals stay behind) and no descriptor of the console's beyond the standard three.
bool prepare_spawn(posix_spawnattr_t* attributes, posix_spawn_file_actions_t* actions,
                   posix::LaunchStyle style, std::uint32_t flags) {
    short spawn_flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none;
    sigemptyset(&none);
    // Every signal back to its default, the C library's own real-time signals included:
    // sigfillset leaves those out, and a spawn that is not told to reset them starts the
    // program with them ignored. Every bit set is every signal the system has.
    sigset_t all;
    std::memset(&all, 0xff, sizeof all);
    if (posix_spawnattr_setsigmask(attributes, &none) != 0 ||
        posix_spawnattr_setsigdefault(attributes, &all) != 0) {
        return false;
    }
    if (style == posix::LAUNCH_SHARED_TERMINAL) {
        if (flags & CREATE_NEW_PROCESS_GROUP) {
            spawn_flags |= POSIX_SPAWN_SETPGROUP;
            if (posix_spawnattr_setpgroup(attributes, 0) != 0) return false;
        }
    } else {
        // A session of its own makes the program lead a new process group too, with no
        // controlling terminal.
        spawn_flags |= POSIX_SPAWN_SETSID;
        if (posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
            posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0) != 0 ||
            posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0) != 0) {
            return false;
        }
    }
    if (posix_spawn_file_actions_addclosefrom_np(actions, 3) != 0) return false;
    return posix_spawnattr_setflags(attributes, spawn_flags) == 0;
}

}  // namespace

const ProgramNaming PROGRAM_NAMING = {':', false};

bool command_program(char* command, std::size_t, char* program, std::size_t program_capacity) {
    // posix_spawnp runs the first word as it is: nothing to rewrite.
    static posix::CommandWords words;
    if (!posix::split_command(command, &words) || words.count == 0) return false;
    std::size_t length = std::strlen(words.words[0]);
    if (length >= program_capacity) return false;
    std::memcpy(program, words.words[0], length + 1);
    return true;
}

bool process_create(const char* command, const char* title, std::uint32_t flags, bool remember) {
    static posix::CommandWords program;
    static posix::TerminalChoice terminal;
    static char* terminal_words[2 * posix::COMMAND_WORDS_MAX + 5];

    if (!posix::split_command(command, &program) || program.count == 0) return false;
    bool window =
        posix::choose_terminal(getenv("DISPLAY"), getenv("WAYLAND_DISPLAY"),
                               getenv(posix::TERMINAL_VARIABLE), getenv("PATH"), &terminal);
    posix::LaunchStyle style = posix::launch_style(flags, window);
    if (style == posix::LAUNCH_NEW_TERMINAL) {
        // The emulator would only report a missing program in its window: the console checks
        // first, so that a program that cannot start starts nothing.
        char found[PATH_MAX];
        if (!posix::find_program(program.words[0], getenv("PATH"), found, sizeof found) ||
            !posix::terminal_arguments(terminal.words, title, program, terminal_words,
                                       static_cast<int>(std::size(terminal_words)))) {
            return false;
        }
    }

    reap_children_as_they_end();
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return false;
    }
    pid_t child = -1;
    int result = EINVAL;
    if (prepare_spawn(&attributes, &actions, style, flags)) {
        if (style == posix::LAUNCH_NEW_TERMINAL) {
            result = posix_spawn(&child, terminal.program, &actions, &attributes, terminal_words,
                                 environ);
        } else {
            result = posix_spawnp(&child, program.words[0], &actions, &attributes, program.words,
                                  environ);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) return false;

    if (remember) hold_process(child);
    return true;
}

bool process_terminate() {
    if (held_descriptor < 0) return false;
    return syscall(SYS_pidfd_send_signal, held_descriptor, SIGKILL, nullptr, 0) == 0;
}

}  // namespace platform
