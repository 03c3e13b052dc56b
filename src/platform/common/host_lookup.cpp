// Host name lookups on threads of their own: the slots and their hand-over.
#include "platform/common/host_lookup.h"

#include <cstring>
#include <thread>

namespace platform {

namespace {

constexpr int LOOKUP_FREE = 0;
constexpr int LOOKUP_RUNNING = 1;
constexpr int LOOKUP_DONE = 2;
constexpr int LOOKUP_ABANDONED = 3;

HostLookup lookups[HOST_LOOKUPS];

void free_lookup(HostLookup* lookup) {
    lookup->calls->close_done(lookup);
    lookup->state.store(LOOKUP_FREE);
}

}  // namespace

bool resolve_host_with(const char* name, std::uint32_t* address, const HostLookupCalls& calls) {
    // An empty name is not looked up: resolvers disagree on what it means.
    std::size_t length = strnlen(name, HOST_NAME_SIZE);
    if (length == 0 || length == HOST_NAME_SIZE) return false;
    HostLookup* lookup = nullptr;
    for (HostLookup& slot : lookups) {
        int expected = LOOKUP_FREE;
        if (slot.state.compare_exchange_strong(expected, LOOKUP_RUNNING)) {
            lookup = &slot;
            break;
        }
    }
    if (!lookup) return false;
    std::memcpy(lookup->name, name, length + 1);
    lookup->found = false;
    lookup->calls = &calls;
    if (!calls.start(lookup)) {
        lookup->state.store(LOOKUP_FREE);
        return false;
    }
    if (!calls.wait(lookup)) {
        if (lookup->state.exchange(LOOKUP_ABANDONED) == LOOKUP_DONE) free_lookup(lookup);
        return false;
    }
    // The thread has signalled; it marks the slot DONE just after.
    while (lookup->state.load() == LOOKUP_RUNNING) std::this_thread::yield();
    bool found = lookup->found;
    if (found) *address = lookup->address;
    free_lookup(lookup);
    return found;
}

void run_host_lookup(HostLookup* lookup) {
    std::uint32_t address = 0;
    bool found = lookup->calls->resolve(lookup->name, &address);
    lookup->address = address;
    lookup->found = found;
    // Signalled before the slot is marked DONE: a waiter that gives up in between frees the
    // slot only once the thread has marked it, so the signal never goes to a closed handle.
    lookup->calls->signal_done(lookup);
    if (lookup->state.exchange(LOOKUP_DONE) == LOOKUP_ABANDONED) free_lookup(lookup);
}

}  // namespace platform
