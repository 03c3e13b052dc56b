// Host name lookups on threads of their own, so that the main thread's wait for one can be
// given up (interrupt_main_wait) while the system's resolver, which cannot be interrupted,
// goes on. The slots and their hand-over are portable and live here; a backend supplies the
// system's calls (the resolver, a thread, a signal that the answer is in, the wait).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

// Lookups given up on but still running hold their slot: at most this many can be left behind,
// and a lookup that finds none free fails.
constexpr int HOST_LOOKUPS = 4;
constexpr std::size_t HOST_NAME_SIZE = 256;  // the longest name looked up, and its NUL

struct HostLookupCalls;

// A slot is FREE, claimed and RUNNING, DONE (the answer is in) or ABANDONED (the waiter gave up
// on it). Whichever of the waiter and the lookup's thread comes second frees it. Slots are
// static, so an abandoned lookup never writes into memory that has been freed.
struct HostLookup {
    std::atomic<int> state{0};
    char name[HOST_NAME_SIZE];
    std::uint32_t address;  // network byte order, when found
    bool found;
    std::intptr_t done;  // the backend's signal that the answer is in (an eventfd, an event)
    const HostLookupCalls* calls;
};

// What a backend does for a lookup.
struct HostLookupCalls {
    // The first IPv4 address of the host, in network byte order; false when there is none.
    // Runs on the lookup's thread.
    bool (*resolve)(const char* name, std::uint32_t* address);
    // Makes lookup->done and starts a thread that calls run_host_lookup(lookup). False when
    // either fails; nothing made is left behind.
    bool (*start)(HostLookup* lookup);
    // Waits until lookup->done is signalled (true) or the main thread's waits are interrupted
    // (false).
    bool (*wait)(HostLookup* lookup);
    // Signals lookup->done; closes it.
    void (*signal_done)(HostLookup* lookup);
    void (*close_done)(HostLookup* lookup);
};

// resolve_host of platform.h over the backend's calls: the name's first IPv4 address in
// *address. False when the name is empty or too long, every slot is held, the lookup could not
// start, the name does not resolve, or the wait was interrupted (the lookup is then abandoned:
// its thread frees the slot when it ends).
bool resolve_host_with(const char* name, std::uint32_t* address, const HostLookupCalls& calls);

// The body of a lookup's thread: resolves the name, signals the answer, and frees the slot when
// the waiter has given up on it.
void run_host_lookup(HostLookup* lookup);

}  // namespace platform
