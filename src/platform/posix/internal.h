// What the POSIX backend's files share among themselves. Only the backend includes this file:
// its folder is a private include path of the console's library, and the guard below stops any
// other file that reaches it by a longer path.
//
// Beyond POSIX the backend needs: Linux 5.4 or later (process file descriptors: pidfd_open,
// pidfd_send_signal, waitid on P_PIDFD), glibc 2.34 or later (posix_spawn_file_actions_
// addclosefrom_np, pthread_timedjoin_np), and eventfd for the threads' wake descriptors.
#pragma once

#ifndef VELDRIN_PLATFORM_BACKEND
#error "internal.h is the POSIX backend's own; include platform/platform.h"
#endif

#include <termios.h>

#include <atomic>
#include <cstddef>

#include "platform/platform.h"

namespace platform::posix {

// ---------------------------------------------------------------------------------------------
// Waits and threads (thread.cpp)

// The calling thread's wake descriptor: readable once the thread is being ended. -1 for
// threads not started by thread_start (the main thread), which are never ended.
int current_wake_fd();

// Waits until fd is readable (fd may be -1: then only the time-out or a wake counts), the
// calling thread is being ended, or timeout_ms passes (-1: no time-out). Restarts after
// signals. READY when fd is readable, TIMED_OUT, STOPPED when the thread is being ended, FAILED
// on a poll failure.
WaitResult wait_readable(int fd, int timeout_ms);

// Starts a thread of the backend's own, detached: nobody joins it, and it is never ended from
// outside. False when it could not be started.
bool start_detached_thread(void* (*body)(void*), void* argument);

// ---------------------------------------------------------------------------------------------
// What console_start found, and what is to be put back (terminal.cpp)

extern int tty_fd;  // the controlling terminal, for the title and notices; -1 when none
extern bool stdin_is_tty;
extern termios saved_mode;  // standard input's settings at start-up (when it is a terminal)
extern unsigned char erase_key;
extern std::atomic<int> restored;  // restore has run: the console no longer touches the terminal
extern std::atomic<int> notice_drawn;  // a notice is on the screen below the cursor
// The terminal is UTF-8 (output_wants_utf8): titles are filtered character by
// character. Written once by console_start.
extern bool utf8_terminal;

// Erases what a notice drew below the cursor line and leaves the cursor where it was.
constexpr char NOTICE_ERASE[] = "\0337\033[B\r\033[J\0338";

// Waits until fd can be written again after a write that would block (a descriptor someone
// else left non-blocking). False when it never can. Async-signal-safe.
bool wait_writable(int fd);
// Writes all of data to fd, restarting after signals and waiting out a non-blocking
// descriptor that is full, so no byte is dropped; other failures are ignored.
// Async-signal-safe.
void write_all(int fd, const char* data, std::size_t length);
// Puts the terminal back as console_start found it, once. Async-signal-safe: it waits its
// turn with the terminal's other changes (a few system calls), then only tcsetattr and write.
void restore_terminal();
// Job control, from signals.cpp's job-control thread. suspend_terminal puts the terminal back
// as console_start found it (mode, title, a notice taken off the screen) before the console is
// stopped; resume_terminal, when it is continued in the foreground, sets the key mode again and
// brings back the title and any notice it took away. Neither runs once restore_terminal has.
void suspend_terminal();
void resume_terminal();

// ---------------------------------------------------------------------------------------------
// What the screen shows, for putting it back after a stop (title.cpp, notice.cpp)

// Writes the title sequence of the title last set, if any. Async-signal-safe.
void rewrite_title();
// Draws again the notice that suspend_terminal took off the screen, if one is still up.
// Async-signal-safe.
void redraw_notice();
// A notice was taken off the screen by a stop (not answered): resume_terminal draws it again.
extern std::atomic<int> notice_hidden;

// ---------------------------------------------------------------------------------------------
// The main thread's interruptible waits (socket.cpp)

// Makes the descriptor that interrupt_main_wait makes readable. Called by console_start once
// the standard descriptors are in place; until then (and in programs that never call it) the
// waits cannot be interrupted.
void main_wait_start();

// ---------------------------------------------------------------------------------------------
// Standard output (output.cpp)

// When standard output is a pipe, makes it hold at least STDOUT_PIPE_SIZE bytes (where the
// system allows), so that one receive's text goes in without waiting for the reader.
constexpr int STDOUT_PIPE_SIZE = 1 << 20;
void size_stdout_pipe();
// Whether the last byte written to standard output ended a line; note_line_ended records that
// the terminal's cursor is at the start of a clean line again (a notice written as a line).
bool output_line_ended();
void note_line_ended();

// ---------------------------------------------------------------------------------------------
// Signals (signals.cpp)

// The handlers that restore the terminal before the signals that end a process take effect,
// job control (SIGTSTP: put the terminal back, then stop; SIGCONT: set it up again) on a
// thread of its own that takes them in order, and SIGPIPE ignored. Called before any other
// thread starts: the threads started after it keep SIGTSTP and SIGCONT blocked.
void install_signal_handlers();

// ---------------------------------------------------------------------------------------------
// Notices (notice.cpp)

// Makes the pipe the keyboard reader answers notices through.
void notices_start();
// TERM is unset, empty or "dumb": the terminal takes no escape sequences. Titles are not set,
// and notices are written as lines, still answered by keys. Read once (at console_start).
bool plain_terminal();
// Gives a key to the notice that is up; false when there is none.
bool key_to_notice(unsigned char key);

}  // namespace platform::posix
