// The server's code page and UTF-8, both ways: the table, and the conversions over it.
#include "text/codepage.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const CodePage* converted_code_page = nullptr;

namespace {

CodePage server_code_page;

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

std::uint64_t load_word(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The pairs are indexed by their two bytes read as one 16-bit number, as the conversion reads
// them, whatever the machine's byte order.
std::uint16_t pair_index(int first, int second) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(first),
                                    static_cast<unsigned char>(second)};
    std::uint16_t index;
    std::memcpy(&index, bytes, sizeof index);
    return index;
}

// The length byte of a pair entry read as one 64-bit word: its last byte in memory.
std::size_t pair_length(std::uint64_t entry) {
    if constexpr (std::endian::native == std::endian::little) return entry >> 56;
    return entry & 0xFF;
}

// The page's pairs, built from its entries by the first caller; null while another thread
// builds them.
const CodePagePair* built_pairs(const CodePage& page) {
    int state = page.pairs_state.load(std::memory_order_acquire);
    if (state == PAIRS_READY) return page.pairs;
    if (state != PAIRS_NONE ||
        !page.pairs_state.compare_exchange_strong(state, PAIRS_BUILDING, std::memory_order_acquire))
        return nullptr;
    for (int first = 0; first < platform::CODE_PAGE_BYTES; ++first) {
        const CodePageEntry& one = page.entries[first];
        for (int second = 0; second < platform::CODE_PAGE_BYTES; ++second) {
            const CodePageEntry& two = page.entries[second];
            CodePagePair& pair = page.pairs[pair_index(first, second)];
            pair = {{}, static_cast<std::uint8_t>(one.length + two.length)};
            std::memcpy(pair.text, one.text, one.length);
            std::memcpy(pair.text + one.length, two.text, two.length);
        }
    }
    page.pairs_state.store(PAIRS_READY, std::memory_order_release);
    return page.pairs;
}

bool same_text(const CodePageEntry& entry, const char* text, std::size_t length) {
    return entry.length == length && std::memcmp(entry.text, text, length) == 0;
}

bool text_taken(const CodePage& page, const char* text, std::size_t length) {
    for (const CodePageEntry& entry : page.entries) {
        if (same_text(entry, text, length)) return true;
    }
    return false;
}

}  // namespace

CodePageSetting parse_code_page_setting(const char* text, unsigned* number) {
    if (text == nullptr || *text == '\0') {
        *number = DEFAULT_CODE_PAGE;
        return CODE_PAGE_NUMBER;
    }
    if (std::strcmp(text, "none") == 0) return CODE_PAGE_NONE;
    unsigned value = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return CODE_PAGE_INVALID;
        value = value * 10 + static_cast<unsigned>(*at - '0');
        if (value > 65535) return CODE_PAGE_INVALID;
    }
    if (value == 0) return CODE_PAGE_INVALID;
    *number = value;
    return CODE_PAGE_NUMBER;
}

bool code_page_build(unsigned number, const platform::CodePageCharacter* characters,
                     CodePage* page) {
    using platform::CodePageByte;
    page->number = number;
    for (int byte = 0; byte < platform::CODE_PAGE_BYTES; ++byte) {
        const platform::CodePageCharacter& character = characters[byte];
        if (character.kind == CodePageByte::LEAD_BYTE) return false;
        if (byte < 128 && (character.kind != CodePageByte::CHARACTER || character.length != 1 ||
                           character.text[0] != static_cast<char>(byte))) {
            return false;
        }
        CodePageEntry& entry = page->entries[byte];
        entry = {{}, 0};
        if (character.kind == CodePageByte::CHARACTER && character.length >= 1 &&
            character.length <= UTF8_PER_BYTE) {
            std::memcpy(entry.text, character.text, character.length);
            entry.length = character.length;
        }
    }
    // The bytes with no character of their own: their own number as a character when that is
    // free, so that they still come back as themselves, else the replacement character.
    for (int byte = 128; byte < platform::CODE_PAGE_BYTES; ++byte) {
        CodePageEntry& entry = page->entries[byte];
        if (entry.length != 0) continue;
        const char own[2] = {static_cast<char>(0xC0 | (byte >> 6)),
                             static_cast<char>(0x80 | (byte & 0x3F))};
        if (!text_taken(*page, own, 2)) {
            entry = {{own[0], own[1], 0}, 2};
        } else {
            entry = {{'\xEF', '\xBF', '\xBD'}, 3};
        }
    }
    page->pairs_state.store(PAIRS_NONE);
    return true;
}

std::size_t ascii_prefix_length(const char* text, std::size_t length) {
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixty-four bytes a step: each chunk's worth of display text that the receive's scan could
    // not pass as ASCII is looked at here before it is converted.
    for (; length - at >= 64; at += 64) {
        const __m128i* block = reinterpret_cast<const __m128i*>(text + at);
        __m128i any =
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                         _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
        if (_mm_movemask_epi8(any) != 0) break;
    }
    for (; length - at >= 16; at += 16) {
        int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at)));
        if (high != 0)
            return at + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(high)));
    }
#else
    while (length - at >= 32) {
        std::uint64_t any = load_word(text + at) | load_word(text + at + 8) |
                            load_word(text + at + 16) | load_word(text + at + 24);
        if ((any & HIGH_BITS) != 0) break;
        at += 32;
    }
#endif
    while (at < length && static_cast<unsigned char>(text[at]) < 128) ++at;
    return at;
}

std::size_t code_page_to_utf8(const CodePage& page, const char* text, std::size_t length,
                              char* out) {
    // The ASCII before the first 8-bit byte as it is: text of ASCII never builds the pairs.
    std::size_t done = ascii_prefix_length(text, length);
    std::memcpy(out, text, done);
    char* at = out + done;
    if (done == length) return done;
    const CodePagePair* pairs = built_pairs(page);
    if (pairs == nullptr) {
        for (; done < length; ++done) {
            const CodePageEntry& entry = page.entries[static_cast<unsigned char>(text[done])];
            std::memcpy(at, &entry, sizeof entry);
            at += entry.length;
        }
        return static_cast<std::size_t>(at - out);
    }
    auto entry_of = [&](std::uint16_t index) {
        std::uint64_t pair;
        std::memcpy(&pair, &pairs[index], sizeof pair);
        return pair;
    };
    // The entry goes through a register: its length is taken from there, not loaded again
    // after the store.
    auto put = [&](std::uint64_t pair) {
        std::memcpy(at, &pair, sizeof pair);
        at += pair_length(pair);
    };
    // Eight bytes at a time: a word of ASCII is copied as it is, any other converted in pairs
    // taken from the word already loaded. All loads come before the stores: a load after a
    // store whose address is not yet known waits in case it reads what the store writes,
    // which makes the conversion about half as slow again.
    constexpr bool LITTLE = std::endian::native == std::endian::little;
    for (; length - done >= 8; done += 8) {
        std::uint64_t word = load_word(text + done);
        if ((word & HIGH_BITS) == 0) {
            std::memcpy(at, &word, sizeof word);
            at += 8;
            continue;
        }
        std::uint64_t first = entry_of(static_cast<std::uint16_t>(word >> (LITTLE ? 0 : 48)));
        std::uint64_t second = entry_of(static_cast<std::uint16_t>(word >> (LITTLE ? 16 : 32)));
        std::uint64_t third = entry_of(static_cast<std::uint16_t>(word >> (LITTLE ? 32 : 16)));
        std::uint64_t fourth = entry_of(static_cast<std::uint16_t>(word >> (LITTLE ? 48 : 0)));
        put(first);
        put(second);
        put(third);
        put(fourth);
    }
    for (; length - done >= 2; done += 2) {
        std::uint16_t index;
        std::memcpy(&index, text + done, sizeof index);
        put(entry_of(index));
    }
    if (done < length) {
        const CodePageEntry& entry = page.entries[static_cast<unsigned char>(text[done])];
        std::memcpy(at, &entry, sizeof entry);
        at += entry.length;
    }
    return static_cast<std::size_t>(at - out);
}

std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 0;
}

int code_page_byte(const CodePage& page, const char* sequence, std::size_t length) {
    if (length == 0) return -1;
    if (length == 1) return static_cast<unsigned char>(sequence[0]) < 128 ? sequence[0] : -1;
    for (int byte = 128; byte < platform::CODE_PAGE_BYTES; ++byte) {
        if (same_text(page.entries[byte], sequence, length)) return byte;
    }
    return -1;
}

std::size_t utf8_to_code_page(const CodePage& page, const char* text, std::size_t length,
                              char* out) {
    std::size_t used = 0;
    std::size_t at = 0;
    while (at < length) {
        std::size_t size = utf8_sequence_length(static_cast<unsigned char>(text[at]));
        if (size == 0 || size > length - at) {
            ++at;
            continue;
        }
        int byte = code_page_byte(page, text + at, size);
        // A sequence the code page lacks may also be a broken one: only its lead is skipped,
        // so that a character after a broken lead is still found.
        if (byte < 0) {
            ++at;
            continue;
        }
        out[used++] = static_cast<char>(byte);
        at += size;
    }
    return used;
}

std::size_t utf8_whole_length(const char* text, std::size_t length) {
    // At most three bytes back from the end can start the last sequence.
    for (std::size_t back = 1; back <= 4 && back <= length; ++back) {
        unsigned char byte = static_cast<unsigned char>(text[length - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
        std::size_t size = utf8_sequence_length(byte);
        return size > back ? length - back : length;
    }
    return length;
}

CodePageStart start_server_code_page(const char* setting, unsigned* number) {
    CodePageSetting kind = parse_code_page_setting(setting, number);
    if (kind == CODE_PAGE_INVALID) return CODE_PAGE_BAD_NAME;
    if (setting == nullptr || *setting == '\0') {
        unsigned system = platform::system_code_page();
        if (system != 0) *number = system;
    }
    if (kind == CODE_PAGE_NONE || platform::output_shows_code_page(*number))
        return CODE_PAGE_STARTED;
    static platform::CodePageCharacter characters[platform::CODE_PAGE_BYTES];
    if (!platform::code_page_characters(*number, characters)) return CODE_PAGE_UNKNOWN;
    if (!code_page_build(*number, characters, &server_code_page)) return CODE_PAGE_UNUSABLE;
    converted_code_page = &server_code_page;
    return CODE_PAGE_STARTED;
}

const char* text_for_user(const char* text, std::size_t length, char* buffer) {
    if (converted_code_page == nullptr) return text;
    std::size_t used = code_page_to_utf8(*converted_code_page, text, length, buffer);
    buffer[used] = '\0';
    return buffer;
}
