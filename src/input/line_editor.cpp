// The keyboard reader's line editing, one key at a time.
#include "input/input.h"

#include <cstring>

#include "text/codepage.h"

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

// Gathers one byte of a key typed in UTF-8. True when a character is complete and the code
// page has it: *key is its byte, and its UTF-8 text is in the editor's sequence.
bool gather_character(LineEditor* editor, unsigned char byte, char* key) {
    if (editor->sequence_length > 0 && (byte & 0xC0) == 0x80) {
        editor->sequence[editor->sequence_length++] = static_cast<char>(byte);
    } else {
        // A new character; one cut short by it is dropped.
        editor->sequence_length = 0;
        editor->sequence_needed = utf8_sequence_length(byte);
        if (editor->sequence_needed == 0) return false;
        editor->sequence[editor->sequence_length++] = static_cast<char>(byte);
    }
    if (editor->sequence_length < editor->sequence_needed) return false;
    int converted = code_page_byte(*editor->code_page, editor->sequence, editor->sequence_length);
    if (converted < 0) {
        editor->sequence_length = 0;
        return false;
    }
    *key = static_cast<char>(converted);
    return true;
}

}  // namespace

void line_editor_reset(LineEditor* editor, const CodePage* code_page) {
    editor->length = 0;
    editor->failing = false;
    editor->code_page = code_page;
    editor->sequence_length = 0;
    editor->sequence_needed = 0;
}

KeyOutcome edit_key(LineEditor* editor, bool key_read, char key, bool raw_keys) {
    KeyOutcome outcome{};
    outcome.send = SEND_NOTHING;
    if (!key_read) {
        // A failed read ends the line; a run of failures ends only the first. In key-by-key
        // mode there is no key to send.
        editor->sequence_length = 0;  // a character cut short by the failure is dropped
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
    if (editor->code_page != nullptr) {
        if (!gather_character(editor, static_cast<unsigned char>(key), &key)) return outcome;
        std::memcpy(outcome.echo, editor->sequence, editor->sequence_length);
        outcome.echo_length = editor->sequence_length;
        editor->sequence_length = 0;
    } else {
        outcome.echo[outcome.echo_length++] = key;
    }
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
