// Sends from an input thread against the main thread's connection changes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/session.h"
#include "core/console_state.h"

namespace {

TEST(SendToServer, NothingIsSentWithoutAConnection) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    server_socket.store(pair[0]);
    connected.store(0);  // bound, not yet connected
    EXPECT_EQ(send_to_server("key", 3), -1);
    connected.store(1);
    EXPECT_EQ(send_to_server("key", 3), 3);
    drop_connection();
    EXPECT_EQ(send_to_server("late", 4), -1);
    char buffer[16];
    EXPECT_EQ(read(pair[1], buffer, sizeof buffer), 3);  // "key" once, then the peer is closed
    EXPECT_EQ(read(pair[1], buffer, sizeof buffer), 0);
    close(pair[1]);
}

// Connections come and go while another thread keeps sending: every send goes to a socket that
// is still open (the sanitizers see a send racing a close), and each drop waits for it.
TEST(SendToServer, DropNeverClosesUnderASend) {
    std::atomic<bool> done{false};
    std::thread sender([&done] {
        while (!done.load()) send_to_server("x", 1);
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        server_socket.store(pair[0]);
        connected.store(1);
        std::this_thread::yield();
        drop_connection();
        EXPECT_EQ(server_socket.load(), platform::NO_SOCKET);
        close(pair[1]);
    }
    done.store(true);
    sender.join();
}

}  // namespace
