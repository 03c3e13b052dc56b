// The server's code page and UTF-8, both ways.
//
// The server writes its text in a Windows code page (437 by default). On a terminal whose
// locale is UTF-8 the console shows that text converted to UTF-8, and sends what the user types
// back as code-page bytes. Only single-byte code pages whose first 128 characters are ASCII
// are used, so a byte below 128 always stands for itself, controls included, and a chunk
// boundary never splits a character.
//
// The table of a code page is built once at start-up from what the platform's converter says
// of each of its 256 bytes; every conversion after that is a table lookup, with no allocation,
// into buffers the caller gives. The larger table of byte pairs is built from it when the
// first 8-bit byte is converted, so that a session of ASCII never has it in memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr unsigned DEFAULT_CODE_PAGE = 437;
constexpr const char* CODE_PAGE_VARIABLE = "VELDRIN_CODEPAGE";
// A code-page byte becomes at most this many bytes of UTF-8.
constexpr std::size_t UTF8_PER_BYTE = 3;
// Room for the UTF-8 text of length code-page bytes: the conversion stores whole table
// entries of up to eight bytes, which may reach a few bytes past the text's end.
constexpr std::size_t utf8_room(std::size_t length) {
    return UTF8_PER_BYTE * length + 8;
}

// One byte's character: its UTF-8 text (1 to 3 bytes) and the length, four bytes in all, so
// that the conversion copies an entry whole and moves on by its length.
struct CodePageEntry {
    char text[UTF8_PER_BYTE];
    std::uint8_t length;
};
static_assert(sizeof(CodePageEntry) == 4, "a table entry is copied as four bytes");
// The same for two bytes at once (2 to 6 bytes of text): 8-bit text converts about twice as
// fast a pair at a time as a byte at a time.
struct CodePagePair {
    char text[2 * UTF8_PER_BYTE + 1];
    std::uint8_t length;
};
static_assert(sizeof(CodePagePair) == 8, "a pair entry is copied as eight bytes");

// Whether a code page's pairs are built: by the first conversion that meets an 8-bit byte. A
// conversion that finds another thread building them converts a byte at a time meanwhile.
enum CodePagePairs { PAIRS_NONE, PAIRS_BUILDING, PAIRS_READY };

struct CodePage {
    unsigned number;
    CodePageEntry entries[platform::CODE_PAGE_BYTES];
    mutable std::atomic<int> pairs_state{PAIRS_NONE};
    // Indexed by the pair's two bytes read as one 16-bit number in the machine's byte order.
    // 512 KiB, left untouched (so out of memory) until pairs_state leaves PAIRS_NONE.
    mutable CodePagePair pairs[platform::CODE_PAGE_BYTES * platform::CODE_PAGE_BYTES];
};

// What VELDRIN_CODEPAGE says.
enum CodePageSetting {
    CODE_PAGE_NUMBER,   // *number is the code page (the default when text is null or empty)
    CODE_PAGE_NONE,     // "none": nothing is converted
    CODE_PAGE_INVALID,  // neither a number nor "none"
};
// The setting's text: decimal digits (a code page from 1 to 65535) or "none". Pure.
CodePageSetting parse_code_page_setting(const char* text, unsigned* number);

// Builds the table of a code page from the platform's characters for its 256 bytes. False when
// it is not a code page the console can use: a byte below 128 is not its ASCII self, or a byte
// starts a character of several bytes. A byte the code page gives no character (or one longer
// than UTF8_PER_BYTE) shows as U+0080 to U+00FF, the byte's own number, when no other byte
// has that character, and as U+FFFD when one has. Pure.
bool code_page_build(unsigned number, const platform::CodePageCharacter* characters,
                     CodePage* page);

// How many bytes at the text's start are below 128. Pure.
std::size_t ascii_prefix_length(const char* text, std::size_t length);
// Converts code-page text to UTF-8 into out, which has utf8_room(length) bytes; the length of
// the UTF-8 text (no NUL is added). Pure, but for building the page's pairs at its first 8-bit
// byte; safe to call from several threads at once.
std::size_t code_page_to_utf8(const CodePage& page, const char* text, std::size_t length,
                              char* out);

// The length of the UTF-8 sequence a byte starts: 1 to 4, or 0 for a byte that cannot start
// one (a continuation byte, or 0xC0, 0xC1, 0xF5 to 0xFF). Pure.
std::size_t utf8_sequence_length(unsigned char lead);
// The code-page byte of one UTF-8 character (a whole sequence of length bytes), or -1 when
// the code page lacks it or the sequence is not one character. Pure.
int code_page_byte(const CodePage& page, const char* sequence, std::size_t length);
// Converts UTF-8 text to code-page bytes into out (which may be text itself: the result is
// never longer). Characters the code page lacks, and bytes that are not UTF-8, are left out.
// The length of the result. Pure.
std::size_t utf8_to_code_page(const CodePage& page, const char* text, std::size_t length,
                              char* out);
// The length of the text without a UTF-8 sequence cut short at its end. Pure.
std::size_t utf8_whole_length(const char* text, std::size_t length);

// The code page whose text is converted, or null when nothing is converted (the output shows
// the code page as it is, or the setting is "none"). Set once at start-up, before any other thread
// starts.
extern const CodePage* converted_code_page;

// What start_server_code_page found.
enum CodePageStart {
    CODE_PAGE_STARTED,   // converted_code_page is set when the output wants it converted
    CODE_PAGE_BAD_NAME,  // the setting is neither a number nor "none"
    CODE_PAGE_UNKNOWN,   // the system has no such code page
    CODE_PAGE_UNUSABLE,  // not one byte a character with ASCII below 128
};
// Names the server's code page from the setting (VELDRIN_CODEPAGE's text, or null for the
// system's own, else DEFAULT_CODE_PAGE): when the output does not show it as it is, builds its
// table from the platform's characters for its bytes and sets converted_code_page. *number is
// the code page named. At start-up, before any other thread starts.
CodePageStart start_server_code_page(const char* setting, unsigned* number);

// The server's text as the user's side wants it: text itself when nothing is converted, else
// its UTF-8 in buffer (utf8_room(length) bytes), NUL-ended.
const char* text_for_user(const char* text, std::size_t length, char* buffer);
