// Decoding the server address file's bytes, and the socket error message.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/connection.h"
#include "core/console_state.h"

namespace {

// The address's bytes as the file and the socket calls hold them (most significant first).
std::uint32_t network_order(std::uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    std::uint32_t stored;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

std::uint16_t network_order(std::uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value)};
    std::uint16_t stored;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

// The decoding itself, with a resolver of the test's own.
std::string last_looked_up;
std::uint32_t answer = 0;
bool fake_resolver(const char* name, std::uint32_t* address) {
    last_looked_up = name;
    *address = answer;
    return answer != 0 || std::strcmp(name, "zero") == 0;
}

TEST(DecodeAddressFile, NameToResolverAndZeroAddressFallsBack) {
    std::string bytes(83, '\0');
    bytes.replace(0, 4, "\x0a\x00\x00\x05", 4);
    bytes[18] = 80;
    bytes.replace(19, 4, "zero");
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    platform::ServerAddress address{};
    answer = 0;  // resolves, but to 0.0.0.0
    ASSERT_TRUE(decode_address_file(data, bytes.size(), fake_resolver, &address));
    EXPECT_EQ(last_looked_up, "zero");
    EXPECT_EQ(address.address, network_order(0x0a000005u));

    answer = network_order(0x7f000002u);
    ASSERT_TRUE(decode_address_file(data, bytes.size(), fake_resolver, &address));
    EXPECT_EQ(address.address, network_order(0x7f000002u));
    EXPECT_EQ(address.port, network_order(std::uint16_t{80}));

    last_looked_up.clear();  // 82 bytes: no name, nothing looked up
    ASSERT_TRUE(decode_address_file(data, 82, fake_resolver, &address));
    EXPECT_EQ(last_looked_up, "");
    EXPECT_EQ(address.address, network_order(0x0a000005u));
}

TEST(SocketError, MessageHeldWhole) {
    char message[256];
    std::size_t length =
        format_socket_error(message, sizeof message, "Unable to bind to a Windows socket", 98);
    EXPECT_STREQ(
        message,
        "Server communication error: Unable to bind to a Windows socket.\n Error number=98");
    EXPECT_EQ(length, std::strlen(message));
}

}  // namespace
