// Cutting a receive into chunks and finding their markers: the server's text on its way out,
// and each chunk's control obeyed in its place.
#include <cstring>

#include "app/session.h"
#include "app/session_output.h"
#include "core/console_state.h"

namespace {

char argument_buffer[RECEIVE_CHUNK + 1];

const char* find_marker(const char* text, std::size_t length) {
    const char* end = text + length;
    const char* at = text;
    while (end - at >= 3) {
        const char* tilde = static_cast<const char*>(std::memchr(at, '~', (end - at) - 2));
        if (!tilde) return nullptr;
        if (tilde[1] == '~' && tilde[2] == '~') return tilde;
        at = tilde + 1;
    }
    return nullptr;
}

}  // namespace

ChunkDecoded decode_chunk(const char* chunk, std::size_t length) {
    const char* nul = static_cast<const char*>(std::memchr(chunk, '\0', length));
    std::size_t text_length = nul ? static_cast<std::size_t>(nul - chunk) : length;
    const char* marker = find_marker(chunk, text_length);
    if (!marker) return {text_length, 0, text_length, 0};
    std::size_t k = static_cast<std::size_t>(marker - chunk);
    if (k + 3 >= text_length) return {k, 0, text_length, 0};
    return {k, chunk[k + 3], k + 4, text_length - (k + 4)};
}

// What this relies on, and its callers must keep:
// - data is one whole receive, and its first byte starts a chunk: the chunks are cut from there,
//   so at is always a multiple of RECEIVE_CHUNK, and only the last chunk may be shorter.
// - length is at most RECEIVE_BUFFER_SIZE: every chunk adds at most one part to the pending
//   output, whose parts are sized for that many chunks.
// - data stays as it is until the call returns, and no longer: the pending output points into
//   it, and is written out before the return (and before every control).
// - It runs on the main thread only, one call at a time: the pending output, the converted text
//   and the argument buffer are its own static buffers.
// - A code page is one byte a character (text/codepage.h), so a chunk's end never splits one,
//   and each chunk's display text is converted alone.
// A control may end the session (link_state leaves LINK_ONLINE): the rest of the receive is
// then neither shown nor obeyed.
void take_received(const char* data, std::size_t length) {
    static PendingOutput pending;
    // A chunk with neither a NUL nor a '~' is display text whole, so the chunks before the
    // next of either go out as one run without being decoded one by one, and a run of ASCII
    // without being looked at again. The scan stops at the first of them and starts again
    // only once past it, so that a receive is scanned once however they are spread. Its
    // answer on ASCII holds for all it passed, from where it started (at or before at).
    TextScan scan = scan_text(data, 0, length);
    std::size_t at = 0;
    while (at < length && link_state.load() == LINK_ONLINE) {
        if (scan.special < at) scan = scan_text(data, at, length);
        // The whole chunks before the one that holds the special byte; with none left, the
        // rest of the receive, its last short chunk included.
        std::size_t plain = scan.special == length
                                ? length - at
                                : (scan.special - at) / RECEIVE_CHUNK * RECEIVE_CHUNK;
        if (plain > 0) {
            if (scan.ascii) {
                pending.add(data + at, plain);
            } else {
                pending.add_display(data + at, plain);
            }
            at += plain;
            continue;
        }
        std::size_t chunk_length = length - at < RECEIVE_CHUNK ? length - at : RECEIVE_CHUNK;
        ChunkDecoded chunk = decode_chunk(data + at, chunk_length);
        pending.add_display(data + at, chunk.display_length);
        if (chunk.control != 0) {
            pending.flush();
            std::memcpy(argument_buffer, data + at + chunk.argument_offset, chunk.argument_length);
            argument_buffer[chunk.argument_length] = '\0';
            apply_control(chunk.control, argument_buffer, chunk.argument_length);
        }
        at += chunk_length;
    }
    pending.flush();
}
