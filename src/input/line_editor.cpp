// The keyboard reader's line editing, one key at a time.
#include "input/input.h"

namespace {

constexpr char ENTER = 13;
constexpr char BACKSPACE = 8;

// The end of a line, or a key sent alone.
void end_line(LineEditor* editor, char key, bool raw_keys, KeyOutcome* outcome) {
    if (raw_keys) {
        outcome->send = SEND_KEY;
        outcome->key = key;
    } else {
        outcome->echo[outcome->echo_length++] = '\n';
        outcome->send = SEND_LINE;
        outcome->line_length = editor->length;
    }
    editor->length = 0;
}

}  // namespace

void line_editor_reset(LineEditor* editor) {
    editor->length = 0;
    editor->failing = false;
}

KeyOutcome edit_key(LineEditor* editor, bool key_read, char key, bool raw_keys) {
    KeyOutcome outcome{};
    outcome.send = SEND_NOTHING;
    if (!key_read) {
        // A failed read ends the line; a run of failures ends only the first. In key-by-key
        // mode there is no key to send.
        if (editor->failing) return outcome;
        editor->failing = true;
        if (raw_keys) {
            editor->length = 0;
        } else {
            end_line(editor, 0, false, &outcome);
        }
        return outcome;
    }
    editor->failing = false;
    outcome.echo[outcome.echo_length++] = key;
    if (key == 0 || raw_keys || key == ENTER) {
        end_line(editor, key, raw_keys, &outcome);
        return outcome;
    }
    if (key == BACKSPACE) {
        if (editor->length > 0) {
            --editor->length;
            outcome.echo[outcome.echo_length++] = ' ';
            outcome.echo[outcome.echo_length++] = BACKSPACE;
        }
        return outcome;
    }
    if (editor->length < LINE_CAPACITY) editor->line[editor->length++] = key;
    return outcome;
}
