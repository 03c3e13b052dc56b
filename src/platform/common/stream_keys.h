// Keys that come from a file or a pipe rather than a keyboard: portable, shared by the backends.
#pragma once

namespace platform {

// A line from a file or a pipe ends with LF, or CR LF, as a typed line ends with Enter (13).
// Takes the next byte of the stream; true with *key set, false when the byte makes no key (the
// LF of a CR LF). *last_was_cr carries what the stream's previous byte was.
bool stream_key(unsigned char byte, bool* last_was_cr, char* key);

}  // namespace platform
