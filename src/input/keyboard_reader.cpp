// The input thread of interactive mode: reads the keyboard, echoes, edits a line and sends
// lines or single keys to the server.
#include "core/console_state.h"
#include "input/input.h"
#include "text/codepage.h"

#include "platform/platform.h"

namespace {

// Pause after a failed read, so that a read that keeps failing does not spin.
constexpr unsigned FAILED_READ_PAUSE_MS = 100;

// One key, or a failed read, through the line editor: echoed, and sent when it ends a line or
// the keyboard is in key-by-key mode.
void take_key(LineEditor* editor, bool key_read, char key) {
    KeyOutcome outcome = edit_key(editor, key_read, key, raw_keys.load() == 1);
    if (outcome.echo_length > 0) platform::write_stdout(outcome.echo, outcome.echo_length);
    // A send while there is no connection fails: such a line or key is lost.
    if (outcome.send == SEND_KEY) {
        send_to_server(&outcome.key, 1);
    } else if (outcome.send == SEND_LINE) {
        send_to_server(editor->line, outcome.line_length);
    }
}

}  // namespace

void keyboard_reader() {
    bool at_terminal = platform::set_console_key_mode(console_input);
    LineEditor editor;
    line_editor_reset(&editor, converted_code_page);
    EscapeState escape;
    escape_reset(&escape, at_terminal ? escape_character : 0);
    for (;;) {
        char key = 0;
        platform::WaitResult result = platform::read_console_key(console_input, &key);
        if (result == platform::WaitResult::STOPPED || result == platform::WaitResult::END) return;
        if (result != platform::WaitResult::READY) {
            take_key(&editor, false, 0);
            if (!platform::sleep_ms(FAILED_READ_PAUSE_MS)) return;
            continue;
        }
        EscapeOutcome escaped = escape_key(&escape, key);
        if (escaped.end) {
            end_by_user();
            return;
        }
        for (int i = 0; i < escaped.count; ++i) take_key(&editor, true, escaped.keys[i]);
    }
}
