// Sockets and the host name resolver: the Sockets part of platform.h, over BSD sockets, and
// interrupt_main_wait, which the connect and the lookup watch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "internal.h"
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

// Readable once interrupt_main_wait has been called; -1 until main_wait_start makes it.
std::atomic<int> interrupt_fd{-1};

bool interrupted() {
    int fd = interrupt_fd.load();
    if (fd < 0) return false;
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

// Host name lookups on threads of their own. A slot is claimed (RUNNING) by the waiter, and
// freed by the waiter once the lookup is DONE, or by the lookup's thread when the waiter gave
// up on it (ABANDONED). Slots are static: an abandoned lookup never writes into memory that
// has been freed, and at most LOOKUPS of them can be left running.
constexpr int LOOKUP_FREE = 0;
constexpr int LOOKUP_RUNNING = 1;
constexpr int LOOKUP_DONE = 2;
constexpr int LOOKUP_ABANDONED = 3;
constexpr int LOOKUPS = 4;
constexpr std::size_t LOOKUP_NAME_SIZE = 256;

struct Lookup {
    std::atomic<int> state{LOOKUP_FREE};
    char name[LOOKUP_NAME_SIZE];
    std::uint32_t address;
    bool found;
    int done_fd = -1;
};

Lookup lookups[LOOKUPS];

void free_lookup(Lookup* lookup) {
    close(lookup->done_fd);
    lookup->done_fd = -1;
    lookup->state.store(LOOKUP_FREE);
}

// The first IPv4 address of the host, in network byte order.
bool lookup_now(const char* name, std::uint32_t* address) {
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

void* run_lookup(void* argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    std::uint32_t address = 0;
    bool found = lookup_now(lookup->name, &address);
    lookup->address = address;
    lookup->found = found;
    std::uint64_t one = 1;
    ssize_t written = write(lookup->done_fd, &one, sizeof one);
    (void)written;
    if (lookup->state.exchange(LOOKUP_DONE) == LOOKUP_ABANDONED) free_lookup(lookup);
    return nullptr;
}

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
    sockaddr_in native = to_sockaddr(address);
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
    // An empty name is not looked up: resolvers disagree on what it means.
    if (name[0] == '\0' || interrupted()) return false;
    std::size_t length = std::strlen(name);
    if (length >= LOOKUP_NAME_SIZE) return false;
    // The lookup runs on a thread of its own, so that the wait for it can be interrupted; an
    // interrupted wait leaves the thread to finish with its slot and free it.
    Lookup* lookup = nullptr;
    for (Lookup& slot : lookups) {
        int expected = LOOKUP_FREE;
        if (slot.state.compare_exchange_strong(expected, LOOKUP_RUNNING)) {
            lookup = &slot;
            break;
        }
    }
    if (!lookup) return false;  // every slot is held by an abandoned lookup still running
    std::memcpy(lookup->name, name, length + 1);
    lookup->found = false;
    lookup->done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_attr_t attributes;
    bool started = false;
    if (lookup->done_fd >= 0 && pthread_attr_init(&attributes) == 0) {
        pthread_t thread;
        started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_create(&thread, &attributes, run_lookup, lookup) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        if (lookup->done_fd >= 0) close(lookup->done_fd);
        lookup->state.store(LOOKUP_FREE);
        return false;
    }
    pollfd fds[2] = {{lookup->done_fd, POLLIN, 0}, {interrupt_fd.load(), POLLIN, 0}};
    nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    bool done = false;
    for (;;) {
        int ready = poll(fds, count, -1);
        if (ready < 0 && errno == EINTR) continue;
        done = ready > 0 && fds[0].revents != 0 && !(count == 2 && fds[1].revents);
        break;
    }
    if (!done) {
        // Abandoned: whichever of the two comes second frees the slot.
        if (lookup->state.exchange(LOOKUP_ABANDONED) == LOOKUP_DONE) free_lookup(lookup);
        return false;
    }
    // The thread has signalled; it sets the state just after.
    while (lookup->state.load() == LOOKUP_RUNNING) sched_yield();
    bool found = lookup->found;
    if (found) *address = lookup->address;
    free_lookup(lookup);
    return found;
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
