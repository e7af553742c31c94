// The harvest of client addresses from server logs into the table: the
// logs a name, pattern or list stands for, standard input, and the set of
// clients one harvest has met, so that each is stored once.
#include "lookup_harvest.h"
#include "basalt-core.h"
#include "basalt-file.h"
#include "basalt-keytable.h"
#include "basalt-str.h"
#include "lookup_dates.h"
#include "lookup_dnsfile.h"
#include "lookup_format.h"
#include "lookup_lines.h"
#include "lookup_pool.h"
#include "lookup_scan.h"
#include "lookup_table.h"
#include "platform.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

// The addresses one harvest has already handed to the table are kept in a
// key set. A log names the same clients over and over, and each list of
// the table is a sorted singly linked list: every repeat that the insert
// hint does not catch walks a list of hundreds of entries. The set answers
// a repeat at once. It holds each distinct address once, so its memory
// follows the number of clients, not the length of the log, and it is
// released with the harvest.
// Most distinct addresses the set of one harvest holds before they are
// stored (its slots then take 4 bytes x 2^25 = 128 MiB at the most).
constexpr uint32_t MAX_SEEN = 1u << 24;

} // namespace

namespace
{

// A new IPv6 client as an entry never looked up, unless the table has it.
void store_ipv6(const ClientAddress &client)
{
    Host6Entry *entry = tracked_new<Host6Entry>(SITE_FILE, __LINE__);
    checked_copy(entry->text, client.text);
    std::memcpy(entry->address, client.address6, 16);
    checked_copy(entry->name, UNRESOLVED_MARKER);
    entry->from_log = 1;
    entry->in_log = 1;
    Host6Entry *previous = nullptr;
    if (host_table_insert6(entry, INSERT_UNIQUE, &previous) == 0)
        tracked_delete(&entry, SITE_FILE, __LINE__);
}

// Kinds of host text, as the cache keys them.
enum HostKind { HOST_IPV4, HOST_IPV6, HOST_OTHER, HOST_UNUSABLE };

// The longest host text that is neither kind of address and still goes
// into the cache: its line (stamp, text, "*") must fit the longest line
// Analog reads.
constexpr size_t OTHER_HOST_LIMIT = LONGEST_CACHE_LINE - 13;

// What a host text of a log line is: a dotted quad as the cache keys it,
// an IPv6 text (with a zone after '%' too), or another text that
// Analog caches as it stands. A text with a blank or control byte in it
// would break the cache line, and is unusable.
int host_kind(const char *text, size_t length, ClientAddress &client)
{
    if (length < IPV6_TEXT_SIZE) {
        char copy[IPV6_TEXT_SIZE];
        std::memcpy(copy, text, length);
        copy[length] = '\0';
        if (canonical_dotted_quad(copy, client.address) == 1) {
            client.is_ipv6 = 0;
            return HOST_IPV4;
        }
        if (ipv6_client_text(copy, length, client.address6) == 1) {
            client.is_ipv6 = 1;
            std::memcpy(client.text, copy, length + 1);
            return HOST_IPV6;
        }
    }
    if (length > OTHER_HOST_LIMIT)
        return HOST_UNUSABLE;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 32 || c >= 127)
            return HOST_UNUSABLE;
    }
    return HOST_OTHER;
}

// The clients of one log on their way into the table. IPv4 addresses are
// gathered first and stored in ascending order when the set is full and
// at the end: each insert then starts where the last one ended, so the
// whole harvest walks every list once instead of once per new address.
// IPv6 clients and other host texts are few next to IPv4 ones: each new
// text goes into the table at once, its repeats are caught by a set of the
// texts seen.
class NewClients
{
  public:
    NewClients() : entry_(tracked_new<HostEntry>(SITE_FILE, __LINE__)) {}
    ~NewClients() { tracked_delete(&entry_, SITE_FILE, __LINE__); }
    NewClients(const NewClients &) = delete;
    NewClients &operator=(const NewClients &) = delete;

    // Whether this harvest has met the client before.
    bool seen(const ClientAddress &client) const
    {
        if (client.is_ipv6 == 1)
            return seen_texts_.find(std::string_view(client.text)) != seen_texts_.end();
        return seen_.contains(address_key_of(client.address));
    }
    bool seen_text(const char *text, size_t length) const
    {
        return seen_texts_.find(std::string_view(text, length)) != seen_texts_.end();
    }

    // Adds a client; true when this harvest had not met it.
    bool add(const ClientAddress &client)
    {
        if (client.is_ipv6 == 1) {
            if (!seen_texts_.emplace(client.text).second)
                return false;
            store_ipv6(client);
            note_first_sight();
            return true;
        }
        const bool fresh = !seen_.check_and_add(address_key_of(client.address));
        if (fresh)
            note_first_sight();
        // Stored and started again when full, so memory stays bounded
        // whatever the log holds.
        if (seen_.size() >= MAX_SEEN)
            store_seen();
        return fresh;
    }

    // A host text that is no address: cached as Analog caches it, "*"
    // with the run's time, and never looked up, unless the cache has it.
    void add_other(const char *text, size_t length)
    {
        if (!seen_texts_.emplace(text, length).second)
            return;
        if (kept_keys_.empty())
            gather_kept_keys();
        auto [same, end] = kept_keys_.equal_range(std::string_view(text, length));
        if (same != end) {
            for (; same != end; ++same) {
                if (same->second != nullptr)
                    same->second->in_log = 1;
            }
            return;
        }
        char line[LONGEST_CACHE_LINE + 1];
        const int n = std::snprintf(line, sizeof line, "%u %.*s ", minute_stamp_now(), static_cast<int>(length), text);
        if (n <= 0 || static_cast<size_t>(n) + 1 >= sizeof line)
            return;
        line[n] = UNRESOLVED_MARKER[0];
        host_table_keep_line(line, n + 1, n);
        host_table()->kept_last->in_log = 1;
    }

    // Clients seen for the first time in this harvest are likely new to
    // the table too, so the pool can start making workers ready for them
    // while the harvest reads on. Told every so often, not at each one.
    void note_first_sight()
    {
        if (++first_seen_ % NOTE_EVERY == 0)
            pool_note_lookups(first_seen_);
    }

    void store_seen()
    {
        HostEntry *hint = nullptr;
        seen_.drain_ascending([&](uint32_t key) {
            for (int i = 0; i < 4; ++i)
                entry_->address[i] = static_cast<uint8_t>(key >> (24 - 8 * i));
            entry_->time_stamp = 0;
            checked_copy(entry_->name, UNRESOLVED_MARKER);
            entry_->from_log = 1;
            entry_->in_log = 1;
            if (host_table_insert(entry_, INSERT_UNIQUE, &hint) == 1)
                entry_ = tracked_new<HostEntry>(SITE_FILE, __LINE__);
        });
    }

  private:
    // The keys of the cache's kept lines, so that a text the cache holds
    // already is not added again and its lines are marked as in a log. A
    // placeholder (a key no host text has) keeps the set from being
    // gathered twice.
    void gather_kept_keys()
    {
        kept_keys_.emplace("", nullptr);
        for (KeptLine *kept = host_table()->kept_first; kept != nullptr; kept = kept->next) {
            if (kept->name_offset <= 0)
                continue;
            const char *blank =
                static_cast<const char *>(std::memchr(kept->text, ' ', static_cast<size_t>(kept->length)));
            if (blank != nullptr && blank < kept->text + kept->name_offset - 1)
                kept_keys_.emplace(
                    Text(blank + 1, static_cast<size_t>(kept->text + kept->name_offset - 1 - (blank + 1))), kept);
        }
    }

    KeyTable seen_;
    // The texts met (IPv6 and others), their nodes and their text in
    // tracked memory.
    using Text = std::basic_string<char, std::char_traits<char>, TrackedAllocator<char>>;
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    using TextSet = std::unordered_set<Text, TextHash, std::equal_to<>, TrackedAllocator<Text>>;
    TextSet seen_texts_;
    std::unordered_multimap<Text, KeptLine *, TextHash, std::equal_to<>,
                            TrackedAllocator<std::pair<const Text, KeptLine *>>>
        kept_keys_;
    HostEntry *entry_; // the next entry to store, made ahead
    static constexpr int64_t NOTE_EVERY = 64;
    int64_t first_seen_ = 0;
};

// The most new addresses one line of a log read as text adds: no line
// can flood the run, whatever a client writes into it.
constexpr int TEXT_LINE_ADDRESSES = 4;

// One log's lines into the clients: the host field of each line that fits
// the log's format, or, for a log of no known format, the addresses of its
// text.
class LineHarvest
{
  public:
    LineHarvest(NewClients &clients, const LogRules &rules, const char *shown_name)
        : clients_(clients), tracker_(rules.format), rules_(rules), shown_name_(shown_name)
    {
    }

    void take(const LogLine &line)
    {
        LineHost host{};
        // A line too long to be read whole fits no format; read as text, its
        // first bytes may still name clients.
        const int status = !line.cut                                   ? tracker_.read(line.text, line.length, &host)
                           : tracker_.decided() && !tracker_.is_text() ? LINE_CORRUPT
                                                                       : LINE_TEXT;
        if (status == LINE_TEXT) {
            text_lines_ = true;
            take_text(line);
        } else if (status == LINE_HOST) {
            take_host(line, host);
        }
    }

    // Said once the log is read, before its timed line, when it was read as
    // text: a log too short to show its format was too. A log that could
    // not be read says that instead.
    void finish(bool failed) const
    {
        if (text_lines_ && !failed && (tracker_.is_text() || !tracker_.decided()))
            out_print("Log format of '%s' not recognised: read as text, at most %d new addresses a line\n", shown_name_,
                      TEXT_LINE_ADDRESSES);
    }

  private:
    // Analog looks up a host only when its text ends in a digit.
    void take_host(const LogLine &line, LineHost host)
    {
        const char *text = line.text + host.start;
        if (host.length == 0 || text[host.length - 1] < '0' || text[host.length - 1] > '9')
            return;
        ClientAddress client;
        const int kind = host_kind(text, host.length, client);
        const bool repeat =
            kind == HOST_OTHER ? clients_.seen_text(text, host.length) : kind != HOST_UNUSABLE && clients_.seen(client);
        // A repeat was read whole when it was first met; a new host counts
        // only from a line that fits. With dates to keep to, every line is
        // read whole for its date.
        if (rules_.dated) {
            LineDate date{};
            if (tracker_.confirm(line.text, line.length, &host, &date) != LINE_HOST || !in_dates(date))
                return;
        } else if (!repeat && !tracker_.confirmed() && tracker_.confirm(line.text, line.length, &host) != LINE_HOST) {
            return;
        }
        if (kind == HOST_UNUSABLE)
            return;
        ++log_address_count;
        if (kind == HOST_OTHER)
            clients_.add_other(text, host.length);
        else
            clients_.add(client);
    }

    // Whether the line's date is within the run's dates; a line whose
    // format gives no whole date counts.
    bool in_dates(const LineDate &date) const
    {
        long long minutes = 0;
        return line_date_minutes(date, &minutes) == 0 || (minutes >= rules_.from && minutes <= rules_.to);
    }

    void take_text(const LogLine &line)
    {
        reader_.open_memory(line.text, line.length);
        ClientAddress client;
        int fresh = 0;
        while (fresh < TEXT_LINE_ADDRESSES && log_next_client(reader_, client) == 1) {
            ++log_address_count;
            if (clients_.add(client))
                ++fresh;
        }
    }

    NewClients &clients_;
    LogFormatTracker tracker_;
    const LogRules &rules_;
    const char *shown_name_;
    ByteReader reader_;
    bool text_lines_ = false;
};

} // namespace

namespace
{

// A log reached through another user's link is passed over, as one that
// is not there: whoever planted it chose what root would read. Any other
// failure fails the run, unless the run passes over the logs it cannot
// read (an Analog configuration names logs that come and go).
int log_not_opened(const char *shown_name, const FileProblem &problem, LogFaults faults)
{
    if (problem.refusal != FILE_UNTRUSTED_LINK && faults == LOG_FAULTS_STOP) {
        out_open_failure("log file", shown_name, problem);
        return LOG_NOT_READ;
    }
    char reason[PLATFORM_NAME_MAX + 256];
    platform_describe_problem(problem, reason, sizeof reason);
    if (problem.refusal == FILE_UNTRUSTED_LINK)
        out_print("Warning: log file '%s' passed over: %s\n", shown_name, reason);
    else
        out_print("Warning: log file '%s' passed over: it cannot be opened (%s)\n", shown_name, reason);
    return LOG_PASSED_OVER;
}

} // namespace

int log_file_harvest(const char *file_name, const char *shown_name, LogFaults faults, const LogRules *rules)
{
    CHECK_POINTER(SITE_FILE, file_name);
    if (shown_name == nullptr)
        shown_name = file_name;
    ByteReader reader;
    if (reader.open_log(file_name) == 0)
        return log_not_opened(shown_name, reader.problem(), faults);
    FileIdentity identity;
    if (reader.identity(&identity) == 1 && is_run_output(identity) == 1)
        return LOG_IS_OUTPUT;
    return log_reader_harvest(reader, shown_name, faults, rules);
}

int log_reader_harvest(ByteReader &reader, const char *shown_name, LogFaults faults, const LogRules *rules)
{
    CHECK_POINTER(SITE_FILE, shown_name);
    NewClients clients;
    {
        const LogRules plain;
        LineHarvest harvest(clients, rules != nullptr ? *rules : plain, shown_name);
        LogLines lines(reader);
        LogLine line{};
        while (lines.next(line) == 1)
            harvest.take(line);
        harvest.finish(reader.failed() == 1);
    }
    clients.store_seen();
    if (reader.failed() == 1 && faults == LOG_FAULTS_PASS_OVER) {
        // What was read counts: a cut-short gzip log still names the
        // clients of its first part, as Analog reads them.
        const char *reason = reader.failure_reason();
        out_print("Warning: log file '%s' was read only in part%s%s: the run goes on with what was read\n", shown_name,
                  *reason != '\0' ? ": " : "", reason);
        return LOG_PASSED_OVER;
    }
    if (reader.failed() == 1) {
        report_unreadable_log(reader, shown_name);
        return LOG_NOT_READ;
    }
    return LOG_READ;
}

void report_unreadable_log(const ByteReader &reader, const char *shown_name)
{
    const char *reason = reader.failure_reason();
    out_print("Unable to read log file '%s'%s%s\n", shown_name, *reason != '\0' ? ": " : "", reason);
}

namespace
{

// Runs a harvest and prints its timed line when it read the log; what the
// harvest said.
template <class Harvest> int timed_harvest(Harvest harvest)
{
    const int32_t entries_before = entry_count;
    const int32_t addresses_before = log_address_count;
    const double start = elapsed_seconds();
    const int result = harvest();
    if (result != LOG_READ)
        return result;
    out_note("%6d [%10.4f secs] Log Entries loaded... (%d)\n", entry_count - entries_before, elapsed_seconds() - start,
             log_address_count - addresses_before);
    return LOG_READ;
}

// Harvests one log with its timed line; shown_name names it in messages.
int harvest_one_log(const char *path, const char *shown_name, LogFaults faults = LOG_FAULTS_STOP,
                    const LogRules *rules = nullptr)
{
    return timed_harvest([&] { return log_file_harvest(path, shown_name, faults, rules); });
}

// Copies standard input (after the head bytes already taken from it) to
// the list's temporary file.
int copy_standard_input(LogList &logs, const unsigned char *head, size_t length)
{
    logs.input_copy = std::make_unique<StandardInputCopy>();
    switch (logs.input_copy->copy(head, length)) {
    case StandardInputCopy::COPIED: return 1;
    case StandardInputCopy::READ_FAILED: out_print("Unable to read log file '%s'\n", STANDARD_STREAM_NAME); break;
    case StandardInputCopy::WRITE_FAILED:
        out_print("Unable to copy standard input to '%s'\n", logs.input_copy->path());
        break;
    }
    return 0;
}

// Standard input read once, as it comes, when it is plain; a compressed
// one is copied, since its reader starts from a file.
int harvest_standard_input_once(LogList &logs, bool *copied)
{
    unsigned char head[16];
    const long got = platform_read_standard_input(head, sizeof head);
    if (got < 0) {
        out_print("Unable to read log file '%s'\n", STANDARD_STREAM_NAME);
        return 0;
    }
    *copied = !ByteReader::plain_head(head, static_cast<size_t>(got));
    if (*copied)
        return copy_standard_input(logs, head, static_cast<size_t>(got));
    ByteReader reader;
    reader.open_standard_input(head, static_cast<size_t>(got));
    return timed_harvest([&] { return log_reader_harvest(reader, STANDARD_STREAM_NAME); }) == LOG_READ ? 1 : 0;
}

// Standard input can be read only once, and a run that writes its logs out
// reads them twice: it is copied to a temporary file, once, and read there.
int harvest_standard_input(LogList &logs)
{
    bool copied = true;
    if (!logs.read_twice && !logs.input_copy) {
        if (harvest_standard_input_once(logs, &copied) == 0)
            return 0;
        if (!copied)
            return 1;
    }
    if (!logs.input_copy && copy_standard_input(logs, nullptr, 0) == 0)
        return 0;
    if (harvest_one_log(logs.input_copy->path(), STANDARD_STREAM_NAME) != LOG_READ)
        return 0;
    logs.paths.emplace_back(logs.input_copy->path());
    return 1;
}

// A pattern that matches the run's own output passes it over (the output
// of last night's run lies beside the logs it was made from); a log named
// as the output is refused, since writing it would lose the log.
int refuse_output_as_log(const char *pattern, const char *path)
{
    if (std::strpbrk(pattern, "*?[") != nullptr)
        return 1;
    out_print("Log file '%s' is the output file: a log is never written over\n", path);
    return 0;
}

} // namespace

int harvest_log_pattern(const char *pattern, LogList *logs, LogFaults faults, const LogRules *rules)
{
    CHECK_POINTER(SITE_FILE, pattern);
    DirectoryListing listing;
    if (listing.open(pattern) == 0) {
        if (faults == LOG_FAULTS_PASS_OVER) {
            out_print("Warning: no log file matches '%s': passed over\n", pattern);
            return PATTERN_MATCHED_NOTHING;
        }
        out_print("No log file matches '%s'\n", pattern);
        return 0;
    }
    while (const char *path = listing.next()) {
        if (checked_length(path) >= PATH_TEXT_SIZE) {
            // The run's paths have one limit; a cut path would read another file.
            out_print("Log file path too long (more than %d characters): '%s'\n", PATH_TEXT_SIZE - 1, path);
            return 0;
        }
        const int harvest = harvest_one_log(path, nullptr, faults, rules);
        if (harvest == LOG_NOT_READ || (harvest == LOG_IS_OUTPUT && refuse_output_as_log(pattern, path) == 0))
            return 0;
        if (harvest == LOG_READ && logs != nullptr)
            logs->paths.emplace_back(path);
    }
    return 1;
}

int directory_prefix(const char *path, char (&prefix)[PATH_TEXT_SIZE])
{
    if (checked_copy(prefix, path) == 0)
        return 0;
    prefix[platform_name_start(prefix, std::strlen(prefix))] = '\0';
    return 1;
}

int directory_path(const char *directory, const char *value, size_t length, char (&path)[PATH_TEXT_SIZE])
{
    path[0] = '\0';
    const bool absolute = platform_is_absolute_path(value) == 1;
    const size_t prefix = absolute ? 0 : std::strlen(directory);
    if (prefix + length >= PATH_TEXT_SIZE) {
        // A cut path would name another file.
        out_print("Path too long (more than %d characters): '%s%.*s'\n", PATH_TEXT_SIZE - 1, absolute ? "" : directory,
                  static_cast<int>(length), value);
        return 0;
    }
    std::memcpy(path, directory, prefix);
    std::memcpy(path + prefix, value, length);
    path[prefix + length] = '\0';
    return 1;
}

int harvest_log_list(const char *list, const char *directory, LogList *logs)
{
    CHECK_POINTER(SITE_FILE, list);
    CHECK_POINTER(SITE_FILE, directory);
    for (const char *item = list;;) {
        const char *comma = std::strchr(item, ',');
        const size_t length = comma != nullptr ? static_cast<size_t>(comma - item) : std::strlen(item);
        char pattern[PATH_TEXT_SIZE];
        if (logs != nullptr && length == 1 && item[0] == STANDARD_STREAM_NAME[0]) {
            if (harvest_standard_input(*logs) == 0)
                return 0;
        } else if (length > 0 &&
                   (directory_path(directory, item, length, pattern) == 0 || harvest_log_pattern(pattern, logs) == 0)) {
            // An empty item ("a.log,,b.log", a trailing comma) names no file.
            return 0;
        }
        if (comma == nullptr)
            return 1;
        item = comma + 1;
    }
}

namespace
{

FileIdentity g_output;
bool g_output_exists = false;

} // namespace

void run_set_output(const char *output_file)
{
    g_output_exists = output_file != nullptr && std::strcmp(output_file, STANDARD_STREAM_NAME) != 0 &&
                      platform_path_identity(output_file, &g_output) == 1;
}

int is_run_output(const FileIdentity &identity)
{
    return g_output_exists && same_file(identity, g_output) ? 1 : 0;
}

LogList::LogList() = default;
LogList::~LogList() = default;
