// The platform layer: the only code that knows the operating system.
//
// The console was designed over the Win32 console, process, thread and window services and
// Windows Sockets; this header names what the rest of the console needs of them, and each
// operating system supplies one backend: a folder of src/platform/ (posix/ and windows/) whose
// files are named alike in every backend (terminal.cpp, signals.cpp, keyboard.cpp, notice.cpp,
// output.cpp, title.cpp, socket.cpp, file.cpp, thread.cpp, process.cpp, charset.cpp) and
// meet the part of this header that each one's head comment names, defining its functions in
// the order they are declared here. Portable code the backends share lives in
// src/platform/common/.
//
// Conventions: no exceptions, no heap allocation in the console's own paths, failures are
// reported through return values (-1, false, NO_SOCKET, NO_FILE, a null handle). The Win32
// values the seam carries (notice styles and answers, creation flags) are defined here once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Sockets (IPv4 TCP only)

using SocketHandle = std::intptr_t;
constexpr SocketHandle NO_SOCKET = -1;

// The server's socket address, laid out as the platform's IPv4 socket address: family, port
// and address in network byte order, eight zero bytes.
struct ServerAddress {
    std::uint16_t family;
    std::uint16_t port;     // network byte order
    std::uint32_t address;  // network byte order
    std::uint8_t zero[8];
};
static_assert(sizeof(ServerAddress) == 16, "ServerAddress is a 16-byte IPv4 socket address");

constexpr std::uint16_t ADDRESS_FAMILY_IPV4 = 2;  // AF_INET on every platform we target

// The server's stream is taken in chunks of this many bytes, and whatever one control carries
// lies inside one chunk. So it also bounds what the console hands the platform from the server:
// a command (process_create) or a title (set_console_title) is never longer in the server's
// code page. Defined here, at the bottom, because limits on both sides of the seam follow from
// it: the core's (the session, the actions) and the backends'.
constexpr std::size_t RECEIVE_CHUNK = 1024;

// Starts the socket service (a no-op where there is none to start).
void sockets_start();
// A TCP socket, or NO_SOCKET.
SocketHandle socket_create();
// 0 on success, -1 on failure.
int socket_bind(SocketHandle socket, const ServerAddress& address);
// Asks the system to find a silent peer dead within bound_seconds (2 to 3600): TCP keepalive
// probes while the connection is idle, and a time-out on data the peer does not acknowledge.
// A receive or send on a connection found dead fails. Called before socket_connect, so that it
// covers the whole connection. False when the system refused any part of it (what it took
// stays set).
bool socket_keep_alive(SocketHandle socket, unsigned bound_seconds);
// Connects, waiting at most timeout_ms (0: as long as the platform's own connect time-out
// allows), or until interrupt_main_wait is called. 0 on success, -1 on failure (a wait that
// timed out or was interrupted fails).
int socket_connect(SocketHandle socket, const ServerAddress& address, unsigned timeout_ms);
// One send call; never raises a signal (a peer that has gone away is a failed send).
// The number of bytes sent, or -1.
long socket_send(SocketHandle socket, const void* data, std::size_t length);
// One receive call: the number of bytes received, 0 when the peer closed, -1 on error.
// Blocks until at least one byte arrives.
long socket_receive(SocketHandle socket, void* buffer, std::size_t capacity);
// Shuts the socket down in both directions, waking any thread blocked on it.
void socket_shutdown(SocketHandle socket);
// Closes the socket.
void socket_close(SocketHandle socket);
// The error number of the calling thread's last failed socket call, as the console shows it
// to the user (the POSIX errno value; the Windows Sockets code minus 10000 on Windows).
int socket_error_number();
// The host name resolver: the first IPv4 address of the host, in network byte order.
// False when the name does not resolve or has no IPv4 address, and when interrupt_main_wait
// is called while the lookup is under way (the lookup is abandoned and its answer ignored).
bool resolve_host(const char* name, std::uint32_t* address);

// Interrupts, for good, the waits of a connection attempt on the main thread: a socket_connect
// or resolve_host under way returns at once as failed, and so does every later one. Called from
// any thread when the user cancels (the console is then ending). Both backends make the handle
// it signals in console_start (POSIX: an eventfd, made once the standard descriptors are in
// place; Windows: a manual-reset event); before that the waits cannot be interrupted. The
// connect waits on it beside the non-blocking connect's outcome, and the lookup, which runs on
// a thread of its own (common/host_lookup.h), beside that thread's answer.
void interrupt_main_wait();

// ---------------------------------------------------------------------------------------------
// Files and the working directory (the low-level runtime file calls)

using FileHandle = std::intptr_t;
constexpr FileHandle NO_FILE = -1;

// A file opened for reading in binary mode, or NO_FILE.
FileHandle file_open_read(const char* name);
// Reads up to length bytes (fewer only at the end of the file); the number read, or -1.
long file_read(FileHandle file, void* buffer, std::size_t length);
void file_close(FileHandle file);
// True when the working directory could be changed.
bool change_directory(const char* path);
// True only when the system says nothing is at the name (not when it cannot tell, or cannot
// read what is there).
bool file_missing(const char* name);
// Where the administrator lists the programs the server may start: POSIX /etc/veldrin/programs,
// Windows programs.txt beside veldrin.exe. False when the name does not fit.
bool programs_file_name(char* buffer, std::size_t capacity);

// ---------------------------------------------------------------------------------------------
// Threads and waiting
//
// A thread that may be ended from outside does all its blocking waits through sleep_ms (below),
// read_console_key and show_notice (The console); they return early, reporting that the thread
// is being ended, as soon as thread_stop is called on it. The thread body then returns.
//
// Core starts its threads through start_thread (core/console_state.h), which is thread_start;
// it ends them with thread_stop.

// How a wait ended. Shared by the backends' own waits and read_console_key.
enum class WaitResult {
    READY,      // what was waited for is there (read_console_key: *key holds one character)
    TIMED_OUT,  // the time-out passed first (backend-internal waits only)
    FAILED,     // the wait or the read failed
    END,        // the end of the input: there will never be more
    STOPPED,    // the calling thread is being ended
};

struct ThreadRecord;
using ThreadHandle = ThreadRecord*;

// Starts a thread running the body at once. A null handle when no thread could be started.
ThreadHandle thread_start(void (*body)());
// Ends the thread: interrupts its current or next wait and waits (boundedly) for it to
// finish. Safe on a thread that has already returned. The handle is invalid afterwards.
void thread_stop(ThreadHandle thread);
// True when the calling thread is being ended.
bool thread_stopping();
// Sleeps; false when the sleep was cut short because the calling thread is being ended.
bool sleep_ms(unsigned milliseconds);

// ---------------------------------------------------------------------------------------------
// The console

// Called once at start-up, before anything else touches the terminal: remembers the
// terminal's settings and title so that every way out of the process restores them
// (normal exit, exit_process, and the signals that end a process).
void console_start();
// Puts the terminal back as console_start found it (mode and title). Idempotent.
void console_restore();

// Writes to standard output at once (no buffering), all of it; failures are ignored.
void write_stdout(const char* data, std::size_t length);
// Writes to standard error at once, all of it; failures are ignored.
void write_stderr(const char* data, std::size_t length);
// True when standard error is the terminal or console the console draws on, where a line of
// its own would spoil the screen the server drew.
bool stderr_is_console();
struct OutputPart {
    const char* data;
    std::size_t length;
};
// Writes several pieces to standard output in one go, in order.
void write_stdout_parts(const OutputPart* parts, int count);

// The console's input handle: standard input. Core keeps it in console_input.
using InputHandle = std::intptr_t;
InputHandle standard_input();
// Key mode: every key as it is typed, no echo, no line editing, no keys turned into signals.
// Returns false when the input is not a console or terminal (keys are then read from it as
// they come).
bool set_console_key_mode(InputHandle input);

// Reads one key: READY with *key set, FAILED (treated as the end of a line by the reader),
// END (there will never be another key) or STOPPED (the calling thread is being ended).
// Backspace arrives as 8, Enter as 13; keys that are not characters (arrows, function keys)
// are swallowed. Keys typed while a notice is up answer the notice and are not returned.
WaitResult read_console_key(InputHandle input, char* key);

// The console window's title. The title is written to the controlling terminal only (never to
// redirected output, never when there is no terminal); control characters in it are made
// harmless. Called on the main thread only, as get_console_title is.
void set_console_title(const char* title);
// The title last given to set_console_title, as given; before any, the title console_start
// found: the console's on Windows, none on POSIX (a terminal's title cannot be read; its own
// comes back when the console ends). Not what the screen shows now, which a program sharing
// the console may have changed. Copies at most capacity-1 bytes and a NUL; returns the length
// copied.
std::size_t get_console_title(char* buffer, std::size_t capacity);
// The platform's icon for the console window; false when there is no window to give one.
bool set_console_icon_from_files(const char* const* files, int count);

// Notices (the Win32 message box). Styles and answers keep the Win32 values.
constexpr unsigned NOTICE_ERROR = 0x30;     // MB_OK | MB_ICONEXCLAMATION
constexpr unsigned NOTICE_RETRY = 0x10005;  // MB_RETRYCANCEL | MB_SETFOREGROUND
constexpr int ANSWER_OK = 1;                // IDOK
constexpr int ANSWER_CANCEL = 2;            // IDCANCEL
constexpr int ANSWER_RETRY = 4;             // IDRETRY
constexpr int ANSWER_STOPPED = 0;           // the calling thread is being ended
// Shows a modal notice with the caption and text and waits for the user's answer: ANSWER_OK
// for NOTICE_ERROR; ANSWER_RETRY or ANSWER_CANCEL for NOTICE_RETRY.
//
// The stop contract: the retry notifier shows its notice on a thread of its own, and the main
// thread ends that thread with thread_stop when the connection comes (or the console ends).
// thread_stop on the thread that waits here takes the notice away (nothing of it is left on
// the screen) and show_notice returns ANSWER_STOPPED. A stop is never reported as a user's
// answer, and a user's answer never as ANSWER_STOPPED. With nobody to answer (no console or
// terminal), a backend answers at once as the user would have agreed: ANSWER_OK or
// ANSWER_RETRY.
//
// follow, when given, is asked about every quarter of a second while the notice waits: a text
// (other than null) that differs from the one shown replaces it on the screen, so the notice
// follows the state it reports. A Windows message box keeps its text until it is answered.
int show_notice(const char* caption, const char* text, unsigned style,
                const char* (*follow)() = nullptr);

// When standard output is the terminal (or console) and the last text written to it did not
// end its line, ends the line, so that what comes after the console starts on a clean one.
void end_output_line();
// Detaches from the console at the end of interactive mode (restores the terminal here).
void detach_console();
// Ends the process with the status, leaving the terminal as it was found.
[[noreturn]] void exit_process(int status);
// The largest exit code the platform's status holds whole (POSIX: 255; Windows: all 32 bits).
extern const std::uint32_t LARGEST_EXIT_STATUS;
// The process's exit status for the exit code the server set: the code itself when the
// platform's status holds it (POSIX: 8 bits), else the largest status.
int exit_status(std::uint32_t code);

// ---------------------------------------------------------------------------------------------
// Character sets
//
// The server writes its text in a Windows code page, which a Windows console at that code page
// shows as it is. A terminal that expects UTF-8, or a console at another code page, needs it
// converted; the conversion itself is portable code
// (text/codepage.h), and the platform answers only these questions.

// True when the user's locale has UTF-8 as its character set, so that text for standard output
// (and the terminal's title, and programs' arguments) is wanted in UTF-8. Asks once and keeps
// the answer; leaves the process's own locale as it found it. The one answer to that question:
// the conversion and the terminal's title filter both follow it. On Windows: standard output
// is a console that converts, as output_shows_code_page found.
bool output_wants_utf8();
// The system's own code page for the server's text, when VELDRIN_CODEPAGE names none: 0 for the
// default (437). POSIX: 0. Windows: the OEM code page, when it is one byte a character.
unsigned system_code_page();
// True when standard output shows the code page's bytes as they are, so that nothing is
// converted. POSIX: the locale is not UTF-8. Windows: standard output is not a console (a file
// or a pipe gets the server's bytes, as Windows programs write them), or a console whose output
// code page is code_page; another console is written UTF-16, and its keys read as Unicode.
// Asked once, at start-up, before any other thread starts.
bool output_shows_code_page(unsigned code_page);

// What one byte of a code page stands for, as the system's converter reads it alone.
enum class CodePageByte : std::uint8_t {
    CHARACTER,     // a character: its UTF-8 text is in text, length bytes
    NO_CHARACTER,  // the code page gives the byte no character
    LEAD_BYTE,     // the byte only starts a character of several bytes
};
struct CodePageCharacter {
    CodePageByte kind;
    std::uint8_t length;  // 1 to 4 for CHARACTER, else 0
    char text[4];
};
constexpr int CODE_PAGE_BYTES = 256;
// The characters of each of the 256 bytes of a Windows code page (437, 850, 1252, ...), in
// UTF-8, through the system's own converter. False when the system knows no such code page.
// Called at start-up only, and only where the output does not show the code page itself.
bool code_page_characters(unsigned code_page, CodePageCharacter* characters);

// The value of an environment variable, or null when it is not set.
const char* environment_value(const char* name);

// ---------------------------------------------------------------------------------------------
// Processes

// The launch control's flags (the Win32 values). The server sets REMEMBER_CHILD in the flags
// of a program it may end later; the rest are creation flags passed on to process_create.
constexpr std::uint32_t REMEMBER_CHILD = 0x80000000u;
constexpr std::uint32_t DETACHED_PROCESS = 0x8u;
constexpr std::uint32_t CREATE_NEW_CONSOLE = 0x10u;
constexpr std::uint32_t CREATE_NEW_PROCESS_GROUP = 0x200u;

// How the platform names programs: the separator of a list of them (as in PATH), and whether
// names follow Windows' rules (program_matches in actions/actions.h).
struct ProgramNaming {
    char list_separator;
    bool windows_names;
};
extern const ProgramNaming PROGRAM_NAMING;
// The program a command runs: its first word as process_create reads the command, copied
// NUL-ended to program. False when the command names none or the word does not fit. Where the
// platform could otherwise run something other than that word (Windows tries ever longer
// unquoted starts of a command line until one names a program), the command, in a buffer of
// capacity bytes, is rewritten so that only that word is tried; false when it cannot be.
bool command_program(char* command, std::size_t capacity, char* program,
                     std::size_t program_capacity);
// Starts a program from its command text (POSIX: split into words, the first found on PATH;
// Windows: the program's command line, whole), with the creation flags (the Win32 values;
// docs/programs.md says what each means here) and the window title. True on success. With
// remember, the platform keeps hold of the new program (replacing the one held before) so that
// process_terminate can reach it: the remembered program is kept here and nowhere else.
// Programs are never waited for, and they are reaped as they end. Called on the main thread
// only, as process_terminate is.
bool process_create(const char* command, const char* title, std::uint32_t flags, bool remember);
// Ends the held program at once when it is still running. False otherwise (none is held, or it
// has ended): an id the system has since given to an unrelated process is never signalled. The
// program stays held, so a later call aims at it again and ends nothing once it is gone.
bool process_terminate();

}  // namespace platform
