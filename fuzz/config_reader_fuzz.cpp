// config_read_line over arbitrary bytes: every line it gives is clean
// (terminated inside the buffer, no blank or control byte at either end, no
// comment outside quotes, no line end) or, when overlong, empty under its skipped number;
// line numbers only grow, and reading ends.
#include "basalt-file.h"
#include "fuzz_support.h"
#include "lookup_config.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace
{

// A '#' outside the quotes of Analog's syntax ("...", '...', (...), each
// opened where an argument starts), which would start a comment.
const char *unquoted_hash(const char *line)
{
    char close = '\0';
    for (const char *p = line; *p != '\0'; ++p) {
        if (close != '\0') {
            if (*p == close)
                close = '\0';
        } else if (*p == '#') {
            return p;
        } else if (p == line || static_cast<unsigned char>(p[-1]) <= 32) {
            close = *p == '"' || *p == '\'' ? *p : *p == '(' ? ')' : '\0';
        }
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    // Mostly the buffer the run uses; sometimes a tiny one, where every
    // line is too long and the cut and skip paths carry all the work.
    const size_t capacity = (size > 0 && data[0] >= 0xF0) ? 1 + data[0] % 16 : PATH_TEXT_SIZE;
    // Exactly the capacity on the heap, so a write past it is caught.
    auto buffer = std::make_unique<char[]>(capacity);

    // Line ends in the data (CR LF once): no line number may go past them.
    int line_ends = 0;
    for (size_t i = 0; i < size; ++i)
        line_ends += data[i] == '\r' || (data[i] == '\n' && (i == 0 || data[i - 1] != '\r'));

    ByteReader reader;
    reader.open_memory(data, size);
    ConfigReader config{&reader, 0, 0, 0, 0};
    int last_line = 0;
    size_t calls = 0;
    for (;;) {
        // Each line consumes at least one byte: more calls than bytes means
        // the reader no longer moves.
        FUZZ_CHECK(++calls <= size + 1, "config_read_line did not reach the end after %zu calls", calls);
        std::memset(buffer.get(), 'X', capacity);
        const int got = config_read_line(config, buffer.get(), capacity);
        if (got == 0) {
            FUZZ_CHECK(config.skipped_line == 0, "skipped line %d at the end", config.skipped_line);
            break;
        }
        FUZZ_CHECK(got == 1, "config_read_line returned %d", got);
        FUZZ_CHECK(config.line_number > last_line, "line %d after line %d", config.line_number, last_line);
        FUZZ_CHECK(config.line_number <= line_ends + 1, "line %d of a text with %d line ends", config.line_number,
                   line_ends);
        last_line = config.line_number;

        const char *line = buffer.get();
        const size_t length = strnlen(line, capacity);
        FUZZ_CHECK(length < capacity, "line %d is not terminated inside its %zu-byte buffer", last_line, capacity);
        if (config.skipped_line != 0) {
            // An overlong line comes back empty, under its own number.
            FUZZ_CHECK(config.skipped_line == last_line && length == 0, "skipped line %d returned as line %d \"%s\"",
                       config.skipped_line, last_line, line);
            continue;
        }
        FUZZ_CHECK(length > 0, "line %d is empty", last_line);
        const auto first = static_cast<unsigned char>(line[0]);
        const auto final = static_cast<unsigned char>(line[length - 1]);
        FUZZ_CHECK(first > 32 && final > 32, "line %d \"%s\" starts or ends with byte %u / %u", last_line, line, first,
                   final);
        FUZZ_CHECK(std::strpbrk(line, "\r\n") == nullptr, "line %d \"%s\" holds a line end", last_line, line);
        FUZZ_CHECK(unquoted_hash(line) == nullptr, "line %d \"%s\" holds a comment", last_line, line);
    }
    // The end stays the end.
    FUZZ_CHECK(config_read_line(config, buffer.get(), capacity) == 0, "a line after the end");
    return 0;
}
