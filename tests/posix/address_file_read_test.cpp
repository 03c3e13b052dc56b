// Reading the server address file from disk: host name first, then the stored address, then the
// port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/connection.h"
#include "core/console_state.h"

namespace {

class AddressFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/veldrin-address-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/KORVDBM.ADR";
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    // address bytes a.b.c.d, port high byte first, then the name padded to 64 bytes.
    std::string file_bytes(const char (&address)[5], unsigned port, const std::string& name) {
        std::string bytes(83, '\0');
        bytes.replace(0, 4, address, 4);
        bytes[17] = static_cast<char>(port >> 8);
        bytes[18] = static_cast<char>(port & 0xff);
        bytes.replace(19, name.size(), name);
        return bytes;
    }
    void write(const std::string& bytes) {
        FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    bool read(platform::ServerAddress* address) {
        *address = platform::ServerAddress{};
        return read_server_address_from(path_.c_str(), address);
    }
    static std::string dotted(std::uint32_t network_order) {
        in_addr in{network_order};
        return inet_ntoa(in);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(AddressFile, NineteenBytesGiveStoredAddressAndPort) {
    write(file_bytes("\x0a\x00\x00\x05", 80, "").substr(0, 19));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");
    EXPECT_EQ(ntohs(address.port), 80);
}

TEST_F(AddressFile, EighteenBytesHaveNoPort) {
    write(file_bytes("\x0a\x00\x00\x05", 80, "").substr(0, 18));
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
    rmdir(path_.c_str());
}

TEST_F(AddressFile, ANamedPipeIsReadAsEmptyWithoutWaiting) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    platform::ServerAddress address;
    EXPECT_FALSE(read(&address));  // would block for ever on a plain open
}

TEST_F(AddressFile, ResolvedNameWinsOverStoredAddress) {
    write(file_bytes("\x0a\x00\x00\x05", 0x1234, "localhost"));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "127.0.0.1");
    EXPECT_EQ(ntohs(address.port), 0x1234);  // the port still comes from offset 17
}

TEST_F(AddressFile, UnresolvedOrEmptyNameFallsBackToStoredAddress) {
    // A name the resolver refuses without asking any name server.
    write(file_bytes("\x0a\x00\x00\x05", 5000, "x..y"));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");

    write(file_bytes("\xc0\xa8\x01\x02", 5000, ""));
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "192.168.1.2");
}

TEST_F(AddressFile, NameWithoutNulIsReadAsSixtyFourCharacters) {
    write(file_bytes("\x0a\x00\x00\x05", 5000, std::string(64, 'x')));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "10.0.0.5");
}

TEST_F(AddressFile, LongerFilesReadOnlyTheirFields) {
    write(file_bytes("\x7f\x00\x00\x01", 6000, "") + std::string(100, '\x7f'));
    platform::ServerAddress address;
    ASSERT_TRUE(read(&address));
    EXPECT_EQ(dotted(address.address), "127.0.0.1");
    EXPECT_EQ(ntohs(address.port), 6000);
}

}  // namespace
