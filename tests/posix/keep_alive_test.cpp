// The keepalive settings as the system took them, read back from a real socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "app/connection.h"
#include "platform/platform.h"

namespace {

int option(platform::SocketHandle socket, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    getsockopt(static_cast<int>(socket), level, name, &value, &size);
    return value;
}

// The default is the README's: probes after 10 s of silence, every 2 s, ten of them, and
// unacknowledged data given up after 30 s. Every bound the setting takes keeps the last probe
// within it, one interval at most early.
TEST(KeepAlive, DefaultAndEveryBoundEndWithinTheBound) {
    platform::SocketHandle socket = platform::socket_create();
    ASSERT_NE(socket, platform::NO_SOCKET);
    ASSERT_TRUE(platform::socket_keep_alive(socket, DEFAULT_KEEP_ALIVE));
    EXPECT_EQ(option(socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPIDLE), 10);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPCNT), 10);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT), 30000);
    for (int bound = KEEP_ALIVE_LEAST; bound <= static_cast<int>(KEEP_ALIVE_MOST); ++bound) {
        ASSERT_TRUE(platform::socket_keep_alive(socket, static_cast<unsigned>(bound))) << bound;
        int interval = option(socket, IPPROTO_TCP, TCP_KEEPINTVL);
        int last_probe = option(socket, IPPROTO_TCP, TCP_KEEPIDLE) +
                         option(socket, IPPROTO_TCP, TCP_KEEPCNT) * interval;
        EXPECT_LE(last_probe, bound) << bound;
        EXPECT_GT(last_probe + interval, bound) << bound;
        EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT), bound * 1000) << bound;
    }
    platform::socket_close(socket);
}

}  // namespace
