// The session's display text on its way out, converted from the server's code page where it is.
#include "app/session_output.h"

namespace {

// The converted display text of one receive's pending output, written out once it holds this
// much.
constexpr std::size_t CONVERTED_WRITE_SIZE = 32 * 1024;
char converted_buffer[CONVERTED_WRITE_SIZE + utf8_room(RECEIVE_CHUNK)];

}  // namespace

void PendingOutput::add_converted_chunks(const char* data, std::size_t length) {
    for (std::size_t at = 0; at < length; at += RECEIVE_CHUNK) {
        std::size_t piece = length - at < RECEIVE_CHUNK ? length - at : RECEIVE_CHUNK;
        add_converted(data + at, piece);
    }
}

void PendingOutput::add_converted(const char* data, std::size_t length) {
    if (ascii_prefix_length(data, length) == length) {
        add(data, length);
        return;
    }
    // Converted whole, so that the text of consecutive chunks stays one part.
    char* out = converted_buffer + converted_length;
    std::size_t used = code_page_to_utf8(*converted_code_page, data, length, out);
    converted_length += used;
    add(out, used);
    // Written while it is still in the processor's cache: the write's copy then costs
    // markedly less than from a buffer of several times that size.
    if (converted_length >= CONVERTED_WRITE_SIZE) flush();
}

void PendingOutput::flush() {
    if (count > 0) platform::write_stdout_parts(parts, count);
    count = 0;
    converted_length = 0;
}
