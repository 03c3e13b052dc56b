// The connection: one attempt at reaching the server, and the server address file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr const char* ADDRESS_FILE = "KORVDBM.ADR";

// How long a silent server may stay silent before its session counts as lost, in seconds:
// VELDRIN_KEEPALIVE, from KEEP_ALIVE_LEAST to KEEP_ALIVE_MOST, or 0 to leave the system's own
// settings; DEFAULT_KEEP_ALIVE when unset or empty.
constexpr const char* KEEP_ALIVE_VARIABLE = "VELDRIN_KEEPALIVE";
constexpr unsigned DEFAULT_KEEP_ALIVE = 30;
constexpr unsigned KEEP_ALIVE_LEAST = 2;
constexpr unsigned KEEP_ALIVE_MOST = 3600;
// The bound an interactive attempt's connect waits at most, so that a link that comes back
// while an attempt waits in the system's connect retries is found by the next attempt.
// Command mode waits as long as the system's own connect time-out.
constexpr unsigned INTERACTIVE_CONNECT_MS = 5000;
// The setting's seconds, into *seconds; false when the text is not one (not a decimal number,
// or out of range). Pure.
bool parse_keep_alive_setting(const char* text, unsigned* seconds);
// The setting in force: set at start-up, before any attempt, and read by the main thread.
extern unsigned keep_alive_seconds;

// One try at reaching the server; runs the session when it connects.
void attempt_connection();
// The retry notifier, started by the connection loop while the console has no session and
// wants one, and ended when a connection comes or the console ends. The main thread's only.
void start_notifier();
// Ends the retry notifier, if one runs, and takes its notice away.
void stop_notifier();
// Fills address and port from the address file in the working directory.
bool read_server_address(platform::ServerAddress* address);
// The same from a named file.
bool read_server_address_from(const char* path, platform::ServerAddress* address);

// The address file's fields: the address at 0, the port at 17, the host name at 19.
constexpr std::size_t ADDRESS_PORT_OFFSET = 17;
constexpr std::size_t ADDRESS_NAME_OFFSET = 19;
constexpr std::size_t ADDRESS_NAME_SIZE = 64;
constexpr std::size_t ADDRESS_FILE_USED = ADDRESS_NAME_OFFSET + ADDRESS_NAME_SIZE;
using HostResolver = bool (*)(const char* name, std::uint32_t* address);
// Fills address and port from the first size bytes of an address file: the host name (when the
// file holds one) through resolve, else the stored address; then the port. Pure but for resolve.
bool decode_address_file(const unsigned char* bytes, std::size_t size, HostResolver resolve,
                         platform::ServerAddress* address);
// Composes the socket error message (held whole, whatever its length) and shows it.
void report_socket_error(const char* text);
// The composed socket error message, into buffer (NUL-ended, cut to capacity).
std::size_t format_socket_error(char* buffer, std::size_t capacity, const char* text, int number);
