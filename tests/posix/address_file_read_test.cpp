// Reading the server address file from disk: host name first, then the stored address, then the
// port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/connection.h"
#include "core/console_state.h"
#include "harness.h"

namespace {

using harness::address_file_bytes;

class AddressFile : public ::testing::Test {
  protected:
    void write(const std::string& bytes) { dir_.write_file(harness::ADDRESS_FILE_NAME, bytes); }
    bool read(platform::ServerAddress* address) {
        *address = platform::ServerAddress{};
        return read_server_address_from(path_.c_str(), address);
    }
    static std::string dotted(std::uint32_t network_order) {
        in_addr in{network_order};
        return inet_ntoa(in);
    }

    harness::TempDir dir_;
    std::string path_ = dir_.path() + "/" + harness::ADDRESS_FILE_NAME;
};

TEST_F(AddressFile, NineteenBytesGiveStoredAddressAndPort) {
    write(address_file_bytes(0x0a000005, 80, "", 19));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");
    EXPECT_EQ(ntohs(address.port), 80);
}

TEST_F(AddressFile, EighteenBytesHaveNoPort) {
    write(address_file_bytes(0x0a000005, 80, "", 18));
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));
}

TEST_F(AddressFile, ShortFilesFail) {
    write(std::string("\x0a\x00", 2));
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));
    write("");
    EXPECT_FALSE(read(&address));
}

TEST_F(AddressFile, MissingFileFails) {
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));
}

TEST_F(AddressFile, ADirectoryIsNoAddressFile) {
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));
}

TEST_F(AddressFile, ANamedPipeIsReadAsEmptyWithoutWaiting) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));  // would block for ever on a plain open
}

TEST_F(AddressFile, ResolvedNameWinsOverStoredAddress) {
    write(address_file_bytes(0x0a000005, 0x1234, "localhost"));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "127.0.0.1");
    EXPECT_EQ(ntohs(address.port), 0x1234);  // the port still comes from offset 17
}

TEST_F(AddressFile, UnresolvedOrEmptyNameFallsBackToStoredAddress) {
    // A name the resolver refuses without asking any name server.
    write(address_file_bytes(0x0a000005, 5000, "x..y"));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");

    write(address_file_bytes(0xc0a80102, 5000, ""));
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "192.168.1.2");
}

TEST_F(AddressFile, NameWithoutNulIsReadAsSixtyFourCharacters) {
    write(address_file_bytes(0x0a000005, 5000, "").replace(19, 64, std::string(64, 'x')));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");
}

TEST_F(AddressFile, LongerFilesReadOnlyTheirFields) {
    write(address_file_bytes(0x7f000001, 6000, "") + std::string(100, '\x7f'));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "127.0.0.1");
    EXPECT_EQ(ntohs(address.port), 6000);
}

}  // namespace
