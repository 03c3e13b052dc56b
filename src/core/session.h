// The session: the receive loop, the chunk decoder and the controls it obeys.
#pragma once

#include <cstddef>

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
// How far a receive's display text runs from a place: to the first NUL or '~' at or after
// from, or to length when there is none, and whether every byte up to there is below 128. The
// chunks wholly before that place are display text only. Pure.
struct TextScan {
    std::size_t special;
    bool ascii;
};
TextScan scan_text(const char* data, std::size_t from, std::size_t length);
// The receive loop of one connected session.
void run_session();
// Carries out one control with its argument (NUL-ended, changeable in place).
void apply_control(char control, char* argument, std::size_t argument_length);
