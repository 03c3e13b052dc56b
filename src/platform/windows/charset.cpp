// Character sets on Windows: output_wants_utf8, code_page_characters and environment_value.
//
// A Windows console shows the server's code page itself, so nothing is converted here.
#include <cstdlib>

#include "internal.h"

namespace platform {

bool output_wants_utf8() {
    return false;
}

bool code_page_characters(unsigned, CodePageCharacter*) {
    return false;
}

const char* environment_value(const char* name) {
    return std::getenv(name);
}

}  // namespace platform
