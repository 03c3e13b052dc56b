// The input thread of command mode: the command text to the server, and "CLOSE" when the
// server has not ended the session three seconds later.
#include "core/console_state.h"
#include "input/input.h"

void command_sender() {
    while (!connected.load()) {
        if (!platform::sleep_ms(100)) return;
    }
    if (!platform::sleep_ms(100)) return;
    std::size_t offset = static_cast<std::size_t>(command_offset.load());
    send_to_server(command_line + offset, command_line_length - offset);
    for (int tests = 0; tests < 30 && connected.load(); ++tests) {
        if (!platform::sleep_ms(100)) return;
    }
    if (connected.load()) {
        send_to_server(CLOSE_MESSAGE, sizeof CLOSE_MESSAGE);
    }
}
