// The input threads: the keyboard reader (interactive mode) and the command sender (command
// mode), and the keyboard reader's line editing.
//
// The line editor works one key at a time, as a pure function. In line mode the reader keeps an
// 80-character line: Backspace (8) erases its last character, Enter (13) or a NUL key sends it;
// in key-by-key mode every key is sent alone. Every key read is echoed as it is, whatever it is.
//
// When the server's code page is converted, the keys arrive as UTF-8, one byte at a time: the
// bytes of one character are gathered (across as many reads as they come in) and make one key,
// the character's byte in the code page. It is echoed as typed and sent as that byte; a
// character the code page lacks, and a byte that is not UTF-8, is neither echoed nor sent.
#pragma once

#include <cstddef>

struct CodePage;

constexpr std::size_t LINE_CAPACITY = 80;

struct LineEditor {
    char line[LINE_CAPACITY];   // in the server's code page
    std::size_t length;         // 0 to LINE_CAPACITY
    bool failing;               // the last read failed (a run of failures ends one line only)
    const CodePage* code_page;  // keys typed in UTF-8 go out in it; null: a byte is a key
    char sequence[4];           // the UTF-8 bytes of a character gathered so far
    std::size_t sequence_length;
    std::size_t sequence_needed;  // the length of the character being gathered
};

enum SendKind {
    SEND_NOTHING,
    SEND_KEY,   // the key alone, one byte
    SEND_LINE,  // the first line_length characters of the editor's line (possibly none)
};

struct KeyOutcome {
    char echo[8];  // what goes to standard output, in order
    std::size_t echo_length;
    SendKind send;
    char key;                 // for SEND_KEY
    std::size_t line_length;  // for SEND_LINE: the line stays in the editor until the next key
};

// An empty line; keys typed in UTF-8 are converted to the code page, unless it is null.
void line_editor_reset(LineEditor* editor, const CodePage* code_page = nullptr);
// One byte of a key, read (key_read), or a failed read, in the mode raw_keys holds at that
// moment.
KeyOutcome edit_key(LineEditor* editor, bool key_read, char key, bool raw_keys);

// The escape from the keyboard. Typed as the first key of a line (the first key the reader
// reads, or the key after Enter), the escape character is held back: the next key decides.
// '.' ends the console; the escape character again sends it once; any other key sends both.
// Anywhere else on a line it is an ordinary key. Only keys typed at a terminal or console are
// looked at: keys from a file or a pipe pass as they are.
constexpr const char* ESCAPE_VARIABLE = "VELDRIN_ESCAPE";
constexpr char DEFAULT_ESCAPE = '~';

// The escape character a VELDRIN_ESCAPE value names: DEFAULT_ESCAPE when unset (null) or
// empty, 0 (no escape) for "none", the character itself for one printable ASCII character
// other than the space and '.'; -1 for anything else.
int parse_escape_setting(const char* value);
// The escape character in force (0: none). Set at start-up, before the keyboard reader starts.
extern char escape_character;

struct EscapeState {
    char escape;      // 0: keys pass as they are
    bool line_start;  // the next key is the first of a line
    bool held;        // the escape character was typed first on a line: the next key decides
};
struct EscapeOutcome {
    char keys[2];  // the keys to go on to the line editor, in order
    int count;
    bool end;  // the user ends the console
};
// At the start of a line, with this escape character (0: none).
void escape_reset(EscapeState* state, char escape);
// One key read from the keyboard. Pure.
EscapeOutcome escape_key(EscapeState* state, char key);

// The input thread of interactive mode: keys to the server, a line or a key at a time; the
// escape then '.' ends the console as Cancel does.
void keyboard_reader();
// The input thread of command mode: the command text to the server, then "CLOSE".
void command_sender();
