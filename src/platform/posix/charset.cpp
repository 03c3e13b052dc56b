// Character sets and the environment: output_wants_utf8, system_code_page,
// output_shows_code_page, code_page_characters and
// environment_value of platform.h. The locale's character set comes from its name, the code
// pages' characters from the C library's iconv.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

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

// Asks the C library whether a locale that its name does not describe is UTF-8, leaving the
// process's own locale as it was.
bool loaded_locale_is_utf8() {
    const char* previous = setlocale(LC_CTYPE, nullptr);
    char saved[64] = "C";
    if (previous != nullptr && std::strlen(previous) < sizeof saved) std::strcpy(saved, previous);
    bool utf8 = false;
    if (setlocale(LC_CTYPE, "") != nullptr) {
        const char* codeset = nl_langinfo(CODESET);
        utf8 = codeset != nullptr &&
               (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    }
    setlocale(LC_CTYPE, saved);
    return utf8;
}

// Whether the locale's name (null when no variable names one) is a UTF-8 locale.
bool locale_name_is_utf8(const char* name) {
    if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0)
        return false;
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr) return loaded_locale_is_utf8();
    const char* end = std::strchr(dot, '@');
    std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - dot - 1) : std::strlen(dot + 1);
    return (length == 5 && strncasecmp(dot + 1, "UTF-8", 5) == 0) ||
           (length == 4 && strncasecmp(dot + 1, "UTF8", 4) == 0);
}

bool converted_characters(unsigned code_page, CodePageCharacter* characters) {
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

// What a child that asked the converter sends back.
struct CodePageAnswer {
    CodePageCharacter characters[CODE_PAGE_BYTES];
    bool known;
};

}  // namespace

bool output_wants_utf8() {
    // Asked at start-up, before any other thread runs, and by the terminal's set-up. The name
    // of the locale (LC_ALL, else LC_CTYPE, else LANG, the first that is set and not empty)
    // says its character set after the dot: "C.UTF-8", "de_DE.utf8". Loading the locale to ask
    // it would cost the process some 400 KiB of the C library's locale data for as long as it
    // runs; only a name that gives no character set ("de_DE") is loaded to be asked, and the
    // process keeps the "C" locale it started with.
    static int answer = -1;
    if (answer < 0) {
        const char* name = nullptr;
        for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            name = getenv(variable);
            if (name != nullptr && *name != '\0') break;
        }
        answer = locale_name_is_utf8(name) ? 1 : 0;
    }
    return answer == 1;
}

unsigned system_code_page() {
    return 0;
}

bool output_shows_code_page(unsigned) {
    return !output_wants_utf8();
}

bool code_page_characters(unsigned code_page, CodePageCharacter* characters) {
    // The converter loads a module of the C library and its tables, some 250 KiB that the
    // process would keep for as long as it runs: a child asks it and sends the answer back.
    // The answer (1.5 KiB) fits a pipe's buffer whole, so the child never waits for the reader.
    static_assert(sizeof(CodePageAnswer) <= PIPE_BUF);
    int ends[2];
    if (pipe(ends) != 0) return converted_characters(code_page, characters);
    pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return converted_characters(code_page, characters);
    }
    if (child == 0) {
        close(ends[0]);
        CodePageAnswer answer;
        answer.known = converted_characters(code_page, answer.characters);
        ssize_t written = write(ends[1], &answer, sizeof answer);
        _exit(written == static_cast<ssize_t>(sizeof answer) ? 0 : 1);
    }
    close(ends[1]);
    CodePageAnswer answer;
    char* bytes = reinterpret_cast<char*>(&answer);
    std::size_t received = 0;
    while (received < sizeof answer) {
        ssize_t got = read(ends[0], bytes + received, sizeof answer - received);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        received += static_cast<std::size_t>(got);
    }
    close(ends[0]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (received != sizeof answer) return converted_characters(code_page, characters);
    std::memcpy(characters, answer.characters, sizeof answer.characters);
    return answer.known;
}

const char* environment_value(const char* name) {
    return getenv(name);
}

}  // namespace platform
