// log_next_address must find exactly the addresses that a plain byte-by-byte
// scanner finds. The input is scanned twice: from memory, where the reader
// has all of it in one buffer, and from a file whose first read buffer ends
// inside the input, so that a run cut by the buffer edge is read too.
#include "basalt-file.h"
#include "fuzz_support.h"
#include "lookup.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

bool in_run(unsigned char c)
{
    return (c >= '0' && c <= '9') || c == '.';
}

// The rules: a run of digits and dots is an address when it has exactly
// three dots, at most 79 characters, stands after a byte 0..32 or a comma
// (or at the start of the scan, or right after the byte that ended the last
// address) and is ended by another byte (the end of the data does not end
// it). Parts are kept modulo 256, an empty part is 0.
std::vector<uint32_t> reference_scan(const uint8_t *data, size_t size)
{
    std::vector<uint32_t> found;
    unsigned char before = 0;
    size_t i = 0;
    while (i < size) {
        if (!in_run(data[i])) {
            before = data[i++];
            continue;
        }
        const size_t start = i;
        unsigned parts[4] = {0, 0, 0, 0};
        int dots = 0;
        for (; i < size && in_run(data[i]); ++i) {
            if (data[i] == '.')
                ++dots;
            else if (dots <= 3)
                parts[dots] = (parts[dots] * 10 + (data[i] - '0')) % 256;
        }
        if (i == size)
            break;
        if (dots == 3 && i - start <= 79 && (before <= 32 || before == ',')) {
            found.push_back((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
            before = 0;
        } else {
            before = data[i];
        }
        ++i; // the byte that ended the run
    }
    return found;
}

std::vector<uint32_t> scan(ByteReader &reader)
{
    std::vector<uint32_t> found;
    uint8_t a[4];
    while (log_next_address(reader, a) == 1)
        found.push_back((uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3]);
    return found;
}

// A file of READ_BUFFER_SIZE - cut blanks followed by the input, in memory
// (memfd), reopened by path: the reader's first buffer ends cut bytes into
// the input. Only the tail is rewritten from one input to the next.
class EdgeFile
{
  public:
    EdgeFile()
    {
        fd_ = memfd_create("tarn-fuzz-log", 0);
        if (fd_ < 0)
            fuzz_fail("memfd_create failed");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
        const std::string blanks(READ_BUFFER_SIZE, ' ');
        write_at(blanks.data(), blanks.size(), 0);
    }

    const char *place(const uint8_t *data, size_t size, size_t cut)
    {
        // Blank out what the previous input left before the new start.
        const std::string blanks(MAX_CUT, ' ');
        write_at(blanks.data(), blanks.size(), READ_BUFFER_SIZE - MAX_CUT);
        const size_t start = READ_BUFFER_SIZE - cut;
        write_at(data, size, start);
        if (ftruncate(fd_, static_cast<off_t>(start + size)) != 0)
            fuzz_fail("ftruncate failed");
        return path_.c_str();
    }

    static constexpr size_t MAX_CUT = 256;

  private:
    void write_at(const void *data, size_t size, size_t offset)
    {
        if (size > 0 && pwrite(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            fuzz_fail("pwrite failed");
    }

    int fd_ = -1;
    std::string path_;
};

std::string listed(const std::vector<uint32_t> &keys)
{
    std::string text;
    for (uint32_t k : keys)
        text += std::to_string(k >> 24) + "." + std::to_string((k >> 16) & 255) + "." + std::to_string((k >> 8) & 255) +
                "." + std::to_string(k & 255) + " ";
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    const std::vector<uint32_t> expected = reference_scan(data, size);

    ByteReader memory_reader;
    memory_reader.open_memory(data, size);
    const std::vector<uint32_t> from_memory = scan(memory_reader);
    FUZZ_CHECK(from_memory == expected, "from memory found [%s], the rules find [%s]", listed(from_memory).c_str(),
               listed(expected).c_str());

    // The edge falls somewhere in the first 256 bytes, chosen by the input
    // so that the fuzzer can move it.
    static EdgeFile edge_file;
    const size_t cut = size == 0 ? 0 : (data[size - 1] * 31u + size) % (std::min(size, EdgeFile::MAX_CUT) + 1);
    // One reader for every input: open() keeps its 256 KB buffer.
    static ByteReader file_reader;
    if (file_reader.open(edge_file.place(data, size, cut)) == 0)
        fuzz_fail("cannot open the edge file");
    // The blanks before the input leave it standing after a blank, as the
    // start of the scan does: the same addresses are expected.
    const std::vector<uint32_t> from_file = scan(file_reader);
    FUZZ_CHECK(from_file == expected, "with the buffer edge %zu bytes in, found [%s], the rules find [%s]", cut,
               listed(from_file).c_str(), listed(expected).c_str());
    FUZZ_CHECK(file_reader.failed() == 0, "reading the edge file failed");
    return 0;
}
