// The address file decoded from any bytes, with a resolver of the fuzzer's own (the platform's
// resolver is never called: it would ask a name server). Names that begin with 'r' resolve to a
// fixed address, names that begin with 'z' to 0.0.0.0, and every other name fails.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/connection.h"
#include "check.h"
#include "core/console_state.h"

namespace {

constexpr std::uint32_t RESOLVED_ADDRESS = 0x0302010Au;  // 10.1.2.3 in network byte order

int resolver_calls;
char resolver_name[ADDRESS_NAME_SIZE + 1];
std::size_t resolver_name_length;

bool fake_resolve(const char* name, std::uint32_t* address) {
    ++resolver_calls;
    // The name is NUL-ended within the 64-byte field (strlen would run into AddressSanitizer's
    // red zone otherwise).
    resolver_name_length = std::strlen(name);
    FUZZ_CHECK(resolver_name_length <= ADDRESS_NAME_SIZE);
    std::memcpy(resolver_name, name, resolver_name_length + 1);
    if (name[0] == 'r') {
        *address = RESOLVED_ADDRESS;
        return true;
    }
    if (name[0] == 'z') {
        *address = 0;
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    resolver_calls = 0;
    platform::ServerAddress address;
    std::memset(&address, 0xA5, sizeof address);
    platform::ServerAddress before = address;

    bool decoded = decode_address_file(data, size, fake_resolve, &address);

    // The name is looked up once when the file holds the whole name field, and never otherwise.
    FUZZ_CHECK(resolver_calls == (size >= ADDRESS_FILE_USED ? 1 : 0));
    bool resolved = false;
    if (resolver_calls == 1) {
        // The name passed on is the field's text up to its first NUL, at most 64 characters.
        const std::uint8_t* field = data + ADDRESS_NAME_OFFSET;
        const void* nul = std::memchr(field, '\0', ADDRESS_NAME_SIZE);
        std::size_t name_length =
            nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field)
                : ADDRESS_NAME_SIZE;
        FUZZ_CHECK(resolver_name_length == name_length);
        FUZZ_CHECK(std::memcmp(resolver_name, field, name_length) == 0);
        resolved = resolver_name[0] == 'r';
    }

    // Success exactly when the port can be read: the address always has a source by then.
    FUZZ_CHECK(decoded == (size >= ADDRESS_PORT_OFFSET + 2));
    if (decoded) {
        FUZZ_CHECK(std::memcmp(&address.port, data + ADDRESS_PORT_OFFSET, 2) == 0);
        if (resolved) {
            FUZZ_CHECK(address.address == RESOLVED_ADDRESS);
        } else {
            FUZZ_CHECK(std::memcmp(&address.address, data, 4) == 0);
        }
    }
    // Only the address and the port are ever written.
    FUZZ_CHECK(address.family == before.family);
    FUZZ_CHECK(std::memcmp(address.zero, before.zero, sizeof address.zero) == 0);
    return 0;
}
