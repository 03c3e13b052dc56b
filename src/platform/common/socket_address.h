// The system's IPv4 socket address for the server's address. Portable: the backend names its
// own socket address type (sockaddr_in in every system's headers, with fields of the same
// names) and its family's value.
#pragma once

#include "platform/platform.h"

namespace platform {

template <typename SocketAddressIn>
SocketAddressIn ipv4_socket_address(const ServerAddress& address, int family) {
    SocketAddressIn native{};
    native.sin_family = static_cast<decltype(native.sin_family)>(family);
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

}  // namespace platform
