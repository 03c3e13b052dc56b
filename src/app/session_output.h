// The session's display text on its way out: runs of the receive buffer gathered for one write,
// and converted from the server's code page where it is.
//
// When the server's code page is converted, the chunks and their markers are still found on
// the server's own bytes; only the display text is converted, on its way out. A chunk's text
// of ASCII only goes out from the receive buffer as it is; any other, converted whole.
#pragma once

#include <cstddef>

#include "app/session.h"
#include "platform/platform.h"
#include "text/codepage.h"

// Display text waiting to be written: runs of the receive buffer, and of the converted text.
struct PendingOutput {
    // Every chunk of a receive adds at most one part: consecutive runs of the receive buffer
    // (or of the converted text) join the part before them.
    static constexpr int MAX_PARTS = static_cast<int>(RECEIVE_BUFFER_SIZE / RECEIVE_CHUNK);
    platform::OutputPart parts[MAX_PARTS];
    int count = 0;
    std::size_t converted_length = 0;  // used of the converted text's buffer

    // Text that goes out as it is.
    void add(const char* data, std::size_t length) {
        if (length == 0) return;
        if (count > 0 && parts[count - 1].data + parts[count - 1].length == data) {
            parts[count - 1].length += length;
            return;
        }
        parts[count++] = {data, length};
    }
    // Display text, converted when a code page is: a chunk's worth at a time, each of ASCII
    // only left where it is.
    void add_display(const char* data, std::size_t length) {
        if (converted_code_page == nullptr) {
            add(data, length);
            return;
        }
        add_converted_chunks(data, length);
    }
    // Writes what is pending, in one go.
    void flush();

  private:
    void add_converted_chunks(const char* data, std::size_t length);
    void add_converted(const char* data, std::size_t length);
};
