// Character sets and the environment: output_wants_utf8, code_page_characters and
// environment_value of platform.h. The locale's character set comes from setlocale and
// nl_langinfo, the code pages' characters from the C library's iconv.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// The names iconv may know a Windows code page by, tried in order.
constexpr const char* CODE_PAGE_NAME_FORMATS[] = {"CP%u", "IBM%u", "WINDOWS-%u"};

iconv_t open_code_page(unsigned code_page) {
    for (const char* format : CODE_PAGE_NAME_FORMATS) {
        char name[32];
        std::snprintf(name, sizeof name, format, code_page);
        iconv_t converter = iconv_open("UTF-8", name);
        if (converter != reinterpret_cast<iconv_t>(-1)) return converter;
    }
    return reinterpret_cast<iconv_t>(-1);
}

}  // namespace

bool output_wants_utf8() {
    // Asked at start-up, before any other thread runs. The process keeps the "C" locale it
    // started with: only the question is asked in the user's.
    static int answer = -1;
    if (answer >= 0) return answer == 1;
    answer = 0;
    const char* previous = setlocale(LC_CTYPE, nullptr);
    char saved[64] = "C";
    if (previous != nullptr && std::strlen(previous) < sizeof saved) std::strcpy(saved, previous);
    if (setlocale(LC_CTYPE, "") != nullptr) {
        const char* codeset = nl_langinfo(CODESET);
        if (codeset != nullptr &&
            (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0)) {
            answer = 1;
        }
    }
    setlocale(LC_CTYPE, saved);
    return answer == 1;
}

bool code_page_characters(unsigned code_page, CodePageCharacter* characters) {
    iconv_t converter = open_code_page(code_page);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    for (int byte = 0; byte < CODE_PAGE_BYTES; ++byte) {
        CodePageCharacter& character = characters[byte];
        character = {CodePageByte::NO_CHARACTER, 0, {}};
        char in = static_cast<char>(byte);
        char* in_at = &in;
        std::size_t in_left = 1;
        char out[16];
        char* out_at = out;
        std::size_t out_left = sizeof out;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);  // a fresh start for each byte
        std::size_t result = iconv(converter, &in_at, &in_left, &out_at, &out_left);
        if (result == static_cast<std::size_t>(-1)) {
            if (errno == EINVAL) character.kind = CodePageByte::LEAD_BYTE;
            continue;
        }
        // Converters of code pages with combining marks (1255, 1258) hold a character back in
        // case a mark follows: the flush lets it out.
        if (iconv(converter, nullptr, nullptr, &out_at, &out_left) == static_cast<std::size_t>(-1))
            continue;
        std::size_t produced = sizeof out - out_left;
        if (produced == 0 || produced > sizeof character.text) continue;
        character.kind = CodePageByte::CHARACTER;
        character.length = static_cast<std::uint8_t>(produced);
        std::memcpy(character.text, out, produced);
    }
    iconv_close(converter);
    return true;
}

const char* environment_value(const char* name) {
    return getenv(name);
}

}  // namespace platform
