// The input threads: the keyboard reader (interactive mode) and the command sender (command
// mode), and the keyboard reader's line editing.
//
// The line editor works one key at a time, as a pure function. In line mode the reader keeps an
// 80-character line: Backspace (8) erases its last character, Enter (13) or a NUL key sends it;
// in key-by-key mode every key is sent alone. Every key read is echoed as it is, whatever it is.
#pragma once

#include <cstddef>

constexpr std::size_t LINE_CAPACITY = 80;

struct LineEditor {
    char line[LINE_CAPACITY];
    std::size_t length;  // 0 to LINE_CAPACITY
    bool failing;        // the last read failed (a run of failures ends one line only)
};

enum SendKind {
    SEND_NOTHING,
    SEND_KEY,   // the key alone, one byte
    SEND_LINE,  // the first line_length characters of the editor's line (possibly none)
};

struct KeyOutcome {
    char echo[4];  // what goes to standard output, in order
    std::size_t echo_length;
    SendKind send;
    char key;                 // for SEND_KEY
    std::size_t line_length;  // for SEND_LINE: the line stays in the editor until the next key
};

// An empty line.
void line_editor_reset(LineEditor* editor);
// One key, read (key_read) or a failed read, in the mode raw_keys holds at that moment.
KeyOutcome edit_key(LineEditor* editor, bool key_read, char key, bool raw_keys);

// The input thread of interactive mode: keys to the server, a line or a key at a time.
void keyboard_reader();
// The input thread of command mode: the command text to the server, then "CLOSE".
void command_sender();
