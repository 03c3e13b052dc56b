// The state the console's threads share, and the link to the server they all use.
#include "core/console_state.h"

#include <cstring>

std::atomic<std::int32_t> link_state{LINK_IDLE};
std::atomic<std::int32_t> settled_link_state{LINK_IDLE};
std::atomic<platform::SocketHandle> server_socket{platform::NO_SOCKET};
std::atomic<std::int32_t> connected{0};
std::atomic<std::int32_t> raw_keys{0};
std::atomic<std::int32_t> command_offset{0};
platform::InputHandle console_input = 0;
std::atomic<std::int32_t> user_cancelled{0};
char command_line[COMMAND_LINE_SIZE] = "";
std::size_t command_line_length = 0;

int notify_user(const char* text, unsigned style, const char* (*follow)()) {
    if (command_mode()) {
        // Scripts read this: the text and a newline on standard output, and nobody to answer.
        platform::OutputPart parts[] = {{text, std::strlen(text)}, {"\n", 1}};
        platform::write_stdout_parts(parts, 2);
        return platform::ANSWER_CANCEL;
    }
    return platform::show_notice(CONSOLE_TITLE, text, style, follow);
}

namespace {
// Input threads between their test of the connection and the end of their send.
std::atomic<std::int32_t> sends_under_way{0};
}  // namespace

long send_to_server(const void* data, std::size_t length) {
    sends_under_way.fetch_add(1);
    long sent = -1;
    if (connected.load()) {
        platform::SocketHandle socket = server_socket.load();
        if (socket != platform::NO_SOCKET) sent = platform::socket_send(socket, data, length);
    }
    sends_under_way.fetch_sub(1);
    return sent;
}

void end_by_user() {
    user_cancelled.store(1);
    link_state.store(LINK_IDLE);  // a session stops taking in the server's text
    platform::interrupt_main_wait();
    // Guarded as a send is, so that the socket shut down is never one drop_connection has
    // closed (whose number the system may have given to a new file).
    sends_under_way.fetch_add(1);
    if (connected.load()) {
        platform::SocketHandle socket = server_socket.load();
        if (socket != platform::NO_SOCKET) platform::socket_shutdown(socket);
    }
    sends_under_way.fetch_sub(1);
}

void drop_connection() {
    connected.store(0);
    platform::SocketHandle socket = server_socket.exchange(platform::NO_SOCKET);
    if (socket == platform::NO_SOCKET) return;
    // A send that took the socket before the exchange above is woken by the shutdown and
    // finishes before the socket is closed; a later one finds no connection.
    platform::socket_shutdown(socket);
    while (sends_under_way.load() != 0) platform::sleep_ms(1);
    platform::socket_close(socket);
}

platform::ThreadHandle start_thread(void (*body)()) {
    return platform::thread_start(body);
}
