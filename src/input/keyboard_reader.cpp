// The input thread of interactive mode: reads the keyboard, echoes, edits a line and sends
// lines or single keys to the server.
#include "input/line_editor.h"

#include "core/console_state.h"
#include "platform/platform.h"

namespace {

constexpr char ENTER = 13;
constexpr char BACKSPACE = 8;

// Pause after a failed read, so that a read that keeps failing does not spin.
constexpr unsigned FAILED_READ_PAUSE_MS = 100;

// Step 3.6: the end of a line, or a key sent alone.
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

void keyboard_reader() {
    platform::set_console_input_mode(console_input, 0);
    LineEditor editor;
    line_editor_reset(&editor);
    for (;;) {
        char key = 0;
        platform::KeyResult result = platform::read_console_key(console_input, &key);
        if (result == platform::KEY_STOPPED || result == platform::KEY_END) return;
        bool key_read = result == platform::KEY_READ;
        KeyOutcome outcome = edit_key(&editor, key_read, key, raw_keys.load() == 1);
        if (outcome.echo_length > 0) platform::write_stdout(outcome.echo, outcome.echo_length);
        // A send while there is no connection fails: such a line or key is lost.
        if (outcome.send == SEND_KEY) {
            send_to_server(&outcome.key, 1);
        } else if (outcome.send == SEND_LINE) {
            send_to_server(editor.line, outcome.line_length);
        }
        if (!key_read && !platform::sleep_ms(FAILED_READ_PAUSE_MS)) return;
    }
}
