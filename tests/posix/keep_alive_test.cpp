// The keepalive settings as the system took them, read back from a real socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "core/connection.h"
#include "platform/platform.h"

namespace {

struct Taken {
    int keep_alive, idle, interval, count;
    unsigned user_timeout_ms;
};

Taken read_back(platform::SocketHandle socket) {
    int fd = static_cast<int>(socket);
    Taken taken{};
    socklen_t size = sizeof(int);
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &taken.keep_alive, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &taken.idle, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &taken.interval, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &taken.count, &size);
    getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &taken.user_timeout_ms, &size);
    return taken;
}

// The default is the README's: probes after 10 s of silence, every 2 s, ten of them, and
// unacknowledged data given up after 30 s. Every bound the setting takes keeps the last probe
// within it, one interval at most early.
TEST(KeepAlive, DefaultAndEveryBoundEndWithinTheBound) {
    platform::SocketHandle socket = platform::socket_create();
    ASSERT_NE(socket, platform::NO_SOCKET);
    ASSERT_TRUE(platform::socket_keep_alive(socket, DEFAULT_KEEP_ALIVE));
    Taken taken = read_back(socket);
    EXPECT_EQ(DEFAULT_KEEP_ALIVE, 30u);
    EXPECT_NE(taken.keep_alive, 0);
    EXPECT_EQ(taken.idle, 10);
    EXPECT_EQ(taken.interval, 2);
    EXPECT_EQ(taken.count, 10);
    EXPECT_EQ(taken.user_timeout_ms, 30000u);
    for (unsigned bound = KEEP_ALIVE_LEAST; bound <= KEEP_ALIVE_MOST; ++bound) {
        ASSERT_TRUE(platform::socket_keep_alive(socket, bound)) << bound;
        taken = read_back(socket);
        int last_probe = taken.idle + taken.count * taken.interval;
        EXPECT_LE(last_probe, static_cast<int>(bound)) << bound;
        EXPECT_GT(last_probe + taken.interval, static_cast<int>(bound)) << bound;
        EXPECT_EQ(taken.user_timeout_ms, bound * 1000) << bound;
    }
    platform::socket_close(socket);
}

}  // namespace
