// Sockets and the host name resolver: the Sockets part of platform.h, over BSD sockets.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

sockaddr_in to_sockaddr(const ServerAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

thread_local int last_socket_error = 0;

int failed() {
    last_socket_error = errno;
    return -1;
}

}  // namespace

void sockets_start() {}

SocketHandle socket_create() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        failed();
        return NO_SOCKET;
    }
    return fd;
}

int socket_bind(SocketHandle socket, const ServerAddress& address) {
    sockaddr_in native = to_sockaddr(address);
    if (::bind(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&native), sizeof native)) {
        return failed();
    }
    return 0;
}

int socket_connect(SocketHandle socket, const ServerAddress& address) {
    int fd = static_cast<int>(socket);
    sockaddr_in native = to_sockaddr(address);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&native), sizeof native) == 0) return 0;
    if (errno != EINTR) return failed();
    // A signal cut the wait short; the connection goes on being made: wait for its outcome.
    pollfd writable{fd, POLLOUT, 0};
    while (poll(&writable, 1, -1) < 0) {
        if (errno != EINTR) return failed();
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return failed();
    if (error != 0) {
        errno = error;
        return failed();
    }
    return 0;
}

long socket_send(SocketHandle socket, const void* data, std::size_t length) {
    ssize_t sent;
    do {
        sent = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return failed();
    return static_cast<long>(sent);
}

long socket_receive(SocketHandle socket, void* buffer, std::size_t capacity) {
    int fd = static_cast<int>(socket);
    ssize_t received;
    do {
        received = ::recv(fd, buffer, capacity, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return failed();
#ifdef TCP_QUICKACK
    // Acknowledge what arrived at once, rather than when the kernel chooses. A fast server
    // fills its send buffer with data this side has queued but not yet acknowledged, and
    // sleeps until an acknowledgement comes, sent from this thread; measured on Linux loopback,
    // asking for it here about halved, in most runs, how often the server slept and how often
    // this thread lost its processor to it. The setting does not last, hence once per receive.
    if (received > 0) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
#endif
    return static_cast<long>(received);
}

void socket_shutdown(SocketHandle socket) {
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void socket_close(SocketHandle socket) {
    ::close(static_cast<int>(socket));
}

int socket_error_number() {
    return last_socket_error;
}

bool resolve_host(const char* name, std::uint32_t* address) {
    // An empty name is not looked up: resolvers disagree on what it means.
    if (name[0] == '\0') return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    bool ok = false;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        ok = true;
    }
    freeaddrinfo(found);
    return ok;
}

}  // namespace platform
