// What the backends share in src/platform/common/: the host name lookups' slots, over fake
// system calls so that each hand-over can be played in either order, and the thread records,
// through the seam.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/common/host_lookup.h"
#include "platform/common/thread_records.h"
#include "platform/platform.h"

namespace {

using platform::HostLookup;

// The lookup's thread runs when the test says (run_host_lookup), or at once with run_at_start.
HostLookup* started = nullptr;
int closed = 0;
bool start_works = true;
bool run_at_start = true;
bool answered = true;  // what the wait reports: the answer (true) or an interrupt

bool fake_resolve(const char* name, std::uint32_t* address) {
    if (std::strcmp(name, "known") != 0) return false;
    *address = 0x0100007f;
    return true;
}
bool fake_start(HostLookup* lookup) {
    if (!start_works) return false;
    started = lookup;
    if (run_at_start) platform::run_host_lookup(lookup);
    return true;
}
constexpr platform::HostLookupCalls FAKE = {fake_resolve, fake_start,
                                            [](HostLookup*) { return answered; },
                                            [](HostLookup*) {}, [](HostLookup*) { ++closed; }};

class HostLookupSlots : public ::testing::Test {
  protected:
    void SetUp() override {
        started = nullptr;
        closed = 0;
        start_works = run_at_start = answered = true;
    }
    static bool resolve(const std::string& name, std::uint32_t* address) {
        return platform::resolve_host_with(name.c_str(), address, FAKE);
    }
};

TEST_F(HostLookupSlots, AnswersFreeTheirSlots) {
    std::uint32_t address;
    for (int i = 0; i < 2 * platform::HOST_LOOKUPS; ++i) {
        address = 7;
        EXPECT_FALSE(resolve("unknown", &address));
        EXPECT_EQ(address, 7u);
        EXPECT_TRUE(resolve("known", &address));
        EXPECT_EQ(address, 0x0100007fu);
    }
    EXPECT_EQ(closed, 4 * platform::HOST_LOOKUPS);
    EXPECT_FALSE(resolve(std::string(platform::HOST_NAME_SIZE - 1, 'n'), &address));
    EXPECT_NE(started, nullptr);  // the longest name is looked up
    started = nullptr;
    EXPECT_FALSE(resolve("", &address));
    EXPECT_FALSE(resolve(std::string(platform::HOST_NAME_SIZE, 'n'), &address));
    EXPECT_EQ(started, nullptr);  // neither is looked up
    start_works = false;
    for (int i = 0; i <= platform::HOST_LOOKUPS; ++i) EXPECT_FALSE(resolve("known", &address));
    start_works = true;
    EXPECT_TRUE(resolve("known", &address));  // a failed start frees its slot
}

// An interrupted wait leaves the slot to the lookup's thread, which frees it when it ends; with
// every slot so held, no lookup starts. An answer that came before the interrupt is freed by
// the waiter.
TEST_F(HostLookupSlots, AbandonedLookupsHoldTheirSlotsUntilTheyEnd) {
    std::uint32_t address = 0;
    answered = false;
    run_at_start = false;
    HostLookup* running[platform::HOST_LOOKUPS];
    for (HostLookup*& lookup : running) {
        EXPECT_FALSE(resolve("known", &address));
        lookup = started;
    }
    EXPECT_EQ(closed, 0);
    started = nullptr;
    EXPECT_FALSE(resolve("known", &address));
    EXPECT_EQ(started, nullptr);
    platform::run_host_lookup(running[0]);
    EXPECT_EQ(closed, 1);
    run_at_start = true;
    EXPECT_FALSE(resolve("known", &address));  // answered, but interrupted too
    EXPECT_EQ(closed, 2);
    EXPECT_NE(started, nullptr);
    for (int i = 1; i < platform::HOST_LOOKUPS; ++i) platform::run_host_lookup(running[i]);
    EXPECT_EQ(closed, 1 + platform::HOST_LOOKUPS);
}

std::atomic<int> bodies_running{0};

void wait_to_be_stopped() {
    bodies_running.fetch_add(1);
    while (platform::sleep_ms(5)) {
    }
    if (platform::thread_stopping()) bodies_running.fetch_sub(1);
}

// Every record holds its thread until thread_stop has joined it (a body that began has
// returned); then it serves again.
TEST(ThreadRecords, EachThreadHoldsItsRecordUntilStopped) {
    platform::ThreadHandle threads[platform::THREAD_RECORDS];
    for (auto& thread : threads) {
        thread = platform::thread_start(wait_to_be_stopped);
        ASSERT_NE(thread, nullptr);
    }
    EXPECT_EQ(platform::thread_start(wait_to_be_stopped), nullptr);
    platform::thread_stop(threads[0]);
    threads[0] = platform::thread_start(wait_to_be_stopped);
    EXPECT_NE(threads[0], nullptr);
    for (auto thread : threads) platform::thread_stop(thread);
    EXPECT_EQ(bodies_running.load(), 0);
    EXPECT_FALSE(platform::thread_stopping());
}

}  // namespace
