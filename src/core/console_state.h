// The state the console's threads share, and the link to the server they all use.
//
// Three kinds of thread share this state without a lock: the main thread (start-up, the
// connection loop and every session), one input thread (keyboard reader or command sender)
// and at most one retry notifier. Every shared variable is one word, read and written whole,
// or is written once before the other threads start. What only one thread touches lives with
// the code that owns it, not here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// link_state values. Positive: no session, and retrying is wanted; the retry notifier shows the
// message retry_message gives for the state.
constexpr std::int32_t LINK_IDLE = 0;  // no session, and none is wanted (or the user gave up)
// A socket is bound, and the server address is being read or could not be read (no usable
// address file): "Unable to connect".
constexpr std::int32_t LINK_BOUND = 1;
// The address was read, and either the connection failed or a session that was running has
// been lost (run_session sets it when the server goes away): "Lost connection" in both cases.
constexpr std::int32_t LINK_ADDRESSED = 2;
constexpr std::int32_t LINK_ONLINE = -1;  // a session is running

constexpr const char* CONSOLE_TITLE = "Kestrane Database Manager Console";
constexpr std::size_t COMMAND_LINE_SIZE = 256 * 1024;

// What the console sends of its own, each with its NUL: command mode's first message (7 bytes)
// and its request to end the session when the server has not (6 bytes).
constexpr char MODE_MESSAGE[] = "MODE 1";
constexpr char CLOSE_MESSAGE[] = "CLOSE";

extern std::atomic<std::int32_t> link_state;
// link_state as the last connection attempt left it, written by the connection loop after each
// attempt. The notice's message follows it rather than link_state, which passes through
// LINK_BOUND during every attempt.
extern std::atomic<std::int32_t> settled_link_state;
extern std::atomic<platform::SocketHandle> server_socket;
extern std::atomic<std::int32_t> connected;
extern std::atomic<std::int32_t> raw_keys;
extern std::atomic<std::int32_t> command_offset;
extern platform::InputHandle console_input;  // set before any other thread starts
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
// ANSWER_* values. follow, when given, is asked now and then for the text while the notice is
// up (platform::show_notice).
int notify_user(const char* text, unsigned style, const char* (*follow)() = nullptr);
// Forgets the connection and closes the socket, if any.
void drop_connection();
// One message to the server from an input thread: sent only while connected, and never to a
// socket that drop_connection is closing (whose number the system may give to a new file).
// The number of bytes sent, or -1.
long send_to_server(const void* data, std::size_t length);
// The user ends the console from the keyboard, as Cancel does: from the keyboard reader. The
// connection loop ends at once, and so does a session under way (its socket is shut down) or an
// attempt waiting on a connect or a host name lookup.
void end_by_user();
// Starts a thread running the body: platform::thread_start. Every thread the console starts is
// ended with platform::thread_stop.
platform::ThreadHandle start_thread(void (*body)());
