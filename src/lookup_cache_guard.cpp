// Another writer of the cache: what it appended while tarn ran is merged
// into the save, and a cache it replaced or rewrote is left to it.
//
// Analog appends its new lines to the cache it loaded (same file, longer);
// a save renamed over that would lose them. So the save looks at the file
// again before it writes and once more right before the rename. The check
// narrows the window; only the lock closes it, since Analog keeps its
// descriptor open and appends after a rename go to the old file.
#include "lookup_cache_guard.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"

#include <cstring>
#include <string>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;
// The bytes compared at a time when the loaded bytes are checked again.
constexpr size_t CHECK_BLOCK_SIZE = 256 * 1024;

// What the last load read: which file, how many bytes and their CRC-32.
struct LoadedCache {
    std::string path;
    FileIdentity identity;
    uint64_t size = 0;
    uint32_t checksum = 0;
    // The end of what has been merged so far: the loaded bytes and the
    // complete lines added after them.
    uint64_t merged_end = 0;
};
LoadedCache g_loaded;

// Reads the target's first size bytes again: 1 when their CRC-32 is the
// one loaded.
int loaded_bytes_unchanged(std::FILE *file, uint64_t size, uint32_t checksum)
{
    std::string block(CHECK_BLOCK_SIZE, '\0');
    uint32_t crc = 0;
    for (uint64_t left = size; left > 0;) {
        const size_t want = left < CHECK_BLOCK_SIZE ? static_cast<size_t>(left) : CHECK_BLOCK_SIZE;
        if (std::fread(block.data(), 1, want, file) != want)
            return 0;
        crc = checksum_bytes(crc, block.data(), want);
        left -= want;
    }
    return crc == checksum ? 1 : 0;
}

// The complete lines after the skip bytes that follow the file's
// position: the bytes up to the last line feed.
int added_lines(std::FILE *file, uint64_t skip, std::string &lines)
{
    lines.clear();
    char block[64 * 1024];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
        const size_t skipped = skip < got ? static_cast<size_t>(skip) : got;
        skip -= skipped;
        lines.append(block + skipped, got - skipped);
    }
    if (std::ferror(file))
        return 0;
    const size_t last = lines.rfind('\n');
    lines.resize(last == std::string::npos ? 0 : last + 1);
    return 1;
}

int changed(const char **why, const char *text)
{
    *why = text;
    return 0;
}

// Whether the target is still what was loaded and merged, perhaps with
// complete lines added after the merged end (into lines, else empty): 1;
// or 0 with what changed otherwise in *why.
int unchanged_but_appended(const SafeFileWriter &writer, std::string &lines, const char **why)
{
    FileIdentity now;
    lines.clear();
    if (writer.target_identity(&now) == 0)
        return changed(why, "it was removed");
    if (!same_file(now, g_loaded.identity))
        return changed(why, "it was replaced by another file");
    if (now.size < g_loaded.merged_end)
        return changed(why, "it was cut shorter");
    if (now.size == g_loaded.merged_end && now.modified_ns == g_loaded.identity.modified_ns)
        return 1;
    FileHandle file(writer.open_target());
    if (!file || loaded_bytes_unchanged(file.get(), g_loaded.size, g_loaded.checksum) == 0)
        return changed(why, "lines it had were changed");
    if (added_lines(file.get(), g_loaded.merged_end - g_loaded.size, lines) == 0)
        return changed(why, "it could not be read again");
    g_loaded.identity.modified_ns = now.modified_ns;
    return 1;
}

void refuse_save(const char *file_name, const char *why)
{
    out_print("DNS file '%s' was changed by another program during this run (%s): not saved, so that what the other "
              "program wrote is kept\n",
              file_name, why);
}

// The complete lines appended since the last look, into lines: 1, or 0
// after the refusal of a file changed any other way.
int appended_since(const char *file_name, const SafeFileWriter &writer, std::string &lines)
{
    const char *why = "";
    if (unchanged_but_appended(writer, lines, &why) == 1)
        return 1;
    refuse_save(file_name, why);
    return 0;
}

bool is_loaded(const char *file_name)
{
    return !g_loaded.path.empty() && g_loaded.path == file_name;
}

} // namespace

void cache_guard_loaded(const char *file_name, const ByteReader &reader)
{
    CHECK_POINTER(SITE_FILE, file_name);
    g_loaded = LoadedCache{};
    if (reader.identity(&g_loaded.identity) == 0)
        return;
    g_loaded.path = file_name;
    g_loaded.size = reader.bytes_read();
    g_loaded.checksum = reader.checksum();
    g_loaded.merged_end = g_loaded.size;
}

void cache_guard_forget()
{
    g_loaded = LoadedCache{};
}

int cache_guard_merge(const char *file_name, const SafeFileWriter &writer)
{
    if (!is_loaded(file_name))
        return 1;
    std::string lines;
    if (appended_since(file_name, writer, lines) == 0)
        return 0;
    if (!lines.empty()) {
        // Read as later lines of the file: a line for an address the
        // table holds comes after it and wins, as it would in a load.
        ByteReader reader;
        reader.open_memory(lines.data(), lines.size());
        dns_file_read_all(reader, 1, INSERT_LATER_WINS);
        g_loaded.merged_end += lines.size();
        out_note("%6zu Bytes of lines added to the DNS file by another program during the run: merged\n", lines.size());
    }
    return 1;
}

int cache_guard_last_lines(const char *file_name, SafeFileWriter &writer)
{
    if (!is_loaded(file_name))
        return 1;
    std::string lines;
    if (appended_since(file_name, writer, lines) == 0)
        return 0;
    // Lines added while the new file was written go after its own lines as
    // they are: a later line wins when the file is next read.
    if (!lines.empty() && writer.write(lines.data(), lines.size()) == 0)
        return 0;
    g_loaded.merged_end += lines.size();
    return 1;
}
