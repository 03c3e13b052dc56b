// The session: the receive loop of one connected session, the chunks it cuts and the controls
// it obeys. Each of its jobs has a file of its own:
//   session_receive.cpp   the receive loop (run_session) and how much one receive takes
//   session_chunks.cpp    cutting a receive into chunks and finding their markers
//   session_scan.cpp      the scan for plain text, which lets whole chunks pass undecoded
//   session_output.cpp    the display text on its way out, converted from the code page
//   session_controls.cpp  the controls, dispatched to the actions
//
// The server's stream is taken in chunks of at most RECEIVE_CHUNK bytes, and at most one marker
// counts in each chunk. To keep up with a fast server the loop receives more than one chunk at a
// time and cuts what arrived into chunks exactly as successive receives of RECEIVE_CHUNK bytes
// would have; the display text of consecutive chunks goes out in one write, always before the
// control that follows it, and always before the next receive.
#pragma once

#include <cstddef>

#include "platform/platform.h"

using platform::RECEIVE_CHUNK;

// One receive takes whatever has arrived, up to this much; nothing ever waits for the buffer to
// fill. Measured on Linux loopback against a fast server, 128 KiB beat 64, 256 and 512 KiB to
// /dev/null and matched them to a file: a larger receive holds the socket longer, so more of
// the arriving data is processed afterwards on this thread, and each window update it opens
// lets the server's queued data through on this thread's processor in larger bursts. Its text
// also stays in the processor's cache between the receive and the scan.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 128 * RECEIVE_CHUNK;

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
// How far a receive's display text runs from a place: to the first NUL or '~' at or after
// from, or to length when there is none, and whether every byte up to there is below 128. The
// chunks wholly before that place are display text only. Pure.
struct TextScan {
    std::size_t special;
    bool ascii;
};
TextScan scan_text(const char* data, std::size_t from, std::size_t length);

// "-C": a lost session ends the console instead of being retried. Set at start-up; the main
// thread's only.
extern bool quiet_loss;
// The receive loop of one connected session.
void run_session();
// Displays and obeys the chunks of one receive (see session_chunks.cpp for what it assumes);
// stops at the end of the session.
void take_received(const char* data, std::size_t length);
// Carries out one control with its argument (NUL-ended, changeable in place).
void apply_control(char control, char* argument, std::size_t argument_length);
