// Sockets and the host name resolver on Windows: the Sockets part of platform.h, over Windows
// Sockets (started as version 1.1), and interrupt_main_wait, which the connect and the lookup
// watch.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "platform/common/host_lookup.h"
#include "platform/common/socket_address.h"
// After winsock2.h: the keepalive times.
#include <mstcpip.h>

namespace platform {

namespace {

// The retransmission time-out socket option (ws2ipdef.h), which mingw-w64's headers lack.
constexpr int TCP_MAXRT = 5;

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

// Set, for good, by interrupt_main_wait; null until main_wait_start makes it.
HANDLE interrupt_event = nullptr;

bool interrupted() {
    return interrupt_event && WaitForSingleObject(interrupt_event, 0) == WAIT_OBJECT_0;
}

// The system's side of a host name lookup (common/host_lookup.h): the resolver, a thread, and
// a manual-reset event set once the answer is in.
bool resolve_now(const char* name, std::uint32_t* address) {
    // gethostbyname keeps its answer per thread.
    const hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
        !host->h_addr_list[0])
        return false;
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

DWORD WINAPI run_lookup(LPVOID lookup) {
    run_host_lookup(static_cast<HostLookup*>(lookup));
    return 0;
}

HANDLE done_event(const HostLookup* lookup) {
    return reinterpret_cast<HANDLE>(lookup->done);
}

bool start_lookup(HostLookup* lookup) {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done) return false;
    lookup->done = reinterpret_cast<std::intptr_t>(done);
    HANDLE thread = CreateThread(nullptr, 0, run_lookup, lookup, 0, nullptr);
    if (!thread) {
        CloseHandle(done);
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool wait_lookup(HostLookup* lookup) {
    HANDLE waits[2] = {done_event(lookup), interrupt_event};
    DWORD count = interrupt_event ? 2 : 1;
    return WaitForMultipleObjects(count, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void signal_lookup_done(HostLookup* lookup) {
    SetEvent(done_event(lookup));
}

void close_lookup_done(HostLookup* lookup) {
    CloseHandle(done_event(lookup));
}

constexpr HostLookupCalls LOOKUP_CALLS = {resolve_now, start_lookup, wait_lookup,
                                          signal_lookup_done, close_lookup_done};

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
    sockaddr_in native = ipv4_socket_address<sockaddr_in>(address, AF_INET);
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
    sockaddr_in native = ipv4_socket_address<sockaddr_in>(address, AF_INET);
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
    return !interrupted() && resolve_host_with(name, address, LOOKUP_CALLS);
}

void interrupt_main_wait() {
    if (interrupt_event) SetEvent(interrupt_event);
}

namespace windows {

void main_wait_start() {
    if (!interrupt_event) interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace windows

}  // namespace platform
