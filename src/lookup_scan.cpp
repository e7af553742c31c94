// The scanner of log bytes: every dotted quad that stands after a blank, a
// control byte or a comma, and every IPv6 client text, whatever the log
// format, found sixteen bytes at a time where the processor allows.
#include "lookup_scan.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-str.h"
#include "platform.h"
#include "platform_ipv6.h"
#include "socket.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

// Longest run of digits and dots that can be an address, as gathered; a
// longer run is passed over as no address.
constexpr size_t RUN_TEXT_SIZE = 80;

// The longest IPv6 text form, terminator excluded.
constexpr size_t IPV6_TEXT_LENGTH = IPV6_TEXT_SIZE - 1;

struct ByteClasses {
    bool run[256];        // digits and dots
    bool before_run[256]; // what may stand before an address: 0..32 and ','
    bool ipv6[256];       // what an IPv6 text holds: hex digits, ':' and '.'
    bool ipv6_only[256];  // what only an IPv6 text may start with: a-f, A-F, ':'
};

constexpr ByteClasses make_byte_classes()
{
    ByteClasses classes{};
    for (int c = 0; c < 256; ++c) {
        classes.run[c] = (c >= '0' && c <= '9') || c == '.';
        classes.before_run[c] = c <= 32 || c == ',';
        classes.ipv6_only[c] = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':';
        classes.ipv6[c] = classes.run[c] || classes.ipv6_only[c];
    }
    return classes;
}

constexpr ByteClasses BYTE_CLASSES = make_byte_classes();

// Where the next run that may be an address starts in data[0, length): a
// digit or dot that follows a byte that may stand before an address and
// does not continue a run. before is the byte before data[0]. Most runs of
// a log (times, sizes, versions after a slash) follow other bytes, so only
// a few per line are looked at closely; the rest are passed over sixteen
// bytes at a time where the processor allows.
// Whether an IPv6 text may start at p: a byte only such a text starts
// with, and at least two colons in the run that follows (every IPv6 text
// has two). Words such as "Firefox" after a blank are thus passed over
// here, at no more cost than a look at their first bytes. A run that the
// data cuts may be one.
bool may_start_ipv6(const unsigned char *p, const unsigned char *end)
{
    if (!BYTE_CLASSES.ipv6_only[*p])
        return false;
    int colons = 0;
    for (const unsigned char *q = p; q < end && q - p <= static_cast<ptrdiff_t>(IPV6_TEXT_LENGTH); ++q) {
        if (!BYTE_CLASSES.ipv6[*q])
            return false;
        colons += *q == ':';
        if (colons == 2)
            return true;
    }
    return true;
}

#if defined(__SSE2__)
// The bytes of the 16 at p equal to c, as a bit mask.
unsigned bytes_equal(const unsigned char *p, char c)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
}

// The bytes of the 16 at p that belong to a run (digits and dots) and those
// that may stand before one (bytes 0 to 32 and commas), as bit masks.
void classify_block(const unsigned char *p, unsigned *run_bits, unsigned *precede_bits)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Signed compares: bytes of 128 and above are negative, so they are
    // neither digits nor bytes 0..32, as the byte classes say.
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const __m128i run = _mm_or_si128(digit, _mm_cmpeq_epi8(v, _mm_set1_epi8('.')));
    const __m128i low = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-1)), _mm_cmplt_epi8(v, _mm_set1_epi8(33)));
    const __m128i may_precede = _mm_or_si128(low, _mm_cmpeq_epi8(v, _mm_set1_epi8(',')));
    *run_bits = static_cast<unsigned>(_mm_movemask_epi8(run));
    *precede_bits = static_cast<unsigned>(_mm_movemask_epi8(may_precede));
}

// Of the separators in candidates (bits of the block at data + i), those
// where an IPv6 text starting with a-f or ':' does start. Such a text has a
// colon within its first five bytes, and colons are rare in a log: only a
// separator followed, within five bytes, by one is looked at closely.
// *colon_bits holds the block's colons on entry and the next block's on
// return, so each block is compared once.
unsigned ipv6_starts(const unsigned char *data, size_t i, size_t length, unsigned candidates, unsigned *colon_bits)
{
    const unsigned colon_next = i + 32 <= length ? bytes_equal(data + i + 16, ':') : 0xFFFFu;
    // Only the low 5 bits of the next block's colons reach this one.
    const unsigned window = *colon_bits | ((colon_next & 0x1Fu) << 16);
    *colon_bits = colon_next;
    if (window == 0) // most blocks hold no colon
        return 0;
    const unsigned near = (window | window >> 1 | window >> 2 | window >> 3 | window >> 4) & 0xFFFFu;
    unsigned starts = 0;
    for (unsigned others = candidates & near; others != 0; others &= others - 1) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctz(others));
        if (may_start_ipv6(data + i + bit, data + length))
            starts |= 1u << bit;
    }
    return starts;
}

// Looks at the whole 16-byte blocks of data: the offset where a run may
// start (*found set), or else the end of the last whole block, with
// *before the byte before it.
template <bool want_ipv6>
size_t scan_blocks(const unsigned char *data, size_t length, unsigned char *before, bool *found)
{
    unsigned carry_run = BYTE_CLASSES.run[*before] ? 1 : 0;
    unsigned carry_before = BYTE_CLASSES.before_run[*before] ? 1 : 0;
    unsigned colon_bits = want_ipv6 && length >= 16 ? bytes_equal(data, ':') : 0;
    size_t i = 0;
    for (; i + 16 <= length; i += 16) {
        unsigned run_bits = 0;
        unsigned precede_bits = 0;
        classify_block(data + i, &run_bits, &precede_bits);
        const unsigned after_separator = ((precede_bits << 1) | carry_before) & 0xFFFF;
        unsigned starts = run_bits & ~((run_bits << 1) | carry_run) & after_separator;
        if constexpr (want_ipv6)
            starts |= ipv6_starts(data, i, length, after_separator & ~run_bits, &colon_bits);
        if (starts != 0) {
            *found = true;
            return i + static_cast<size_t>(__builtin_ctz(starts));
        }
        carry_run = run_bits >> 15;
        carry_before = precede_bits >> 15;
    }
    if (i > 0)
        *before = data[i - 1];
    return i;
}
#endif

template <bool want_ipv6> size_t next_candidate(const unsigned char *data, size_t length, unsigned char before)
{
    size_t i = 0;
#if defined(__SSE2__)
    bool found = false;
    i = scan_blocks<want_ipv6>(data, length, &before, &found);
    if (found)
        return i;
#endif
    for (; i < length; ++i) {
        const unsigned char c = data[i];
        const bool may_start = BYTE_CLASSES.run[c] || (want_ipv6 && may_start_ipv6(data + i, data + length));
        if (may_start && !BYTE_CLASSES.run[before] && BYTE_CLASSES.before_run[before])
            return i;
        before = c;
    }
    return length;
}

// An IPv6 text found: the client, with its text as written.
int found_ipv6(const unsigned char *text, size_t length, ClientAddress &client)
{
    if (length > IPV6_TEXT_LENGTH ||
        ipv6_client_text(reinterpret_cast<const char *>(text), length, client.address6) == 0)
        return 0;
    std::memcpy(client.text, text, length);
    client.text[length] = '\0';
    client.is_ipv6 = 1;
    return 1;
}

// Reads a run that the buffer cut, a byte at a time (rare: once per read
// buffer at most): first the digits and dots of a dotted quad, then, if
// the byte that ends them may go on an IPv6 text, the rest of that. The end
// of the data ends a run as any other byte that cannot go on it does, so a
// log whose last bytes are an address gives it too. 1 with the client, 0
// when it is none (*terminator: the byte that ended the run, 0 at the end
// of the data).
int gather_cut_run(ByteReader &reader, bool want_ipv6, ClientAddress &client, unsigned char *terminator)
{
    unsigned char run[RUN_TEXT_SIZE];
    size_t length = 0;
    int dots = 0;
    int c = reader.next();
    while (c >= 0 && BYTE_CLASSES.run[c]) {
        if (length < RUN_TEXT_SIZE - 1)
            run[length] = static_cast<unsigned char>(c);
        ++length;
        dots += (c == '.' && dots < 4);
        c = reader.next();
    }
    *terminator = static_cast<unsigned char>(c < 0 ? 0 : c);
    if (dots == 3 && length < RUN_TEXT_SIZE) {
        run[length] = '\0';
        if (parse_dotted_quad(reinterpret_cast<const char *>(run), client.address) == 1) {
            client.is_ipv6 = 0;
            return 1;
        }
    }
    if (!want_ipv6 || c < 0 || !BYTE_CLASSES.ipv6_only[c])
        return 0;
    while (c >= 0 && BYTE_CLASSES.ipv6[c]) {
        if (length < RUN_TEXT_SIZE - 1)
            run[length] = static_cast<unsigned char>(c);
        ++length;
        c = reader.next();
    }
    *terminator = static_cast<unsigned char>(c < 0 ? 0 : c);
    return found_ipv6(run, length, client);
}

// The digits and dots of a run, read in place: its first four parts, how
// many dots it has, whether every part is written as the cache keys an
// address (1 to 3 digits, 0 to 255, no leading zero) and where the run
// ends. A run such as "192.0.2.256" or "010.0.2.1" is no address: read as
// one it would be another client's, looked up for a line that never
// named it.
struct QuadRun {
    uint8_t parts[4];
    int dots;
    bool canonical;
    size_t end;
};

QuadRun read_quad_run(const unsigned char *data, size_t start, size_t available)
{
    QuadRun run{{0, 0, 0, 0}, 0, true, start};
    unsigned part = 0;
    int digits = 0;
    for (; run.end < available && BYTE_CLASSES.run[data[run.end]]; ++run.end) {
        if (data[run.end] == '.') {
            run.canonical = run.canonical && digits > 0;
            if (run.dots < 3)
                run.parts[run.dots] = static_cast<uint8_t>(part);
            ++run.dots;
            part = 0;
            digits = 0;
        } else {
            // A leading zero, or a fourth digit, ends the part's chance.
            run.canonical = run.canonical && !(digits > 0 && part == 0) && digits < 3;
            part = part * 10 + static_cast<unsigned>(data[run.end] - '0');
            run.canonical = run.canonical && part <= 255;
            ++digits;
        }
    }
    run.canonical = run.canonical && digits > 0;
    run.parts[3] = static_cast<uint8_t>(part);
    return run;
}

// Where an IPv6 text that goes on from the run [start, i) would end: i when
// the run cannot go on as one.
template <bool want_ipv6> size_t ipv6_run_end(const unsigned char *data, size_t start, size_t i, size_t available)
{
    size_t end = i;
    if (want_ipv6 && i < available && BYTE_CLASSES.ipv6_only[data[i]] &&
        (i > start || may_start_ipv6(data + i, data + available))) {
        while (end < available && BYTE_CLASSES.ipv6[data[end]] && end - start <= IPV6_TEXT_LENGTH)
            ++end;
    }
    return end;
}

// The run that starts at data[start]: read as a dotted quad first, so a
// quad is found exactly as it would be without IPv6; only a run that is no
// quad and goes on with a hex letter or a colon (or starts with one) is
// tried as an IPv6 text. 1 with the client; 0 when it is none (the reader
// is then past it, *before the byte that ended it).
template <bool want_ipv6>
int take_run(ByteReader &reader, const unsigned char *data, size_t start, size_t available, ClientAddress &client,
             unsigned char *before)
{
    const QuadRun run = read_quad_run(data, start, available);
    const size_t end = ipv6_run_end<want_ipv6>(data, start, run.end, available);
    if (end == available) {
        reader.consume(start);
        return gather_cut_run(reader, want_ipv6, client, before);
    }
    if (run.dots == 3 && run.canonical) {
        reader.consume(run.end + 1);
        std::memcpy(client.address, run.parts, 4);
        client.is_ipv6 = 0;
        return 1;
    }
    if (end > run.end && !BYTE_CLASSES.ipv6[data[end]] && found_ipv6(data + start, end - start, client) == 1) {
        reader.consume(end + 1);
        return 1;
    }
    // No address: go on after the digits and dots, as if IPv6 did not
    // exist (an IPv6 run holds no place where another address may start).
    *before = data[run.end];
    reader.consume(run.end + 1);
    return 0;
}

// The scanner: every dotted quad as before, and, with want_ipv6, every
// IPv6 text that starts where a dotted quad may start.
template <bool want_ipv6> int next_client(ByteReader &reader, ClientAddress &client)
{
    // The byte before the data: 0 at the start of each call, which counts
    // as a blank, so an address right after the last one found is found too.
    unsigned char before = 0;
    for (;;) {
        size_t available = 0;
        const unsigned char *data = reader.peek(&available);
        if (data == nullptr)
            return 0;
        const size_t start = next_candidate<want_ipv6>(data, available, before);
        if (start == available) {
            before = data[available - 1];
            reader.consume(available);
            continue;
        }
        if (take_run<want_ipv6>(reader, data, start, available, client, &before) == 1)
            return 1;
    }
}

} // namespace

int ipv6_client_text(const char *text, size_t length, uint8_t address[16])
{
    char copy[IPV6_TEXT_SIZE];
    if (length < 3 || length > IPV6_TEXT_LENGTH || std::memchr(text, ':', length) == nullptr)
        return 0;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    // A zone (an interface's name or number) after '%' is part of the key,
    // not of the address.
    if (char *zone = std::strchr(copy, '%')) {
        if (zone[1] == '\0')
            return 0;
        for (const char *p = zone + 1; *p != '\0'; ++p) {
            if (!std::isalnum(static_cast<unsigned char>(*p)) && std::strchr("_.-", *p) == nullptr)
                return 0;
        }
        *zone = '\0';
    }
    return platform_parse_ipv6(copy, address);
}

int log_next_address(ByteReader &reader, uint8_t address[4])
{
    CHECK_POINTER(SITE_FILE, address);
    ClientAddress client;
    if (next_client<false>(reader, client) == 0)
        return 0;
    std::memcpy(address, client.address, 4);
    return 1;
}

int log_next_client(ByteReader &reader, ClientAddress &client)
{
    return next_client<true>(reader, client);
}
