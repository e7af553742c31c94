// log_next_address and log_next_client must find exactly the addresses
// that the plain byte-by-byte reference finds, without and with IPv6. The
// input is scanned from memory, where the reader has all of it in one
// buffer, and from a file whose first read buffer ends inside the input, so
// that a run cut by the buffer edge is read too.
#include "basalt-file.h"
#include "fuzz_support.h"
#include "lookup_scan.h"
#include "reference_scanner.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

// The input after blanks, the first read buffer ending up to MAX_CUT bytes
// into it.
constexpr size_t MAX_CUT = 256;

std::string listed(const std::vector<std::string> &clients)
{
    std::string text;
    for (const std::string &client : clients)
        text += client + " ";
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    // The edge falls somewhere in the first 256 bytes, chosen by the input
    // so that the fuzzer can move it.
    static EdgeFile edge_file(' ', MAX_CUT, false);
    const size_t cut = size == 0 ? 0 : (data[size - 1] * 31u + size) % (std::min(size, MAX_CUT) + 1);
    const char *edge_path = edge_file.place(data, size, cut);
    for (const bool ipv6 : {false, true}) {
        const char *scanner = ipv6 ? "log_next_client" : "log_next_address";
        const std::vector<std::string> expected = reference_clients(bytes, ipv6);

        ByteReader memory_reader;
        memory_reader.open_memory(data, size);
        const std::vector<std::string> from_memory = scanned_clients(memory_reader, ipv6);
        FUZZ_CHECK(from_memory == expected, "%s from memory found [%s], the rules find [%s]", scanner,
                   listed(from_memory).c_str(), listed(expected).c_str());

        // One reader for every input: open() keeps its 256 KB buffer.
        static ByteReader file_reader;
        if (file_reader.open(edge_path) == 0)
            fuzz_fail("cannot open the edge file");
        // The blanks before the input leave it standing after a blank, as
        // the start of the scan does: the same addresses are expected.
        const std::vector<std::string> from_file = scanned_clients(file_reader, ipv6);
        FUZZ_CHECK(from_file == expected, "%s with the buffer edge %zu bytes in found [%s], the rules find [%s]",
                   scanner, cut, listed(from_file).c_str(), listed(expected).c_str());
        FUZZ_CHECK(file_reader.failed() == 0, "reading the edge file failed");
    }
    return 0;
}
