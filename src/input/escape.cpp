// The keyboard's escape: the escape character typed first on a line, and the key after it.
#include "input/input.h"

#include <cstring>

namespace {

constexpr char ENTER = 13;
constexpr char END_KEY = '.';

}  // namespace

char escape_character = 0;

int parse_escape_setting(const char* value) {
    if (value == nullptr || *value == '\0') return DEFAULT_ESCAPE;
    if (std::strcmp(value, "none") == 0) return 0;
    unsigned char first = static_cast<unsigned char>(value[0]);
    // One printable ASCII character (the same byte in every code page); not the space, and
    // not the key that ends the console, which could then never be sent first on a line.
    if (value[1] != '\0' || first <= ' ' || first >= 0x7f || first == END_KEY) return -1;
    return first;
}

void escape_reset(EscapeState* state, char escape) {
    state->escape = escape;
    state->line_start = true;
    state->held = false;
}

EscapeOutcome escape_key(EscapeState* state, char key) {
    EscapeOutcome outcome{};
    if (state->held) {
        state->held = false;
        if (key == END_KEY) {
            outcome.end = true;
            return outcome;
        }
        outcome.keys[outcome.count++] = state->escape;
        // The escape typed twice is sent once.
        if (key == state->escape) {
            state->line_start = false;
            return outcome;
        }
    } else if (state->escape != 0 && state->line_start && key == state->escape) {
        state->held = true;  // neither echoed nor sent until the next key says what it is
        return outcome;
    }
    outcome.keys[outcome.count++] = key;
    state->line_start = key == ENTER;
    return outcome;
}
