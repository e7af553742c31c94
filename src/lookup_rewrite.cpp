// The logs written out again with host names in place of the client
// addresses at the start of their lines, the job other log resolvers do.
//
// The logs are read a second time, after the lookups, and streamed: a line
// is never held whole, so memory does not grow with the log or its lines.
#include "lookup_rewrite.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-keytable.h"
#include "lookup_dnsfile.h"
#include "lookup_format.h"
#include "lookup_harvest.h"
#include "lookup_lines.h"
#include "lookup_table.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

// A first field longer than the longest address text is no address.
constexpr size_t FIELD_LIMIT = IPV6_TEXT_SIZE - 1;
// The output is handed on in blocks of this size.
constexpr size_t OUTPUT_BUFFER_SIZE = 256 * 1024;

// "*" (nothing found) and "*UNK*" (still pending) are no names.
bool is_name(const char *name)
{
    return name[0] != '\0' && name[0] != '*';
}

// The table's names by the text a log's first field has: a dotted quad as
// the cache keys it, or an IPv6 text exactly as a log wrote it.
class NameFinder
{
  public:
    NameFinder()
    {
        // Where a cache holds an address twice the later line counts, as
        // it does when the cache is loaded.
        const HostTable *table = host_table();
        for (const HostEntry *list : table->lists) {
            for (const HostEntry *entry = list; entry != nullptr; entry = entry->next)
                ipv4_.put(entry->address_key, entry_name(*entry));
        }
        for (const Host6Entry *entry = table->ipv6_first; entry != nullptr; entry = entry->next)
            ipv6_[std::string_view(entry->text)] = entry_name(*entry);
    }

    // The name for the field (length bytes, terminated), or null.
    const char *find(const char *field, size_t length) const
    {
        if (length == 0 || std::memchr(field, '\0', length) != nullptr)
            return nullptr;
        const char *name = nullptr;
        uint8_t address[4];
        if (canonical_dotted_quad(field, address) == 1) {
            name = static_cast<const char *>(ipv4_.get(address_key_of(address)));
        } else if (std::memchr(field, ':', length) != nullptr) {
            auto found = ipv6_.find(std::string_view(field, length));
            name = found != ipv6_.end() ? found->second : nullptr;
        }
        return name != nullptr && is_name(name) ? name : nullptr;
    }

  private:
    // A log looks a name up for every line: one probe of a flat array
    // costs less than the cache misses of a node-based map. Its keys are
    // the cache's, which any client can steer (an address in a user agent
    // is harvested like any other), hence a hash that spreads addresses
    // differing in a byte or two as well as random ones.
    KeyTable ipv4_{KEY_MAP};
    std::unordered_map<std::string_view, const char *, std::hash<std::string_view>, std::equal_to<>,
                       TrackedAllocator<std::pair<const std::string_view, const char *>>>
        ipv6_;
};

// Where the resolved log goes: a file replaced only once it is complete,
// or standard output.
class LogOutput
{
  public:
    explicit LogOutput(const char *path)
        : path_(path), to_standard_output_(std::strcmp(path, STANDARD_STREAM_NAME) == 0),
          buffer_(std::make_unique<char[]>(OUTPUT_BUFFER_SIZE))
    {
    }

    // attributes_from: the log whose mode (and for root, owner and group)
    // the output takes, so that it is no more readable than its logs; ""
    // for a trial before the logs are known.
    int open(const char *attributes_from) { return to_standard_output_ ? 1 : writer_.open(path_, attributes_from); }
    const FileProblem &problem() const { return writer_.problem(); }

    void put(const void *data, size_t length)
    {
        if (length >= OUTPUT_BUFFER_SIZE - used_) {
            flush();
            if (length >= OUTPUT_BUFFER_SIZE) {
                hand_on(data, length);
                return;
            }
        }
        std::memcpy(buffer_.get() + used_, data, length);
        used_ += length;
    }

    // 1 when every byte has reached its place (for a file: the file is
    // complete and renamed over the target).
    int finish()
    {
        flush();
        if (to_standard_output_)
            return ok_ && std::fflush(stdout) == 0 ? 1 : 0;
        // A resolved log is made again from the logs at will; syncing a
        // gigabyte would cost more than writing it.
        return ok_ ? writer_.commit(SafeFileWriter::SAVE_UNSYNCED) : 0;
    }

  private:
    void flush()
    {
        hand_on(buffer_.get(), used_);
        used_ = 0;
    }

    void hand_on(const void *data, size_t length)
    {
        if (length == 0 || !ok_)
            return;
        if (to_standard_output_)
            ok_ = std::fwrite(data, 1, length, stdout) == length;
        else
            ok_ = writer_.write(data, length) == 1;
    }

    const char *path_;
    bool to_standard_output_;
    bool ok_ = true;
    SafeFileWriter writer_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};

// Copies one log to the output line by line, with a name in place of the
// client field: the host field of the log's format, or, for a log of no
// known format, the first field (the bytes before the first blank).
class LogRewriter
{
  public:
    LogRewriter(const NameFinder &names, LogOutput &output) : names_(names), output_(output) {}

    // 1 when the log was read to its end; the counts go on adding up.
    int copy(ByteReader &reader)
    {
        LogFormatTracker tracker(nullptr);
        LogLines source(reader);
        LogLine line{};
        line_open_ = false;
        while (source.next(line) == 1) {
            ++this->lines;
            copy_line(tracker, line);
            const char *piece = nullptr;
            size_t length = 0;
            while (line.cut && source.rest(&piece, &length) == 1) {
                output_.put(piece, length);
                line_open_ = piece[length - 1] != '\n';
            }
            if (!line.cut)
                line_open_ = line.end_bytes[0] == '\0';
        }
        return reader.failed() == 1 ? 0 : 1;
    }

    // Whether the last log ended inside a line (no line feed after it).
    bool line_open() const { return line_open_; }

    int64_t lines = 0;
    int64_t named = 0;

  private:
    void copy_line(LogFormatTracker &tracker, const LogLine &line)
    {
        LineHost host{0, 0};
        const int status = tracker.read(line.text, line.length, &host);
        if (status == LINE_TEXT) {
            const void *blank = std::memchr(line.text, ' ', line.length);
            host.length =
                blank != nullptr ? static_cast<size_t>(static_cast<const char *>(blank) - line.text) : line.length;
        } else if (status != LINE_HOST) {
            host.length = 0;
        }
        const char *name = name_of(line.text + host.start, host.length);
        if (name == nullptr) {
            output_.put(line.text, line.length);
        } else {
            output_.put(line.text, host.start);
            output_.put(name, std::strlen(name));
            output_.put(line.text + host.start + host.length, line.length - host.start - host.length);
            ++named;
        }
        output_.put(line.end_bytes, std::strlen(line.end_bytes));
    }

    const char *name_of(const char *field, size_t length) const
    {
        if (length == 0 || length > FIELD_LIMIT)
            return nullptr;
        char text[FIELD_LIMIT + 1];
        std::memcpy(text, field, length);
        text[length] = '\0';
        return names_.find(text, length);
    }

    const NameFinder &names_;
    LogOutput &output_;
    bool line_open_ = false;
};

} // namespace

int resolved_log_can_be_written(const char *output_file)
{
    CHECK_POINTER(SITE_FILE, output_file);
    LogOutput output(output_file);
    if (output.open("") == 1)
        return 1; // the trial file goes with output
    out_open_failure("output file", output_file, output.problem());
    return 0;
}

int write_resolved_logs(const LogList &logs, const char *output_file, int64_t *lines, int64_t *named)
{
    CHECK_POINTER(SITE_FILE, output_file);
    CHECK_POINTER(SITE_FILE, lines);
    CHECK_POINTER(SITE_FILE, named);
    LogOutput output(output_file);
    const bool from_input = logs.paths.empty() || (logs.input_copy && logs.paths[0] == logs.input_copy->path());
    if (output.open(from_input ? "" : logs.paths[0].c_str()) == 0) {
        out_open_failure("output file", output_file, output.problem());
        return 0;
    }
    const NameFinder names;
    LogRewriter rewriter(names, output);
    for (const std::string &path : logs.paths) {
        const char *shown = logs.input_copy && path == logs.input_copy->path() ? STANDARD_STREAM_NAME : path.c_str();
        ByteReader reader;
        if (reader.open_log(path.c_str()) == 0) {
            out_open_failure("log file", shown, reader.problem());
            return 0;
        }
        // Two logs never share a line: one whose last line has no line feed
        // gets one before the next log's first line.
        if (rewriter.line_open())
            output.put("\n", 1);
        if (rewriter.copy(reader) == 0) {
            report_unreadable_log(reader, shown);
            return 0;
        }
    }
    if (output.finish() == 0) {
        out_print("Unable to write output file '%s'\n", output_file);
        return 0;
    }
    *lines = rewriter.lines;
    *named = rewriter.named;
    return 1;
}
