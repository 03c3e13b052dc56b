// A broken property ends the fuzz run as a crash, with the property's text.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_property_broken(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
    std::abort();
}

#define FUZZ_CHECK(property) \
    ((property) ? static_cast<void>(0) : fuzz_property_broken(#property, __FILE__, __LINE__))
