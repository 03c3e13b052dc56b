// One connection attempt, the server address file, and the retry notifier's start and stop.
#include <cstdio>
#include <cstring>

#include "app/connection.h"
#include "app/session.h"
#include "core/console_state.h"
#include "notify/notify.h"

namespace {

// These texts name Windows sockets on every platform on purpose: command mode prints them on
// standard output, and scripts that read that output match them word for word, whichever
// platform the console runs on. Only the error number is the platform's own (see
// platform::socket_error_number).
constexpr const char* SOCKET_ERROR_FORMAT = "Server communication error: %s.\n Error number=%d";
constexpr const char OPEN_FAILED[] = "Unable to open a Windows socket";
constexpr const char BIND_FAILED[] = "Unable to bind to a Windows socket";
// Room for the longer fixed text, the format's own text and any int.
constexpr std::size_t SOCKET_ERROR_SIZE = 64 + sizeof BIND_FAILED + 12;

platform::ThreadHandle notifier_thread = nullptr;

}  // namespace

void start_notifier() {
    if (!notifier_thread) notifier_thread = start_thread(retry_notifier);
}

void stop_notifier() {
    platform::ThreadHandle thread = notifier_thread;
    notifier_thread = nullptr;
    if (thread) platform::thread_stop(thread);
}

unsigned keep_alive_seconds = DEFAULT_KEEP_ALIVE;

bool parse_keep_alive_setting(const char* text, unsigned* seconds) {
    if (text == nullptr || *text == '\0') {
        *seconds = DEFAULT_KEEP_ALIVE;
        return true;
    }
    unsigned value = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return false;
        value = value * 10 + static_cast<unsigned>(*at - '0');
        if (value > KEEP_ALIVE_MOST) return false;
    }
    if (value != 0 && value < KEEP_ALIVE_LEAST) return false;
    *seconds = value;
    return true;
}

std::size_t format_socket_error(char* buffer, std::size_t capacity, const char* text, int number) {
    int length = std::snprintf(buffer, capacity, SOCKET_ERROR_FORMAT, text, number);
    return length < 0 ? 0 : static_cast<std::size_t>(length);
}

void report_socket_error(const char* text) {
    int number = platform::socket_error_number();
    char message[SOCKET_ERROR_SIZE];
    format_socket_error(message, sizeof message, text, number);
    notify_user(message, platform::NOTICE_ERROR);
}

bool decode_address_file(const unsigned char* bytes, std::size_t size, HostResolver resolve,
                         platform::ServerAddress* address) {
    // The host name comes first; the stored address only when the name gives none.
    bool resolved = false;
    if (size >= ADDRESS_NAME_OFFSET + ADDRESS_NAME_SIZE) {
        char name[ADDRESS_NAME_SIZE + 1];
        std::memcpy(name, bytes + ADDRESS_NAME_OFFSET, ADDRESS_NAME_SIZE);
        name[ADDRESS_NAME_SIZE] = '\0';  // a name with no NUL counts as all 64 characters
        std::uint32_t found = 0;
        if (resolve(name, &found) && found != 0) {
            address->address = found;
            resolved = true;
        }
    }
    if (!resolved) {
        if (size < sizeof address->address) return false;
        std::memcpy(&address->address, bytes, sizeof address->address);
    }
    if (size < ADDRESS_PORT_OFFSET + sizeof address->port) return false;
    std::memcpy(&address->port, bytes + ADDRESS_PORT_OFFSET, sizeof address->port);
    return true;
}

bool read_server_address_from(const char* path, platform::ServerAddress* address) {
    platform::FileHandle file = platform::file_open_read(path);
    if (file == platform::NO_FILE) return false;
    // Only the first 83 bytes hold anything the console reads.
    unsigned char bytes[ADDRESS_FILE_USED];
    long size = platform::file_read(file, bytes, sizeof bytes);
    platform::file_close(file);
    return size >= 0 && decode_address_file(bytes, static_cast<std::size_t>(size),
                                            platform::resolve_host, address);
}

bool read_server_address(platform::ServerAddress* address) {
    return read_server_address_from(ADDRESS_FILE, address);
}

void attempt_connection() {
    platform::SocketHandle socket = platform::socket_create();
    server_socket.store(socket);
    if (socket == platform::NO_SOCKET) {
        report_socket_error(OPEN_FAILED);
    } else {
        // Set before the connect, so that a peer gone silent is noticed for the whole session.
        if (keep_alive_seconds != 0) platform::socket_keep_alive(socket, keep_alive_seconds);
        platform::ServerAddress address{};
        address.family = platform::ADDRESS_FAMILY_IPV4;
        if (platform::socket_bind(socket, address) != 0) {
            report_socket_error(BIND_FAILED);
        } else {
            link_state.store(LINK_BOUND);
            if (read_server_address(&address)) {
                link_state.store(LINK_ADDRESSED);
                if (platform::socket_connect(socket, address,
                                             command_mode() ? 0 : INTERACTIVE_CONNECT_MS) == 0) {
                    connected.store(1);
                    if (command_mode())
                        platform::socket_send(socket, MODE_MESSAGE, sizeof MODE_MESSAGE);
                    link_state.store(LINK_ONLINE);
                    stop_notifier();
                    if (user_cancelled.load()) {
                        // The user gave up before this connection was made: the cancel holds.
                        link_state.store(LINK_IDLE);
                        drop_connection();
                    } else {
                        run_session();
                    }
                }
            }
        }
    }
    if (!connected.load() && server_socket.load() != platform::NO_SOCKET) drop_connection();
}
