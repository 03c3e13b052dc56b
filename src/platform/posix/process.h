// Starting programs on POSIX: the pure parts of process.cpp, which tests and fuzz targets call
// directly.
//
// The server gives a command text and the creation flags of the Win32 process services. Here
// the text is split into words as a shell user expects, with no shell behind it, and the flags
// become a process group, a session of the program's own, or a new terminal window.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform::posix {

// The creation flags that mean something here are platform.h's DETACHED_PROCESS,
// CREATE_NEW_CONSOLE and CREATE_NEW_PROCESS_GROUP.

// The environment variable that names the terminal emulator for CREATE_NEW_CONSOLE.
constexpr const char* TERMINAL_VARIABLE = "VELDRIN_TERMINAL";
// The emulators tried, in order, when that variable names none that can be found.
constexpr const char* DEFAULT_TERMINALS[] = {"x-terminal-emulator", "xterm"};

// Longest command text that is split into words; a longer one starts nothing. A command comes
// from one receive chunk, converted to the user's UTF-8 where the server's code page is: up to
// three bytes for each of the server's (UTF8_PER_BYTE in text/codepage.h).
constexpr std::size_t COMMAND_TEXT_MAX = 3 * RECEIVE_CHUNK;
// Most words such a text can hold (one character and one blank each).
constexpr int COMMAND_WORDS_MAX = static_cast<int>(COMMAND_TEXT_MAX / 2);

// A command text split into words. The words point into text, so a CommandWords is filled in
// place and never copied.
struct CommandWords {
    char text[COMMAND_TEXT_MAX + 1];
    char* words[COMMAND_WORDS_MAX + 1];  // a null pointer after the last word
    int count;
};

// Splits a command text into words the way a POSIX shell splits a simple command, with nothing
// else a shell does: blanks (space, tab, newline, carriage return, vertical tab, form feed)
// separate words; single quotes keep everything up to the next single quote; double quotes keep
// everything up to the next unescaped double quote, where a backslash escapes only $ ` " \ and
// newline; outside quotes a backslash keeps the next character (a backslash-newline is removed,
// a backslash at the very end is kept). Quoted pieces and plain text next to each other make one
// word, and "" or '' alone is an empty word. $, *, ~, |, ;, &, <, > and # are ordinary
// characters. False when the text is longer than COMMAND_TEXT_MAX or a quote is left open.
bool split_command(const char* command, CommandWords* words);

// How a program is started.
enum LaunchStyle {
    LAUNCH_SHARED_TERMINAL,  // on the console's terminal, in a process group of its own
    LAUNCH_DETACHED,         // in a session of its own, standard streams on /dev/null
    LAUNCH_NEW_TERMINAL,     // in a new terminal emulator window
};
// DETACHED_PROCESS wins over CREATE_NEW_CONSOLE; a new console with no window to open is a
// detached program.
LaunchStyle launch_style(std::uint32_t flags, bool window_available);

// Finds a program as execvp would: a name with a '/' is taken as it is, any other is looked for
// in each directory of the search path (an empty entry is the working directory; no path at all
// means "/bin:/usr/bin"). The program must be an executable regular file. True and the file's
// name (NUL-ended) in found when there is one that fits capacity bytes.
bool find_program(const char* name, const char* search_path, char* found, std::size_t capacity);

// The terminal emulator that opens a new window: its command words and the file of its program.
struct TerminalChoice {
    CommandWords words;
    char program[PATH_MAX];
};
// Chooses the emulator for a new window from the values of DISPLAY, WAYLAND_DISPLAY,
// VELDRIN_TERMINAL and PATH (null when unset). There is a window to open only in a graphical
// session (DISPLAY or WAYLAND_DISPLAY not empty) and when an emulator is found: the command in
// VELDRIN_TERMINAL (split into words as above), else x-terminal-emulator, else xterm.
bool choose_terminal(const char* display, const char* wayland_display, const char* chosen,
                     const char* search_path, TerminalChoice* choice);

// The emulator's arguments, the convention xterm and x-terminal-emulator follow: its own words,
// "-T" and the title, "-e" and the program's words, then a null pointer. False when they do not
// fit capacity pointers.
bool terminal_arguments(const CommandWords& terminal, const char* title,
                        const CommandWords& program, char** arguments, int capacity);

}  // namespace platform::posix
