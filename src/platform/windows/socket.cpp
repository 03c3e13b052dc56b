// Sockets and the host name resolver on Windows (Windows Sockets, started as version 1.1):
// sockets_start, socket_create, socket_keep_alive, socket_bind, socket_connect, socket_send,
// socket_receive, socket_shutdown, socket_close, socket_error_number and resolve_host; and
// interrupt_main_wait, which the connect and the lookup watch.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "internal.h"
// After winsock2.h: the keepalive times.
#include <mstcpip.h>

namespace platform {

namespace {

// The retransmission time-out socket option (ws2ipdef.h), which mingw-w64's headers lack.
constexpr int TCP_MAXRT = 5;

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

int failed_with(int error) {
    last_socket_error = error;
    return -1;
}

// Set, for good, by interrupt_main_wait; made by sockets_start.
HANDLE interrupt_event = nullptr;

bool interrupted() {
    return interrupt_event && WaitForSingleObject(interrupt_event, 0) == WAIT_OBJECT_0;
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
    HANDLE done_event = nullptr;
};

Lookup lookups[LOOKUPS];

void free_lookup(Lookup* lookup) {
    CloseHandle(lookup->done_event);
    lookup->done_event = nullptr;
    lookup->state.store(LOOKUP_FREE);
}

// The first IPv4 address of the host, in network byte order (gethostbyname keeps its answer
// per thread).
bool lookup_now(const char* name, std::uint32_t* address) {
    const hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
        !host->h_addr_list[0])
        return false;
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

DWORD WINAPI run_lookup(LPVOID argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    std::uint32_t address = 0;
    lookup->found = lookup_now(lookup->name, &address);
    lookup->address = address;
    SetEvent(lookup->done_event);
    if (lookup->state.exchange(LOOKUP_DONE) == LOOKUP_ABANDONED) free_lookup(lookup);
    return 0;
}

// One send or receive moves at most this much: the calls take an int length.
int call_length(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

void sockets_start() {
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    if (!interrupt_event) interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void interrupt_main_wait() {
    if (interrupt_event) SetEvent(interrupt_event);
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

bool socket_keep_alive(SocketHandle socket, unsigned bound_seconds) {
    SOCKET native_handle = native_socket(socket);
    // Windows sends ten probes, interval apart, after idle milliseconds of silence, and ends the
    // connection when none is answered: idle + 10 * interval is the bound. Wine passes the two
    // times to Linux in whole seconds (at least 1) and leaves it nine probes.
    u_long bound_ms = bound_seconds * 1000ul;
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepaliveinterval = bound_ms / 15;
    values.keepalivetime = bound_ms - 10 * values.keepaliveinterval;
    DWORD returned = 0;
    bool ok = WSAIoctl(native_handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                       &returned, nullptr, nullptr) == 0;
    if (!ok) failed();
    // Data the peer does not acknowledge: the longest time retransmissions go on, in seconds.
    // Windows takes it; wine refuses it (WSAENOPROTOOPT), and such data then waits for Linux's
    // own retransmission limit.
    DWORD longest = bound_seconds;
    if (setsockopt(native_handle, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&longest),
                   sizeof longest) != 0) {
        ok = false;
        failed();
    }
    return ok;
}

int socket_connect(SocketHandle socket, const ServerAddress& address, unsigned timeout_ms) {
    if (interrupted()) return failed_with(WSAEINTR);
    SOCKET native_handle = native_socket(socket);
    sockaddr_in native = to_sockaddr(address);
    // Connected without blocking, so that the wait for the outcome can watch the interrupt as
    // well; the system gives up after its own time-out as a blocking connect would. The socket
    // is blocking again afterwards, as the session expects.
    WSAEVENT connect_event = WSACreateEvent();
    if (connect_event == WSA_INVALID_EVENT) return failed();
    int result = 0;
    if (WSAEventSelect(native_handle, connect_event, FD_CONNECT) != 0) {
        result = failed();
    } else if (::connect(native_handle, reinterpret_cast<sockaddr*>(&native), sizeof native) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            result = failed_with(error);
        } else {
            HANDLE waits[2] = {connect_event, interrupt_event};
            DWORD count = interrupt_event ? 2 : 1;
            DWORD ended =
                WaitForMultipleObjects(count, waits, FALSE, timeout_ms ? timeout_ms : INFINITE);
            WSANETWORKEVENTS events{};
            if (ended == WAIT_TIMEOUT) {
                result = failed_with(WSAETIMEDOUT);
            } else if (ended != WAIT_OBJECT_0) {
                result = failed_with(WSAEINTR);
            } else if (WSAEnumNetworkEvents(native_handle, connect_event, &events) != 0) {
                result = failed();
            } else if (events.iErrorCode[FD_CONNECT_BIT] != 0) {
                result = failed_with(events.iErrorCode[FD_CONNECT_BIT]);
            }
        }
    }
    WSAEventSelect(native_handle, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(native_handle, FIONBIO, &blocking);
    WSACloseEvent(connect_event);
    return result;
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
    // Under wine the shutdown alone leaves a receive blocked on another thread waiting for the
    // peer: what is under way on the socket is cancelled too.
    CancelIoEx(reinterpret_cast<HANDLE>(native_socket(socket)), nullptr);
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
    if (name[0] == '\0' || interrupted()) return false;
    std::size_t length = std::strlen(name);
    if (length >= LOOKUP_NAME_SIZE) return false;
    Lookup* lookup = nullptr;
    for (Lookup& slot : lookups) {
        int expected = LOOKUP_FREE;
        if (slot.state.compare_exchange_strong(expected, LOOKUP_RUNNING)) {
            lookup = &slot;
            break;
        }
    }
    // Every slot held by a lookup that was given up on: this one is not resolved, and the
    // stored address is used.
    if (!lookup) return false;
    std::memcpy(lookup->name, name, length + 1);
    lookup->done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread =
        lookup->done_event ? CreateThread(nullptr, 0, run_lookup, lookup, 0, nullptr) : nullptr;
    if (!thread) {
        if (lookup->done_event) CloseHandle(lookup->done_event);
        lookup->done_event = nullptr;
        lookup->state.store(LOOKUP_FREE);
        return false;
    }
    CloseHandle(thread);
    HANDLE waits[2] = {lookup->done_event, interrupt_event};
    DWORD count = interrupt_event ? 2 : 1;
    if (WaitForMultipleObjects(count, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        // The thread has signalled; it sets the state just after.
        while (lookup->state.load() == LOOKUP_RUNNING) SwitchToThread();
        bool found = lookup->found;
        if (found) *address = lookup->address;
        free_lookup(lookup);
        return found;
    }
    // Interrupted: the lookup's thread frees the slot when it ends, unless it ended already.
    if (lookup->state.exchange(LOOKUP_ABANDONED) == LOOKUP_DONE) free_lookup(lookup);
    return false;
}

}  // namespace platform
