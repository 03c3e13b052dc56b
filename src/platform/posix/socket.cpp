// Sockets and the host name resolver: the Sockets part of platform.h, over BSD sockets, and
// interrupt_main_wait, which the connect and the lookup watch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "platform/common/host_lookup.h"
#include "platform/common/socket_address.h"
#include "platform/platform.h"

namespace platform {

namespace {

thread_local int last_socket_error = 0;

// Readable once interrupt_main_wait has been called; -1 until main_wait_start makes it.
std::atomic<int> interrupt_fd{-1};

bool interrupted() {
    int fd = interrupt_fd.load();
    if (fd < 0) return false;
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

// The system's side of a host name lookup (common/host_lookup.h): the resolver, a detached
// thread, and an eventfd that is readable once the answer is in.
bool resolve_now(const char* name, std::uint32_t* address) {
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

void* run_lookup(void* lookup) {
    run_host_lookup(static_cast<HostLookup*>(lookup));
    return nullptr;
}

bool start_lookup(HostLookup* lookup) {
    int done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (done < 0) return false;
    lookup->done = done;
    if (posix::start_detached_thread(run_lookup, lookup)) return true;
    close(done);
    return false;
}

bool wait_lookup(HostLookup* lookup) {
    pollfd fds[2] = {{static_cast<int>(lookup->done), POLLIN, 0}, {interrupt_fd.load(), POLLIN, 0}};
    nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    for (;;) {
        int ready = poll(fds, count, -1);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && fds[0].revents != 0 && !(count == 2 && fds[1].revents);
    }
}

void signal_lookup_done(HostLookup* lookup) {
    std::uint64_t one = 1;
    ssize_t written = write(static_cast<int>(lookup->done), &one, sizeof one);
    (void)written;
}

void close_lookup_done(HostLookup* lookup) {
    close(static_cast<int>(lookup->done));
}

constexpr HostLookupCalls LOOKUP_CALLS = {resolve_now, start_lookup, wait_lookup,
                                          signal_lookup_done, close_lookup_done};

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
    sockaddr_in native = ipv4_socket_address<sockaddr_in>(address, AF_INET);
    if (::bind(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&native), sizeof native)) {
        return failed();
    }
    return 0;
}

bool socket_keep_alive(SocketHandle socket, unsigned bound_seconds) {
    int fd = static_cast<int>(socket);
    // Probes start after idle seconds of silence and go every interval; the user time-out ends
    // the connection at the first probe (or retransmission of unacknowledged data) that finds
    // the peer silent for the whole bound. idle + count * interval stays within the bound, so
    // the probe count ends it in time where the user time-out is not taken.
    int bound = static_cast<int>(bound_seconds);
    int interval = bound / 15 > 1 ? bound / 15 : 1;
    int idle = bound - 10 * interval > 1 ? bound - 10 * interval : 1;
    int count = (bound - idle) / interval > 1 ? (bound - idle) / interval : 1;
    int on = 1;
    unsigned user_timeout = bound_seconds * 1000;
    bool ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout) == 0 &&
         ok;
    if (!ok) failed();
    return ok;
}

int socket_connect(SocketHandle socket, const ServerAddress& address, unsigned timeout_ms) {
    int fd = static_cast<int>(socket);
    if (interrupted()) {
        errno = ECANCELED;
        return failed();
    }
    // Connected without blocking, so that the wait for the outcome can watch the interrupt as
    // well; the kernel gives up after its own time-out (its SYN retries) as a blocking connect
    // would. The socket is blocking again afterwards, as the session expects.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return failed();
    sockaddr_in native = ipv4_socket_address<sockaddr_in>(address, AF_INET);
    int result = ::connect(fd, reinterpret_cast<sockaddr*>(&native), sizeof native);
    int error = result == 0 ? 0 : errno;
    if (error == EINPROGRESS || error == EINTR) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {interrupt_fd.load(), POLLIN, 0}};
        nfds_t count = fds[1].fd >= 0 ? 2 : 1;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            int wait_ms = -1;
            if (timeout_ms != 0) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                long long passed =
                    (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
                wait_ms = passed >= timeout_ms ? 0 : static_cast<int>(timeout_ms - passed);
            }
            int ready = poll(fds, count, wait_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                error = errno;
            } else if (ready == 0) {
                error = ETIMEDOUT;
            } else if (count == 2 && fds[1].revents) {
                error = ECANCELED;
            } else {
                socklen_t size = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
            break;
        }
    }
    fcntl(fd, F_SETFL, flags);
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
    return !interrupted() && resolve_host_with(name, address, LOOKUP_CALLS);
}

void interrupt_main_wait() {
    int fd = interrupt_fd.load();
    if (fd < 0) return;
    std::uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;
}

namespace posix {

void main_wait_start() {
    if (interrupt_fd.load() >= 0) return;
    interrupt_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

}  // namespace posix

}  // namespace platform
