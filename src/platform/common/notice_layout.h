// The layout of a notice drawn as a text box, given the terminal's width: where the text is
// split and wrapped, how wide the box is inside, how many rows it takes. Portable, with no
// operating system in it; a backend that draws notices in a terminal turns this into output.
//
//   +- Caption ---------------+
//   | first line of the text  |
//   | ...                     |
//   |                         |
//   |   [R]etry   [C]ancel    |
//   +-------------------------+
#pragma once

#include <cstddef>

namespace platform {

constexpr std::size_t NOTICE_TEXT_LINES = 8;        // text lines shown at most
constexpr std::size_t NOTICE_MIN_COLUMNS = 24;      // narrower terminals are taken as this wide
constexpr std::size_t NOTICE_MAX_COLUMNS = 200;     // wider ones as this wide
constexpr std::size_t NOTICE_DEFAULT_COLUMNS = 80;  // when the width is not known (0)

struct NoticeTextLine {
    const char* start;  // within the notice's text
    std::size_t length;
};

struct NoticeLayout {
    NoticeTextLine lines[NOTICE_TEXT_LINES];
    std::size_t line_count;
    std::size_t caption_length;  // the caption's bytes shown (it may be cut)
    const char* buttons;         // the buttons' row text, before centring
    std::size_t buttons_length;
    std::size_t inner;  // the box's width between "| " and " |"
    // Rows: the top border with the caption, the text lines, an empty row, the buttons, the
    // bottom border.
    std::size_t rows;
};

// Splits the text at its newlines and wraps it at width; at most NOTICE_TEXT_LINES lines.
// Returns the number of lines.
std::size_t notice_text_lines(const char* text, std::size_t width, NoticeTextLine* lines);

// Lays out a notice for a terminal columns wide (0 when not known) so that no row reaches the
// last column. retry: the Retry/Cancel buttons, else OK alone. Pure.
NoticeLayout layout_notice(const char* caption, const char* text, bool retry, std::size_t columns);

// Notices with nobody to answer them go to standard error, each distinct message once: true
// the first time this text is shown in this style (thread-safe; a few dozen are remembered).
bool notice_first_shown(const char* text, unsigned style);

// A notice with nobody to answer it: "caption: text" and line_end ("\n", or "\r\n" on
// Windows) on standard error, the first time the message comes, and the answer the user would
// have agreed to (ANSWER_RETRY for NOTICE_RETRY, else ANSWER_OK).
int notice_to_standard_error(const char* caption, const char* text, unsigned style,
                             const char* line_end);

}  // namespace platform
