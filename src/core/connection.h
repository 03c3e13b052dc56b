// The connection: one attempt at reaching the server, and the server address file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr const char* ADDRESS_FILE = "KORVDBM.ADR";

// One try at reaching the server; runs the session when it connects.
void attempt_connection();
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
