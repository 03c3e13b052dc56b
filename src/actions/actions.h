// The server-directed actions: launching and ending a program (controls 3 and 4), the title
// and the exit status (controls 5 and 6).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Launch: "L~F~T~" and then the command text, a separator and the title.

// What the argument of a launch control asks for. Offsets and lengths are in bytes within the
// argument's text, and always lie inside it.
struct LaunchRequest {
    std::uint32_t flags;         // F: REMEMBER_CHILD and the creation flags
    std::size_t command_offset;  // just after the third '~'
    std::size_t command_length;  // L
    std::size_t title_offset;    // just after the separator (the end of the text when none)
    std::size_t title_length;    // T, cut at the end of the text
};

// A launch argument comes from one receive chunk; the parse looks at no more than this.
constexpr std::size_t LAUNCH_ARGUMENT_MAX = platform::RECEIVE_CHUNK;

// Parses a launch argument with "%3u~%x~%3u~%n" exactly as those conversions read it (leading
// white space skipped, at most three characters per length, 32-bit hexadecimal flags). The text
// is the argument up to its first NUL or argument_length bytes, whichever comes first. False when
// a number or a '~' is missing, or when the text after the third '~' is empty or shorter than
// the command length. Pure.
bool parse_launch_argument(const char* argument, std::size_t argument_length,
                           LaunchRequest* request);

// Control 3: starts the program, when the user allows it; a program the server asks the console
// to remember is held by the platform (platform::process_create).
void launch_program(char* argument, std::size_t argument_length);
// Control 4: ends the remembered program, if it still runs.
void end_program();
void apply_title(const char* argument, std::size_t argument_length);
void apply_exit_code(const char* argument);

// The title as the terminal had it when the session started, which control 5 without a title
// puts back. save_title takes it at the start of every session. The main thread's only.
constexpr std::size_t SAVED_TITLE_SIZE = 80;
extern char saved_title[SAVED_TITLE_SIZE];
void save_title();
// The exit code control 6 sets last, which the console's exit status reports. The main
// thread's only.
extern std::uint32_t exit_code;

// The "%3u~%n" test of a title argument: the offset of the title, or -1 when the saved title is
// to come back. Pure.
long parse_title_argument(const char* argument, std::size_t argument_length);
// "%u": true and *value set when the argument starts with a number. A number too large for 32
// bits is held at the largest value rather than wrapping. Pure.
bool parse_unsigned(const char* argument, std::uint32_t* value);

// ---------------------------------------------------------------------------------------------
// The programs the server may start: VELDRIN_PROGRAMS when it is set, else the administrator's
// file (platform::programs_file_name), else any program.

constexpr char PROGRAMS_VARIABLE[] = "VELDRIN_PROGRAMS";
// The most a list holds; a longer one refuses every program.
constexpr std::size_t PROGRAM_LIST_TEXT_MAX = 4096;
constexpr int PROGRAM_LIST_ENTRIES_MAX = 128;

struct ProgramList {
    bool any;                                         // every program may start
    int count;                                        // otherwise only these entries (none when 0)
    std::uint16_t entries[PROGRAM_LIST_ENTRIES_MAX];  // offsets of NUL-ended entries in text
    char text[PROGRAM_LIST_TEXT_MAX + 1];
};

// The entries of a list are the items between separators (the variable) or the lines (the file:
// blanks around an entry are dropped, and so is a '#' at the start of a line or after a blank
// and all after it); empty ones are skipped. A list whose one entry is "*" allows any program,
// and one whose one entry is "none", or that has no entry, allows none. A list too long to hold
// allows none. Pure.
void parse_program_setting(const char* value, char separator, ProgramList* list);
void parse_program_file(const char* text, std::size_t length, ProgramList* list);
// Whether a list entry names the program (the first word of a command, as the launch splits it).
// A name without a directory matches the same name; a name with a directory only the same
// path. With windows_names, '\\', '/' and ':' all mark a directory, '/' and '\\' are the same,
// ASCII letters match either case, and a final ".exe" is optional. Pure.
bool program_matches(const char* entry, const char* program, bool windows_names);
bool program_allowed(const ProgramList& list, const char* program, bool windows_names);

// Reads the setting once, at start-up, before any session; until then no program may start.
void start_program_list();
// The most a program's name is, in the user's character set.
constexpr std::size_t LAUNCH_PROGRAM_MAX = 4096;
// Whether the command's program may start: at once true when any may. Otherwise its program is
// found as the launch will find it (the command, in a buffer of capacity bytes, may be
// rewritten for that: platform::command_program) and looked up in the list. A refused program
// is named on standard error, unless that is the screen the console draws on.
bool launch_allowed(char* command, std::size_t capacity);
