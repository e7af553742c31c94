// The field tokenizer and the command-line parser on arbitrary text: fields
// copy whole or not at all, never past their buffer; fields past the count
// do not exist; the options record always holds terminated texts and a
// thread count in range.
#include "basalt-str.h"
#include "cmdline.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace
{

// Longer texts add nothing: the program refuses a command line over 319
// characters before it parses, and the tokenizer's work is per byte.
constexpr size_t MAX_TEXT = 4096;

void check_copy(const char *text, int n, size_t capacity)
{
    // Exactly the capacity on the heap, so a write past it is caught.
    auto buffer = std::make_unique<char[]>(capacity);
    std::memset(buffer.get(), 'X', capacity);
    const int copied = field_copy(text, n, buffer.get(), capacity);
    const size_t length = strnlen(buffer.get(), capacity);
    FUZZ_CHECK(length < capacity, "field_copy of field %d into %zu bytes left the buffer unterminated", n, capacity);
    if (copied == 0) {
        FUZZ_CHECK(length == 0, "field_copy of field %d failed but left \"%s\"", n, buffer.get());
        return;
    }
    FUZZ_CHECK(copied == 1, "field_copy returned %d", copied);
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(buffer[i]);
        FUZZ_CHECK(c >= 32 && c != '"', "field %d copied with byte %u at %zu: \"%s\"", n, c, i, buffer.get());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    const std::string text(reinterpret_cast<const char *>(data),
                           strnlen(reinterpret_cast<const char *>(data), std::min(size, MAX_TEXT)));
    const char *line = text.c_str();

    const int count = field_count(line);
    int last = -1;
    field_locate(line, 0, &last);
    FUZZ_CHECK(count == last && count >= 0, "field_count %d, field_locate's last field %d", count, last);
    // A small capacity from the input, so fields meet a full buffer often.
    const size_t small = 1 + size % 12;
    for (int n = 0; n <= count; ++n) {
        FUZZ_CHECK(n == 0 || field_locate(line, n, nullptr) != nullptr, "field %d of %d not located", n, count);
        check_copy(line, n, FIELD_TEXT_SIZE);
        check_copy(line, n, small);
    }
    // No field exists past the count.
    for (int n = count + 1; n <= count + 2; ++n) {
        FUZZ_CHECK(field_locate(line, n, nullptr) == nullptr, "field %d located in a text of %d fields", n, count);
        char buffer[FIELD_TEXT_SIZE];
        FUZZ_CHECK(field_copy(line, n, buffer) == 0 && buffer[0] == '\0', "field %d copied from a text of %d fields", n,
                   count);
    }

    const MemoryCounters before = memory_counters();
    LookupOptions *options = nullptr;
    options_create(&options);
    int usage = -1;
    const int result = parse_command_line(options, line, &usage);
    FUZZ_CHECK(result == 0 || result == 1, "parse_command_line returned %d", result);
    FUZZ_CHECK(usage == 0 || (usage == 1 && result == 0), "usage_requested %d with result %d", usage, result);
    FUZZ_CHECK(options->thread_count >= 1 && options->thread_count <= MAX_THREAD_COUNT, "thread count %d",
               options->thread_count);
    const char *texts[] = {options->lookup_name, options->lookup_address, options->log_file,
                           options->dns_file,    options->config_file,    options->lock_file,
                           options->output_file, options->webalizer_file};
    for (const char *option_text : texts) {
        // Every value is one field, so it is shorter than a field buffer.
        FUZZ_CHECK(strnlen(option_text, PATH_TEXT_SIZE) < FIELD_TEXT_SIZE,
                   "an option text is unterminated or longer than a field");
    }
    FUZZ_CHECK((options->flags & ~(STRIP_UNRESOLVED | QUIET_RUN | CONFIRM_NAMES | PURGE_STALE)) == 0, "flags 0x%x",
               options->flags);
    // Periods are taken whole or not at all, and never below 0.
    FUZZ_CHECK(options->periods_given == 1 ? options->good_hours >= 0 && options->bad_hours >= 0
                                           : options->good_hours == 0 && options->bad_hours == 0,
               "periods %d: %d,%d", options->periods_given, options->good_hours, options->bad_hours);
    options_destroy(&options);
    fuzz_check_released(before, "parsing");
    return 0;
}
