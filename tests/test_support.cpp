// The test helpers that work the same on every platform. Running programs
// and children is per platform: test_support_posix.cpp and
// test_support_windows.cpp.
#include "test_support.h"
#include "socket.h"

#include "basalt-core.h"
#include "lookup_pool.h"
#include "lookup_table.h"
#include "platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    // A name no other test program (running at the same time) picks.
    std::random_device seed;
    std::mt19937_64 random((static_cast<uint64_t>(seed()) << 32) ^ seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "tarn-test-%012llx", static_cast<unsigned long long>(random() >> 16));
        if (std::filesystem::create_directory(base / name)) {
            path_ = (base / name).string();
            // Private, as the files tests make in it may be.
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    // Tests may take write permission away; give it back so removal works.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string random_bytes(std::mt19937 &random, size_t size, const std::string &alphabet)
{
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = alphabet.empty() ? static_cast<char>(random() & 0xFF) : alphabet[random() % alphabet.size()];
    return bytes;
}

void PrintTo(const RunResult &result, std::ostream *os)
{
    *os << "status " << result.status << ", out " << testing::PrintToString(result.out) << ", err "
        << testing::PrintToString(result.err);
}

namespace
{

// Length of a "[ 1234.5678 secs]" time at text[i], or 0 when none starts there.
size_t step_time_length(const std::string &text, size_t i)
{
    if (text.compare(i, 1, "[") != 0)
        return 0;
    size_t j = i + 1;
    while (j < text.size() && text[j] == ' ')
        ++j;
    size_t digits = j;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
        ++j;
    if (j == digits || text.compare(j, 1, ".") != 0)
        return 0;
    for (int k = 1; k <= 4; ++k) {
        if (j + static_cast<size_t>(k) >= text.size() ||
            !std::isdigit(static_cast<unsigned char>(text[j + static_cast<size_t>(k)])))
            return 0;
    }
    j += 5;
    return text.compare(j, 6, " secs]") == 0 ? j + 6 - i : 0;
}

} // namespace

std::string printed_lines(const std::string &out)
{
    std::string kept;
    size_t line_start = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r') {
            line_start = i + 1; // a progress line: dropped
        } else if (out[i] == '\n') {
            kept += out.substr(line_start, i + 1 - line_start);
            line_start = i + 1;
        }
    }
    kept += out.substr(line_start);
    std::string masked;
    for (size_t i = 0; i < kept.size();) {
        size_t length = step_time_length(kept, i);
        if (length > 0) {
            masked += "[T]";
            i += length;
        } else {
            masked += kept[i++];
        }
    }
    return masked;
}

std::string stamps_as_now(const std::string &cache, uint32_t from, uint32_t to)
{
    std::string out;
    size_t start = 0;
    while (start < cache.size()) {
        const size_t end = cache.find('\n', start);
        std::string line = cache.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        start = end == std::string::npos ? cache.size() : end + 1;
        const size_t blank = line.find(' ');
        const unsigned long stamp = std::strtoul(line.c_str(), nullptr, 10);
        if (blank != std::string::npos && stamp >= from && stamp <= to)
            line = "NOW" + line.substr(blank);
        out += line;
    }
    return out;
}

void start_core_for_test(int flags, const char *program_path)
{
    const char *argv[] = {program_path};
    platform_set_command_line(1, argv);
    // Tests read the progress lines from a pipe or file, and every text from
    // one stream.
    core_startup("debug.log", (flags & OUT_CONSOLE) != 0 ? flags | OUT_PROGRESS_ANYWHERE | OUT_ONE_STREAM : flags);
}

void EngineTest::SetUp()
{
    start_core_for_test(OUT_CONSOLE);
    memory_init(0);
    host_table_create();
    entry_count = 0;
    log_address_count = 0;
    lookups_started = 0;
    unresolved_seen = 0;
    resolved_count = 0;
}

void EngineTest::TearDown()
{
    host_table_clear();
    host_table_destroy();
    EXPECT_EQ(0, memory_counters().live_blocks);
}

void ScriptedEngineTest::SetUp()
{
    EngineTest::SetUp();
    socket_set_address_resolver(resolver_);
}

void ScriptedEngineTest::TearDown()
{
    socket_set_address_resolver(nullptr);
    EngineTest::TearDown();
}

namespace
{

// CRC-32 as xz (and zlib) compute it: reflected, polynomial 0xEDB88320.
uint32_t crc32_of(const std::string &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace

std::string xz_with_dictionary_byte(const std::string &xz, unsigned char dictionary_byte)
{
    // A 12-byte stream header, then the block header: its size / 4 - 1,
    // flags (filter count - 1 in bits 0..1, 0x40 and 0x80: a compressed and
    // an uncompressed size follow as variable-length integers), then per
    // filter its ID (0x21: LZMA2), its property size (1) and the property,
    // padding, and a CRC32 of all before it.
    const size_t start = 12;
    if (xz.size() < start + 8 || xz.compare(0, 6, "\xfd\x37zXZ\0", 6) != 0)
        return "";
    const size_t header_size = (static_cast<unsigned char>(xz[start]) + 1u) * 4;
    const auto flags = static_cast<unsigned char>(xz[start + 1]);
    if (xz.size() < start + header_size || (flags & 0x03) != 0)
        return "";
    size_t at = start + 2;
    for (const unsigned size_flag : {0x40u, 0x80u}) {
        if ((flags & size_flag) == 0)
            continue;
        while (at < start + header_size && (static_cast<unsigned char>(xz[at]) & 0x80) != 0)
            ++at;
        ++at;
    }
    if (at + 3 > start + header_size - 4 || xz[at] != '\x21' || xz[at + 1] != '\x01')
        return "";
    std::string patched = xz;
    patched[at + 2] = static_cast<char>(dictionary_byte);
    const uint32_t crc = crc32_of(patched.substr(start, header_size - 4));
    for (size_t i = 0; i < 4; ++i)
        patched[start + header_size - 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xff);
    return patched;
}
