// The DNS cache file reader on arbitrary bytes: the table it builds is in
// ascending address order with clean names and does not depend on whether
// the load used its index, writing it and reading it back gives the same
// file (malformed lines included, which come back as the same lines, and
// every line with the line end of the input's first LF), the
// loader refuses exactly the files with lines but no record, and emptying
// the table returns every tracked block.
#include "basalt-core.h"
#include "basalt-file.h"
#include "cmdline.h"
#include "fuzz_support.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// One save in this many goes through dns_file_save to a real file (and the
// reload through dns_file_load); the others are formatted and read back in
// memory. Chosen by the input, so a replay does exactly what the run did.
constexpr uint32_t SAVE_EVERY = 16;

// The loader over memory. With indexed, the first line that
// goes backwards switches to the index as dns_file_load does; without, every
// insert walks its list (the plain result that the index must reproduce).
CacheReadFacts load(const void *data, size_t size, bool indexed)
{
    ByteReader reader;
    reader.open_memory(data, size);
    return dns_file_read_all(reader, indexed ? 1 : 0);
}

// What dns_file_load makes of a file so read: 0 when it holds lines but no
// record.
int load_result(const CacheReadFacts &facts)
{
    return facts.records == 0 && facts.malformed + facts.too_long > 0 ? 0 : 1;
}

// Order, keys and names of every stored entry.
void check_table(const char *when)
{
    uint32_t previous = 0;
    for (int list = 0; list < HOST_LIST_COUNT; ++list) {
        for (const HostEntry *e = host_table()->lists[list]; e != nullptr; e = e->next) {
            const uint32_t key = address_key_of(e->address);
            FUZZ_CHECK(e->address[0] == list && e->address_key == key, "%s: key %08x of %u.%u.%u.%u in list %d", when,
                       e->address_key, e->address[0], e->address[1], e->address[2], e->address[3], list);
            FUZZ_CHECK(key >= previous, "%s: %08x after %08x", when, key, previous);
            previous = key;
            const size_t length = strnlen(e->name, HOST_NAME_SIZE);
            FUZZ_CHECK(length < HOST_NAME_SIZE, "%s: name of %08x not terminated", when, key);
            const char *name = entry_name(*e);
            FUZZ_CHECK(e->long_name == nullptr || std::strncmp(e->long_name, e->name, HOST_NAME_SIZE - 1) == 0,
                       "%s: long name of %08x does not start with its name field", when, key);
            for (size_t i = 0; name[i] != '\0'; ++i)
                FUZZ_CHECK(static_cast<unsigned char>(name[i]) > 32, "%s: name of %08x holds byte %u", when, key,
                           static_cast<unsigned char>(name[i]));
        }
    }
}

// Whether /S (in flags) leaves the entry named name out of the file: "*"
// and names shorter than two bytes.
bool strip_leaves_out(uint32_t flags, const char *name)
{
    return (flags & STRIP_UNRESOLVED) != 0 && (std::strcmp(name, "*") == 0 || std::strlen(name) < 2);
}

// The line end a save of the file gives every line: CR LF when its first
// LF follows a CR, LF when it does not, and the system's own (LF) when it
// has none.
const char *line_end_of(const uint8_t *data, size_t size)
{
    const void *feed = std::memchr(data, '\n', size);
    if (feed == nullptr)
        return "\n";
    const size_t at = static_cast<size_t>(static_cast<const uint8_t *>(feed) - data);
    return at > 0 && data[at - 1] == '\r' ? "\r\n" : "\n";
}

// The line end of the input being run.
std::string g_line_end = "\n";

// The table in the file's documented line format "%u %d.%d.%d.%d %s" and
// the line end, written independently of the product's formatter.
std::string format_table(uint32_t flags)
{
    std::string text;
    char line[32];
    for (const HostEntry *head : host_table()->lists) {
        for (const HostEntry *e = head; e != nullptr; e = e->next) {
            if (strip_leaves_out(flags, e->name))
                continue;
            const int n = std::snprintf(line, sizeof line, "%u %d.%d.%d.%d ", e->time_stamp, e->address[0],
                                        e->address[1], e->address[2], e->address[3]);
            text.append(line, static_cast<size_t>(n));
            text += entry_name(*e) + g_line_end;
        }
    }
    // IPv6 entries after the IPv4 ones, in their order.
    for (const Host6Entry *e = host_table()->ipv6_first; e != nullptr; e = e->next) {
        if (strip_leaves_out(flags, e->name))
            continue;
        text += std::to_string(e->time_stamp) + " " + e->text + " " + entry_name(*e) + g_line_end;
    }
    // Lines that are no entries, as read, after the entries.
    for (const KeptLine *k = host_table()->kept_first; k != nullptr; k = k->next) {
        if (k->name_offset >= 0 && strip_leaves_out(flags, k->text + k->name_offset))
            continue;
        text.append(k->text, static_cast<size_t>(k->length));
        text.append(g_line_end);
    }
    return text;
}

// A private directory for the sampled real saves, removed at exit.
class SaveDir
{
  public:
    SaveDir()
    {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/tarn-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            fuzz_fail("mkdtemp failed");
        dir_ = pattern;
        file_ = dir_ + "/dns.txt";
    }
    ~SaveDir()
    {
        std::remove(file_.c_str());
        rmdir(dir_.c_str());
    }
    const char *file() const { return file_.c_str(); }

  private:
    std::string dir_;
    std::string file_;
};

std::string read_whole(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The address field of each line.
std::vector<std::string> line_addresses(const std::string &file, std::vector<std::string> &lines)
{
    std::vector<std::string> addresses;
    for (size_t start = 0; start < file.size();) {
        const size_t end = file.find(g_line_end, start);
        lines.push_back(file.substr(start, end - start));
        const size_t blank = lines.back().find(' ');
        addresses.push_back(lines.back().substr(blank + 1, lines.back().find(' ', blank + 1) - blank - 1));
        start = end + g_line_end.size();
    }
    return addresses;
}

// Whether second is first less some lines whose address the next line
// repeats: the loader's duplicate check letting the later of two adjacent
// twins, which the previous load kept, take the place of the earlier.
bool only_twins_dropped(const std::string &first, const std::string &second)
{
    std::vector<std::string> first_lines;
    std::vector<std::string> second_lines;
    const std::vector<std::string> addresses = line_addresses(first, first_lines);
    line_addresses(second, second_lines);
    // Matched from the end, so that of identical twins the later is kept.
    size_t kept = 0;
    for (size_t i = first_lines.size(); i-- > 0;) {
        if (kept < second_lines.size() && first_lines[i] == second_lines[second_lines.size() - 1 - kept])
            ++kept;
        else if (i + 1 == first_lines.size() || addresses[i] != addresses[i + 1])
            return false;
    }
    return kept == second_lines.size();
}

uint32_t input_hash(const uint8_t *data, size_t size)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    if (host_table() == nullptr)
        host_table_create();
    const MemoryCounters start = memory_counters();

    const CacheReadFacts facts = load(data, size, true);
    check_table("loaded");
    // A refused file tells no line end (and is never saved over).
    g_line_end = load_result(facts) == 1 ? line_end_of(data, size) : "\n";
    const std::string first = format_table(0);

    host_table_clear();
    load(data, size, false);
    FUZZ_CHECK(format_table(0) == first, "the index gave another table than plain inserts");

    if (input_hash(data, size) % SAVE_EVERY == 0) {
        // Through the real loader and writer: the loader must build the
        // table loaded above, the writer's bytes must be the documented
        // format, with and without /S.
        static SaveDir dir;
        std::ofstream(dir.file(), std::ios::binary)
            .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        host_table_clear();
        FUZZ_CHECK(dns_file_load(dir.file()) == load_result(facts), "dns_file_load refused what it should not, or not");
        FUZZ_CHECK(format_table(0) == first, "dns_file_load gave another table than the loader here");
        const std::string stripped = format_table(STRIP_UNRESOLVED);
        FUZZ_CHECK(dns_file_save(dir.file(), STRIP_UNRESOLVED) == 1, "dns_file_save /S failed");
        FUZZ_CHECK(read_whole(dir.file()) == stripped, "dns_file_save /S wrote other bytes than the line format");
        FUZZ_CHECK(dns_file_save(dir.file(), 0) == 1, "dns_file_save failed");
        FUZZ_CHECK(read_whole(dir.file()) == first, "dns_file_save wrote other bytes than the line format");
        host_table_clear();
        FUZZ_CHECK(dns_file_load(dir.file()) == load_result(facts), "dns_file_load of a saved file differed");
    } else {
        host_table_clear();
        const CacheReadFacts again = load(first.data(), first.size(), true);
        FUZZ_CHECK(again.malformed == facts.malformed && again.too_long == 0,
                   "%lld malformed lines saved came back as %lld, and %lld too long",
                   static_cast<long long>(facts.malformed), static_cast<long long>(again.malformed),
                   static_cast<long long>(again.too_long));
    }
    check_table("reloaded");
    const std::string second = format_table(0);
    // A saved file may hold a repeated address (the loader keeps a repeat
    // that follows the first entry of its list); loading it again drops the
    // repeats the duplicate check catches. That is the loader's intended
    // de-duplication; anything else that changes is a fault.
    if (second != first && !only_twins_dropped(first, second)) {
        std::fprintf(stderr, "--- saved\n%s--- saved again after loading it\n%s---\n", first.c_str(), second.c_str());
        fuzz_fail("save, load, save does not give the same file (%zu then %zu bytes)", first.size(), second.size());
    }

    host_table_clear();
    fuzz_check_released(start, "clearing");
    return 0;
}
