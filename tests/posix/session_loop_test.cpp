// The receive loop over a real socket: a whole session from its stream to its end.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "actions/actions.h"
#include "app/session.h"
#include "core/console_state.h"

namespace {

// Runs a whole session over a socket pair: the stream is queued before the loop starts and the
// peer then closes, so the loop sees it exactly as a console would on a fast connection.
class SessionLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        link_state.store(LINK_ONLINE);
        connected.store(1);
        raw_keys.store(0);
        quiet_loss = false;
        exit_code = 0;
    }

    std::string run(const std::string& stream) {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        // A short stream is queued whole before the loop starts, so that the loop's first
        // receive gets all of it; a long one is fed by a thread.
        std::thread feeder;
        if (stream.size() <= 16 * 1024) {
            EXPECT_EQ(write(pair[0], stream.data(), stream.size()),
                      static_cast<ssize_t>(stream.size()));
            close(pair[0]);
        } else {
            feeder = std::thread([&stream, fd = pair[0]] {
                for (std::size_t done = 0; done < stream.size();) {
                    ssize_t n = write(fd, stream.data() + done, stream.size() - done);
                    if (n <= 0) break;
                    done += static_cast<std::size_t>(n);
                }
                close(fd);
            });
        }
        server_socket.store(pair[1]);

        char path[] = "/tmp/veldrin-session-XXXXXX";
        int out = mkstemp(path);
        int saved_stdout = dup(1);
        dup2(out, 1);
        run_session();
        dup2(saved_stdout, 1);
        close(saved_stdout);
        if (feeder.joinable()) feeder.join();

        std::string shown;
        char buffer[4096];
        lseek(out, 0, SEEK_SET);
        for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
        close(out);
        unlink(path);
        return shown;
    }
};

TEST_F(SessionLoop, DisplaysTextAndObeysControls) {
    EXPECT_EQ(run("Hello~~~1"), "Hello");
    EXPECT_EQ(raw_keys.load(), 1);
    EXPECT_EQ(link_state.load(), LINK_ADDRESSED);  // closed without control 0: lost
    EXPECT_EQ(server_socket.load(), platform::NO_SOCKET);
    EXPECT_EQ(connected.load(), 0);
}

TEST_F(SessionLoop, LostSessionWithQuietLossEnds) {
    quiet_loss = true;
    EXPECT_EQ(run("bye"), "bye");
    EXPECT_EQ(link_state.load(), LINK_IDLE);
}

TEST_F(SessionLoop, EndControlStopsDisplayingAtOnce) {
    std::string first(1000, 'x');
    std::string stream = first + "~~~0" + std::string(20, 'y') + "NEVER SHOWN";
    EXPECT_EQ(run(stream), first);
    EXPECT_EQ(link_state.load(), LINK_IDLE);
}

TEST_F(SessionLoop, ChunksAreCutEveryThousandTwentyFourBytes) {
    // Control 6 at the very end of the first chunk has no argument; "42" opens the next chunk
    // and is displayed as text.
    std::string stream = std::string(1020, 'a') + "~~~6" + "42";
    EXPECT_EQ(run(stream), std::string(1020, 'a') + "42");
    EXPECT_EQ(exit_code, 0u);
}

TEST_F(SessionLoop, MarkerAcrossAChunkBoundaryIsText) {
    std::string stream = std::string(1022, 'a') + "~~~1" + "tail";
    EXPECT_EQ(run(stream), stream);
    EXPECT_EQ(raw_keys.load(), 0);
}

TEST_F(SessionLoop, ArgumentRunsToTheEndOfItsChunkOnly) {
    // The argument of the first chunk's control 6 is "7" plus padding up to the boundary; the
    // second chunk's text is displayed and its own marker obeyed.
    std::string first = std::string(10, 'a') + "~~~6" + "7";
    first += std::string(RECEIVE_CHUNK - first.size(), ' ');
    std::string second = "next~~~1";
    EXPECT_EQ(run(first + second), std::string(10, 'a') + "next");
    EXPECT_EQ(exit_code, 7u);
    EXPECT_EQ(raw_keys.load(), 1);
}

TEST_F(SessionLoop, NulCutsOnlyItsOwnChunk) {
    std::string first = std::string("ab\0cd~~~1", 9);
    first += std::string(RECEIVE_CHUNK - first.size(), 'z');
    EXPECT_EQ(run(first + "ef"), "abef");
    EXPECT_EQ(raw_keys.load(), 0);
}

TEST_F(SessionLoop, ManyChunksKeepEveryByteInOrder) {
    std::string stream;
    for (int i = 0; stream.size() < 300 * 1024; ++i) stream += std::to_string(i) + ",";
    EXPECT_EQ(run(stream), stream);
}

TEST_F(SessionLoop, PlainChunksAroundOthersAreCutAsAlone) {
    // Sixteen chunks in one receive: plain ones before, between and after chunks with a lone
    // '~', a NUL, a marker, a marker cut by a boundary and a NUL at a chunk's first byte. Each
    // chunk shows as it would alone: whole, or up to its NUL or its marker.
    std::string stream, expected;
    auto chunk = [&](const std::string& special, std::size_t at, std::size_t shown) {
        std::string text(RECEIVE_CHUNK, static_cast<char>('a' + stream.size() / RECEIVE_CHUNK));
        text.replace(at, special.size(), special);
        stream += text;
        expected += text.substr(0, shown);
    };
    chunk("", 0, RECEIVE_CHUNK);
    chunk("~", 500, RECEIVE_CHUNK);
    chunk("", 0, RECEIVE_CHUNK);
    chunk(std::string("\0", 1), 700, 700);
    chunk("", 0, RECEIVE_CHUNK);
    chunk("", 0, RECEIVE_CHUNK);
    chunk("~~~65", 300, 300);
    chunk("~~", RECEIVE_CHUNK - 2, RECEIVE_CHUNK);
    chunk("~1", 0, RECEIVE_CHUNK);
    for (int i = 0; i < 6; ++i) chunk("", 0, RECEIVE_CHUNK);
    chunk(std::string("\0", 1), 0, 0);
    EXPECT_EQ(run(stream), expected);
    EXPECT_EQ(exit_code, 5u);
    EXPECT_EQ(raw_keys.load(), 0);
}

TEST_F(SessionLoop, TitleIsSavedAtStartAndRestored) {
    platform::set_console_title("Before");
    run("~~~5"
        "6~Orders");
    char title[SAVED_TITLE_SIZE];
    platform::get_console_title(title, sizeof title);
    EXPECT_STREQ(title, "Orders");
    EXPECT_STREQ(saved_title, "Before");

    link_state.store(LINK_ONLINE);
    run("~~~5");  // the title saved at this session's start ("Orders") comes back
    platform::get_console_title(title, sizeof title);
    EXPECT_STREQ(title, "Orders");
}

}  // namespace
