// Server address files, and ports on 127.0.0.1 where nothing listens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace harness {

// The address file's name, as the console looks for it in its working directory.
inline constexpr const char* ADDRESS_FILE_NAME = "KORVDBM.ADR";
// 127.0.0.1 in host byte order.
inline constexpr std::uint32_t LOOPBACK = 0x7f000001u;

// A string holding exactly these bytes (embedded NULs included): bytes("MODE 1\0").
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// The bytes of a server address file: the IPv4 address (given in host byte order, stored in
// network byte order) at offset 0, zeros at 4..16, the port (high byte first) at 17, and the
// host name NUL-padded to 64 bytes at 19 (cut to 63 characters). size cuts the result (or pads
// it with zeros), so 18-, 19- and 83-byte files can be made.
std::string address_file_bytes(std::uint32_t ipv4_host_order, std::uint16_t port,
                               const std::string& host_name, std::size_t size = 83);
// An 83-byte file pointing at 127.0.0.1:port with an empty host name.
std::string loopback_address_file(std::uint16_t port);

// A port on 127.0.0.1 where nothing listens: a socket is bound to it (so no one else gets it)
// but never listens, so a connect to it is refused. The port is freed by the destructor.
class UnusedPort {
  public:
    UnusedPort();
    ~UnusedPort();
    UnusedPort(const UnusedPort&) = delete;
    UnusedPort& operator=(const UnusedPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

namespace detail {
// A TCP socket (close-on-exec) bound to 127.0.0.1 on a port the system picks; returns the
// descriptor and stores the port.
int bound_loopback_socket(std::uint16_t* port);
}  // namespace detail

}  // namespace harness
