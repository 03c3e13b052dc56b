// The layout of a notice drawn as a text box, and notices written on standard error.
#include "platform/common/notice_layout.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "platform/platform.h"

namespace platform {

std::size_t notice_text_lines(const char* text, std::size_t width, NoticeTextLine* lines) {
    std::size_t count = 0;
    const char* p = text;
    while (count < NOTICE_TEXT_LINES) {
        const char* end = std::strchr(p, '\n');
        std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        do {
            std::size_t piece = length < width ? length : width;
            lines[count++] = {p, piece};
            p += piece;
            length -= piece;
        } while (length > 0 && count < NOTICE_TEXT_LINES);
        if (!end || count == NOTICE_TEXT_LINES) break;
        p = end + 1;
    }
    return count;
}

NoticeLayout layout_notice(const char* caption, const char* text, bool retry, std::size_t columns) {
    if (columns == 0) columns = NOTICE_DEFAULT_COLUMNS;
    if (columns > NOTICE_MAX_COLUMNS) columns = NOTICE_MAX_COLUMNS;
    if (columns < NOTICE_MIN_COLUMNS) columns = NOTICE_MIN_COLUMNS;
    NoticeLayout layout{};
    // "| " text " |" within columns - 1, so that no row reaches the last column.
    std::size_t text_width = columns - 5;
    layout.line_count = notice_text_lines(text, text_width, layout.lines);
    layout.buttons = retry ? "[R]etry   [C]ancel" : "[O]K";
    layout.buttons_length = std::strlen(layout.buttons);
    layout.caption_length = std::strlen(caption);
    if (layout.caption_length > text_width - 2) layout.caption_length = text_width - 2;
    layout.inner = layout.buttons_length;
    if (layout.caption_length + 2 > layout.inner) layout.inner = layout.caption_length + 2;
    for (std::size_t i = 0; i < layout.line_count; ++i)
        if (layout.lines[i].length > layout.inner) layout.inner = layout.lines[i].length;
    layout.rows = layout.line_count + 4;
    return layout;
}

namespace {

constexpr int SHOWN_LIMIT = 32;
std::uint64_t shown_messages[SHOWN_LIMIT];
int shown_count = 0;
std::mutex shown_mutex;

std::uint64_t message_hash(const char* text, unsigned style) {
    std::uint64_t hash = 1469598103934665603ull ^ style;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        hash ^= *p;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

bool notice_first_shown(const char* text, unsigned style) {
    std::uint64_t hash = message_hash(text, style);
    std::lock_guard<std::mutex> lock(shown_mutex);
    for (int i = 0; i < shown_count; ++i)
        if (shown_messages[i] == hash) return false;
    if (shown_count < SHOWN_LIMIT) shown_messages[shown_count++] = hash;
    return true;
}

int notice_to_standard_error(const char* caption, const char* text, unsigned style,
                             const char* line_end) {
    if (notice_first_shown(text, style)) {
        // One write for the line where it fits, so that it is not mixed with another's.
        char line[1024];
        std::size_t length = 0;
        for (const char* part : {caption, ": ", text, line_end}) {
            std::size_t part_length = std::strlen(part);
            if (part_length > sizeof line - length) {
                write_stderr(line, length);
                length = 0;
            }
            if (part_length > sizeof line) {
                write_stderr(part, part_length);
                continue;
            }
            std::memcpy(line + length, part, part_length);
            length += part_length;
        }
        write_stderr(line, length);
    }
    return style == NOTICE_RETRY ? ANSWER_RETRY : ANSWER_OK;
}

}  // namespace platform
