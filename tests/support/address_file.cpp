#include "address_file.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common.h"

namespace harness {

using detail::close_fd;
using detail::fail;

std::string address_file_bytes(std::uint32_t ipv4_host_order, std::uint16_t port,
                               const std::string& host_name, std::size_t size) {
    std::string file(83, '\0');
    file[0] = static_cast<char>((ipv4_host_order >> 24) & 0xff);
    file[1] = static_cast<char>((ipv4_host_order >> 16) & 0xff);
    file[2] = static_cast<char>((ipv4_host_order >> 8) & 0xff);
    file[3] = static_cast<char>(ipv4_host_order & 0xff);
    file[17] = static_cast<char>((port >> 8) & 0xff);
    file[18] = static_cast<char>(port & 0xff);
    file.replace(19, std::min<std::size_t>(host_name.size(), 63), host_name, 0, 63);
    file.resize(size, '\0');
    return file;
}

std::string loopback_address_file(std::uint16_t port) {
    return address_file_bytes(LOOPBACK, port, "");
}

// A TCP socket bound to 127.0.0.1 on a port the system picks; returns the fd and the port.
int detail::bound_loopback_socket(std::uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("bind 127.0.0.1:0");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

UnusedPort::UnusedPort() {
    fd_ = detail::bound_loopback_socket(&port_);
}

UnusedPort::~UnusedPort() {
    close_fd(fd_);
}

}  // namespace harness
