// Sockets and the host name resolver on Windows (Windows Sockets, started as version 1.1):
// sockets_start, socket_create, socket_bind, socket_connect, socket_send, socket_receive,
// socket_shutdown, socket_close, socket_error_number and resolve_host.
#include <climits>
#include <cstring>

#include "internal.h"

namespace platform {

namespace {

sockaddr_in to_sockaddr(const ServerAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

SOCKET native_socket(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// The error of the thread's last failed socket call, kept at the failure: a later call of the
// same thread may change what WSAGetLastError answers before the number is shown.
thread_local int last_socket_error = 0;

int failed() {
    last_socket_error = WSAGetLastError();
    return -1;
}

// One send or receive moves at most this much: the calls take an int length.
int call_length(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

void sockets_start() {
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
}

SocketHandle socket_create() {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        failed();
        return NO_SOCKET;
    }
    // Programs the server launches must not hold the console's connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(socket);
}

int socket_bind(SocketHandle socket, const ServerAddress& address) {
    sockaddr_in native = to_sockaddr(address);
    if (::bind(native_socket(socket), reinterpret_cast<sockaddr*>(&native), sizeof native) != 0)
        return failed();
    return 0;
}

int socket_connect(SocketHandle socket, const ServerAddress& address) {
    sockaddr_in native = to_sockaddr(address);
    if (::connect(native_socket(socket), reinterpret_cast<sockaddr*>(&native), sizeof native) != 0)
        return failed();
    return 0;
}

long socket_send(SocketHandle socket, const void* data, std::size_t length) {
    int sent =
        ::send(native_socket(socket), static_cast<const char*>(data), call_length(length), 0);
    if (sent == SOCKET_ERROR) return failed();
    return sent;
}

long socket_receive(SocketHandle socket, void* buffer, std::size_t capacity) {
    int received =
        ::recv(native_socket(socket), static_cast<char*>(buffer), call_length(capacity), 0);
    if (received == SOCKET_ERROR) return failed();
    return received;
}

void socket_shutdown(SocketHandle socket) {
    ::shutdown(native_socket(socket), SD_BOTH);
}

void socket_close(SocketHandle socket) {
    ::closesocket(native_socket(socket));
}

int socket_error_number() {
    // Shown as the design shows it: the Windows Sockets code less WSABASEERR (10048 as 48).
    return last_socket_error - WSABASEERR;
}

bool resolve_host(const char* name, std::uint32_t* address) {
    // An empty name is not looked up: resolvers disagree on what it means.
    if (name[0] == '\0') return false;
    // gethostbyname keeps its answer per thread, so the copy below is safe.
    const hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
        !host->h_addr_list[0])
        return false;
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

}  // namespace platform
