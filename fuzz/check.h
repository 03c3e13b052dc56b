// A broken property ends the fuzz run as a crash, with the property's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void fuzz_property_broken(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
    std::abort();
}

#define FUZZ_CHECK(property) \
    ((property) ? static_cast<void>(0) : fuzz_property_broken(#property, __FILE__, __LINE__))

// A control's argument as the session hands it over: the input up to its first NUL, NUL-ended,
// in an exact-size allocation so that a read past the NUL is an AddressSanitizer finding.
// *length is the text's length; the caller delete[]s the copy.
inline char* nul_ended_argument(const std::uint8_t* data, std::size_t size, std::size_t* length) {
    const void* nul = std::memchr(data, '\0', size);
    *length = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
    char* argument = new char[*length + 1];
    std::memcpy(argument, data, *length);
    argument[*length] = '\0';
    return argument;
}
