// The receive loop of a session: the server's text on standard output, its controls obeyed.
//
// The server's stream is taken in chunks of at most RECEIVE_CHUNK bytes, and at most one marker
// counts in each chunk. To keep up with a fast server the loop receives more than one chunk at a
// time and cuts what arrived into chunks exactly as successive receives of RECEIVE_CHUNK bytes
// would have; the display text of consecutive chunks goes out in one write, always before the
// control that follows it, and always before the next receive.
//
// When the server's code page is converted, the chunks and their markers are still found on
// the server's own bytes; only the display text is converted, on its way out. A chunk's text
// of ASCII only goes out from the receive buffer as it is; any other, converted whole.
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define SCAN_AVX2 1
#include <immintrin.h>
#endif

#include "actions/actions.h"
#include "core/console_state.h"
#include "core/session.h"
#include "text/codepage.h"

namespace {

// One receive takes whatever has arrived, up to this much; nothing ever waits for the buffer to
// fill. Measured on Linux loopback against a fast server, 128 KiB beat 64, 256 and 512 KiB to
// /dev/null and matched them to a file: a larger receive holds the socket longer, so more of
// the arriving data is processed afterwards on this thread, and each window update it opens
// lets the server's queued data through on this thread's processor in larger bursts. Its text
// also stays in the processor's cache between the receive and the scan.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 128 * RECEIVE_CHUNK;
constexpr int MAX_PARTS = static_cast<int>(RECEIVE_BUFFER_SIZE / RECEIVE_CHUNK);

char receive_buffer[RECEIVE_BUFFER_SIZE];
char argument_buffer[RECEIVE_CHUNK + 1];
// The converted display text of one receive's pending output, written out once it holds this
// much.
constexpr std::size_t CONVERTED_WRITE_SIZE = 32 * 1024;
char converted_buffer[CONVERTED_WRITE_SIZE + utf8_room(RECEIVE_CHUNK)];

// Display text waiting to be written: runs of the receive buffer.
struct PendingOutput {
    platform::OutputPart parts[MAX_PARTS];
    int count = 0;

    void add(const char* data, std::size_t length) {
        if (length == 0) return;
        if (count > 0 && parts[count - 1].data + parts[count - 1].length == data) {
            parts[count - 1].length += length;
            return;
        }
        parts[count++] = {data, length};
    }
    // Display text, converted when a code page is: a chunk's worth at a time, each of ASCII
    // only left where it is.
    void add_display(const char* data, std::size_t length) {
        if (converted_code_page == nullptr) {
            add(data, length);
            return;
        }
        for (std::size_t at = 0; at < length; at += RECEIVE_CHUNK) {
            std::size_t piece = length - at < RECEIVE_CHUNK ? length - at : RECEIVE_CHUNK;
            add_converted(data + at, piece);
        }
    }
    void add_converted(const char* data, std::size_t length) {
        if (ascii_prefix_length(data, length) == length) {
            add(data, length);
            return;
        }
        // Converted whole, so that the text of consecutive chunks stays one part.
        char* out = converted_buffer + converted_length;
        std::size_t used = code_page_to_utf8(*converted_code_page, data, length, out);
        converted_length += used;
        add(out, used);
        // Written while it is still in the processor's cache: the write's copy then costs
        // markedly less than from a buffer of several times that size.
        if (converted_length >= CONVERTED_WRITE_SIZE) flush();
    }
    void flush() {
        if (count > 0) platform::write_stdout_parts(parts, count);
        count = 0;
        converted_length = 0;
    }

    std::size_t converted_length = 0;  // used of converted_buffer
};

// Displays and obeys the chunks of one receive; stops at the end of the session.
void take_received(const char* data, std::size_t length) {
    static PendingOutput pending;
    // A chunk with neither a NUL nor a '~' is display text whole, so the chunks before the
    // next of either go out as one run without being decoded one by one, and a run of ASCII
    // without being looked at again. The scan stops at the first of them and starts again
    // only once past it, so that a receive is scanned once however they are spread.
    TextScan scan = scan_text(data, 0, length);
    std::size_t at = 0;
    while (at < length && link_state.load() == LINK_ONLINE) {
        if (scan.special < at) scan = scan_text(data, at, length);
        std::size_t plain = scan.special == length
                                ? length - at
                                : (scan.special - at) / RECEIVE_CHUNK * RECEIVE_CHUNK;
        if (plain > 0) {
            if (scan.ascii) {
                pending.add(data + at, plain);
            } else {
                pending.add_display(data + at, plain);
            }
            at += plain;
            continue;
        }
        std::size_t chunk_length = length - at < RECEIVE_CHUNK ? length - at : RECEIVE_CHUNK;
        ChunkDecoded chunk = decode_chunk(data + at, chunk_length);
        pending.add_display(data + at, chunk.display_length);
        if (chunk.control != 0) {
            pending.flush();
            std::memcpy(argument_buffer, data + at + chunk.argument_offset, chunk.argument_length);
            argument_buffer[chunk.argument_length] = '\0';
            apply_control(chunk.control, argument_buffer, chunk.argument_length);
        }
        at += chunk_length;
    }
    pending.flush();
}

const char* find_marker(const char* text, std::size_t length) {
    const char* end = text + length;
    const char* at = text;
    while (end - at >= 3) {
        const char* tilde = static_cast<const char*>(std::memchr(at, '~', (end - at) - 2));
        if (!tilde) return nullptr;
        if (tilde[1] == '~' && tilde[2] == '~') return tilde;
        at = tilde + 1;
    }
    return nullptr;
}

#if SCAN_AVX2
// Where plain ASCII (bytes 1 to 125) stops, to a 128-byte step, from at: the same test as the
// scan's first loop below on twice the width. Built for processors with AVX2 only, and called
// only on those; the scan's own loops finish what it leaves.
__attribute__((target("avx2"))) std::size_t plain_prefix_avx2(const char* data, std::size_t at,
                                                              std::size_t length) {
    const __m256i one = _mm256_set1_epi8(1);
    const __m256i last_plain = _mm256_set1_epi8('~' - 2);
    for (; length - at >= 128; at += 128) {
        const __m256i* block = reinterpret_cast<const __m256i*>(data + at);
        __m256i largest =
            _mm256_max_epu8(_mm256_max_epu8(_mm256_sub_epi8(_mm256_loadu_si256(block), one),
                                            _mm256_sub_epi8(_mm256_loadu_si256(block + 1), one)),
                            _mm256_max_epu8(_mm256_sub_epi8(_mm256_loadu_si256(block + 2), one),
                                            _mm256_sub_epi8(_mm256_loadu_si256(block + 3), one)));
        __m256i plain = _mm256_cmpeq_epi8(_mm256_max_epu8(largest, last_plain), last_plain);
        if (static_cast<unsigned>(_mm256_movemask_epi8(plain)) != 0xFFFFFFFFu) break;
    }
    return at;
}

const bool HAS_AVX2 = [] {
    __builtin_cpu_init();  // needed when called before the run-time library's own start-up
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

TextScan scan_text(const char* data, std::size_t from, std::size_t length) {
    std::size_t at = from;
    bool high = false;
#if defined(__SSE2__)
    // Sixty-four bytes a step while none is special, then sixteen to find the first that is:
    // one pass over the text instead of one for each kind of byte.
    const __m128i nul = _mm_setzero_si128();
    const __m128i tilde = _mm_set1_epi8('~');
    auto special_in = [&](__m128i bytes) {
        return _mm_or_si128(_mm_cmpeq_epi8(bytes, nul), _mm_cmpeq_epi8(bytes, tilde));
    };
    // First the common case, plain ASCII, at its cheapest: a block of only bytes 1 to 125
    // holds neither a NUL, a '~' nor an 8-bit byte. A block with any other (DEL too) is looked
    // at again below, byte kind by byte kind, and so is all that follows it.
    const __m128i one = _mm_set1_epi8(1);
    const __m128i last_plain = _mm_set1_epi8('~' - 2);
#if SCAN_AVX2
    // Measured on Linux loopback, the scan at twice the width took about 15% off the console's
    // processor time per GiB of ASCII to /dev/null: it is the one pass over the text that a
    // relay which looks at nothing does not make.
    if (HAS_AVX2) at = plain_prefix_avx2(data, at, length);
#endif
    for (; length - at >= 64; at += 64) {
        const __m128i* block = reinterpret_cast<const __m128i*>(data + at);
        // A byte less one, unsigned: 0 to 124 for the plain ones, 125 and up for any other.
        __m128i largest = _mm_max_epu8(_mm_max_epu8(_mm_sub_epi8(_mm_loadu_si128(block), one),
                                                    _mm_sub_epi8(_mm_loadu_si128(block + 1), one)),
                                       _mm_max_epu8(_mm_sub_epi8(_mm_loadu_si128(block + 2), one),
                                                    _mm_sub_epi8(_mm_loadu_si128(block + 3), one)));
        int other =
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(largest, last_plain), last_plain));
        if (other != 0xFFFF) break;
    }
    __m128i seen = _mm_setzero_si128();
    for (; length - at >= 64; at += 64) {
        const __m128i* block = reinterpret_cast<const __m128i*>(data + at);
        __m128i a = _mm_loadu_si128(block), b = _mm_loadu_si128(block + 1);
        __m128i c = _mm_loadu_si128(block + 2), d = _mm_loadu_si128(block + 3);
        __m128i special = _mm_or_si128(_mm_or_si128(special_in(a), special_in(b)),
                                       _mm_or_si128(special_in(c), special_in(d)));
        if (_mm_movemask_epi8(special) != 0) break;
        seen = _mm_or_si128(seen, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
    }
    for (; length - at >= 16; at += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        int special = _mm_movemask_epi8(special_in(bytes));
        if (special != 0) {
            int first = std::countr_zero(static_cast<unsigned>(special));
            int before = _mm_movemask_epi8(bytes) & ((1 << first) - 1);
            return {at + static_cast<std::size_t>(first),
                    _mm_movemask_epi8(seen) == 0 && before == 0};
        }
        seen = _mm_or_si128(seen, bytes);
    }
    high = _mm_movemask_epi8(seen) != 0;
#endif
    for (; at < length && data[at] != '\0' && data[at] != '~'; ++at) {
        if (static_cast<unsigned char>(data[at]) >= 128) high = true;
    }
    return {at, !high};
}

ChunkDecoded decode_chunk(const char* chunk, std::size_t length) {
    const char* nul = static_cast<const char*>(std::memchr(chunk, '\0', length));
    std::size_t text_length = nul ? static_cast<std::size_t>(nul - chunk) : length;
    const char* marker = find_marker(chunk, text_length);
    if (!marker) return {text_length, 0, text_length, 0};
    std::size_t k = static_cast<std::size_t>(marker - chunk);
    if (k + 3 >= text_length) return {k, 0, text_length, 0};
    return {k, chunk[k + 3], k + 4, text_length - (k + 4)};
}

void apply_control(char control, char* argument, std::size_t argument_length) {
    switch (control) {
        case '0':
            link_state.store(LINK_IDLE);
            break;
        case '1':
            raw_keys.store(1);
            break;
        case '2':
            raw_keys.store(0);
            break;
        case '3':
            launch_program(argument, argument_length);
            break;
        case '4':
            end_program();
            break;
        case '5':
            apply_title(argument, argument_length);
            break;
        case '6':
            apply_exit_code(argument);
            break;
        default:
            break;
    }
}

void run_session() {
    std::size_t title_length = platform::get_console_title(saved_title, SAVED_TITLE_SIZE);
    // A UTF-8 title cut at the buffer's end loses its last character whole.
    if (converted_code_page != nullptr) {
        saved_title[utf8_whole_length(saved_title, title_length)] = '\0';
    }
    platform::SocketHandle socket = server_socket.load();
    while (link_state.load() == LINK_ONLINE) {
        long received = platform::socket_receive(socket, receive_buffer, RECEIVE_BUFFER_SIZE);
        if (received <= 0) break;
        take_received(receive_buffer, static_cast<std::size_t>(received));
    }
    if (link_state.load() == LINK_ONLINE) {
        link_state.store(quiet_loss.load() ? LINK_IDLE : LINK_ADDRESSED);
    }
    drop_connection();
}
