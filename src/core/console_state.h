// The process-wide console state and the operations every part of the console shares.
//
// Three kinds of thread share this state without a lock: the main thread (start-up, the
// connection loop and every session), one input thread (keyboard reader or command sender)
// and at most one retry notifier. Every shared variable is one word, read and written whole.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// link_state values. Positive: no session, and retrying is wanted; the value less one is also
// the index of the retry notifier's message.
constexpr std::int32_t LINK_IDLE = 0;
constexpr std::int32_t LINK_BOUND = 1;
constexpr std::int32_t LINK_ADDRESSED = 2;
constexpr std::int32_t LINK_ONLINE = -1;

constexpr const char* CONSOLE_TITLE = "Kestrane Database Manager Console";
constexpr const char* BANNER = "Kestrane Database Manager Console 1.0\n";

constexpr std::size_t SAVED_TITLE_SIZE = 80;
constexpr std::size_t COMMAND_LINE_SIZE = 256 * 1024;

extern std::atomic<std::int32_t> link_state;
extern std::atomic<platform::SocketHandle> server_socket;
extern std::atomic<std::int32_t> connected;
extern std::atomic<std::int32_t> raw_keys;
extern std::atomic<std::int32_t> quiet_loss;
extern std::atomic<std::int32_t> command_offset;
extern std::atomic<std::uint32_t> exit_code;
extern char saved_title[SAVED_TITLE_SIZE];  // main thread only
extern std::atomic<platform::ThreadHandle> notifier_thread;
extern platform::InputHandle console_input;  // set before any other thread starts
extern std::atomic<platform::ProcessId> child_pid;
// Set by the retry notifier when the user cancels; a cancel always ends the console, even one
// that comes while an attempt is under way (the attempt's own changes to link_state do not
// undo it).
extern std::atomic<std::int32_t> user_cancelled;
// The command line, its words joined by single spaces; the command text starts at
// command_offset. Written once before the input thread starts, then only read.
extern char command_line[COMMAND_LINE_SIZE];
extern std::size_t command_line_length;

inline bool command_mode() {
    return command_offset.load() != 0;
}

// Shows a message: a notice in interactive mode (the user's answer is returned), a printed line
// in command mode (answered Cancel at once). Styles and answers are the platform's NOTICE_* and
// ANSWER_* values.
int notify_user(const char* text, unsigned style);
// Forgets the connection and closes the socket, if any.
void drop_connection();
// One message to the server from an input thread: sent only while connected, and never to a
// socket that drop_connection is closing (whose number the system may give to a new file).
// The number of bytes sent, or -1.
long send_to_server(const void* data, std::size_t length);
// Ends the retry notifier, if one runs, and takes its notice away.
void stop_notifier();
// Starts a thread running the body.
platform::ThreadHandle start_thread(void (*body)());

// ---------------------------------------------------------------------------------------------
// Start-up

struct ConsoleOptions {
    bool change_directory;  // "-p" given
    const char* directory;  // the text after "-p"
    bool quiet_loss;        // "-C" given
    std::size_t command_line_length;
    std::int32_t command_offset;  // 0: interactive mode
    bool command_line_too_long;   // the arguments did not fit the line buffer
};

// Reads the options and finds the command text: the arguments are joined by single spaces into
// line (NUL-ended), and command_offset is where the command text starts, or 0 when there is
// none (interactive mode). Pure: touches no state.
void parse_options(int argc, const char* const* argv, char* line, std::size_t capacity,
                   ConsoleOptions* options);
// The process's exit status for an exit_code: platform::exit_status.
int process_exit_status(std::uint32_t code);
// The whole console: start-up, the connection loop and the shutdown; returns the exit status.
int console_main(int argc, const char* const* argv);

// ---------------------------------------------------------------------------------------------
// Connection

constexpr const char* ADDRESS_FILE = "KORVDBM.ADR";

// One try at reaching the server; runs the session when it connects.
void attempt_connection();
// Fills address and port from the address file in the working directory.
bool read_server_address(platform::ServerAddress* address);
// The same from a named file.
bool read_server_address_from(const char* path, platform::ServerAddress* address);

// The address file's fields: the address at 0, the port at 17, the host name at 19.
constexpr std::size_t ADDRESS_PORT_OFFSET = 17;
constexpr std::size_t ADDRESS_NAME_OFFSET = 19;
constexpr std::size_t ADDRESS_NAME_SIZE = 64;
constexpr std::size_t ADDRESS_FILE_USED = ADDRESS_NAME_OFFSET + ADDRESS_NAME_SIZE;
using HostResolver = bool (*)(const char* name, std::uint32_t* address);
// Fills address and port from the first size bytes of an address file: the host name (when the
// file holds one) through resolve, else the stored address; then the port. Pure but for resolve.
bool decode_address_file(const unsigned char* bytes, std::size_t size, HostResolver resolve,
                         platform::ServerAddress* address);
// Composes the socket error message (held whole, whatever its length) and shows it.
void report_socket_error(const char* text);
// The composed socket error message, into buffer (NUL-ended, cut to capacity).
std::size_t format_socket_error(char* buffer, std::size_t capacity, const char* text, int number);

// ---------------------------------------------------------------------------------------------
// Session

constexpr std::size_t RECEIVE_CHUNK = 1024;
constexpr char MODE_MESSAGE[] = "MODE 1";  // sent with its NUL: 7 bytes
constexpr char CLOSE_MESSAGE[] = "CLOSE";  // sent with its NUL: 6 bytes

// What one received chunk holds.
struct ChunkDecoded {
    std::size_t display_length;   // bytes at the chunk's start to display
    char control;                 // the control character after "~~~", or 0 for none
    std::size_t argument_offset;  // where the control's argument starts in the chunk
    std::size_t argument_length;  // the argument runs to the end of the chunk's text
};
// Decodes one received chunk of length bytes (at most RECEIVE_CHUNK): the text ends at the
// first NUL; the first "~~~" in it and the character after it are the marker. Pure.
ChunkDecoded decode_chunk(const char* chunk, std::size_t length);
// The receive loop of one connected session.
void run_session();
// Carries out one control with its argument (NUL-ended, changeable in place).
void apply_control(char control, char* argument, std::size_t argument_length);

// ---------------------------------------------------------------------------------------------
// Server-directed actions

void launch_program(char* argument, std::size_t argument_length);
void end_program();
void apply_title(const char* argument, std::size_t argument_length);
void apply_exit_code(const char* argument);

// The "%3u~%n" test of a title argument: the offset of the title, or -1 when the saved title is
// to come back. Pure.
long parse_title_argument(const char* argument, std::size_t argument_length);
// "%u": true and *value set when the argument starts with a number. A number too large for 32
// bits is held at the largest value rather than wrapping. Pure.
bool parse_unsigned(const char* argument, std::uint32_t* value);

// ---------------------------------------------------------------------------------------------
// Input threads

void keyboard_reader();
void command_sender();

// ---------------------------------------------------------------------------------------------
// Notification and console window

constexpr const char* ICON_FILES[] = {"VELDRIN.ICO", "ZEPRADBM.ICO", "ZEPRA.ICO"};

void retry_notifier();
// The message for a link_state, or null when the state has none.
const char* retry_message(std::int32_t state);
// The console window's title and icon at start-up.
void set_console_window();
