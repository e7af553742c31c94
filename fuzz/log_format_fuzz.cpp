// The reader of logs by their format, on arbitrary input. LogLines gives a
// log back byte for byte, each line as a plain splitter cuts it, read from
// memory and from a file whose first read buffer ends inside the log.
// LogFormatTracker's hosts lie inside their lines, and reading a line only
// up to its host (format_find_host) agrees with reading it whole
// (format_match) wherever the line fits; the date of a line that fits is
// within its fields' ranges. format_add_logformat and format_add_apache
// keep within the format's limits, and leave the format as it was when
// they refuse a text.
//
// The input: a mode byte, a count byte, that many format texts (each ended
// by a line feed, as a configuration line is), then the log. The count is
// the count byte modulo 16; the mode's bits:
//   1   the texts are Apache LogFormat strings, not LOGFORMAT arguments
//   2   read the log from a file as well, the buffer's edge inside it
//   4   pad the first line to LOG_LINE_LIMIT - 2 .. + 5 bytes (by bits 16,
//       32 and 64), so that lines around the limit need no 64 KiB input
//   8   do not ask cut lines for their rest
// So a seed can be text: "00" and a log is a log whose format is detected.
#include "basalt-file.h"
#include "fuzz_support.h"
#include "lookup_format.h"
#include "lookup_lines.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr unsigned MODE_APACHE = 1;
constexpr unsigned MODE_EDGE = 2;
constexpr unsigned MODE_LONG = 4;
constexpr unsigned MODE_NO_REST = 8;
// The lines given to the tracker, as many as a fuzzed input of 4 KiB can
// have: a megabyte of empty lines under eight formats of 160 items would
// take minutes under the sanitizers. The lines after are still split.
constexpr size_t TRACKED_LINES = 4096;
constexpr size_t NOT_FOUND = std::string_view::npos;

struct Input {
    unsigned mode = 0;
    std::vector<std::string> texts;
    std::string log;
};

// Pads the first line's text to LOG_LINE_LIMIT + delta bytes: inside its
// first quoted field when it has one, so that a line of a known format
// still fits, else before its line end.
void pad_first_line(std::string &log, int delta)
{
    const size_t feed = log.find('\n');
    size_t end = feed == NOT_FOUND ? log.size() : feed;
    if (feed != NOT_FOUND && end > 0 && log[end - 1] == '\r')
        --end;
    const size_t target = static_cast<size_t>(static_cast<long>(LOG_LINE_LIMIT) + delta);
    if (end >= target)
        return;
    const size_t quote = log.find('"');
    log.insert(quote < end ? quote + 1 : end, target - end, 'x');
}

Input parse_input(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    Input input;
    input.mode = size > 0 ? data[0] : 0;
    const size_t count = size > 1 ? data[1] % 16u : 0;
    size_t pos = std::min<size_t>(size, 2);
    for (size_t i = 0; i < count && pos < size; ++i) {
        const size_t feed = bytes.find('\n', pos);
        const size_t end = feed == NOT_FOUND ? size : feed;
        input.texts.emplace_back(bytes.substr(pos, end - pos));
        pos = feed == NOT_FOUND ? size : feed + 1;
    }
    input.log.assign(bytes.substr(pos));
    if ((input.mode & MODE_LONG) != 0)
        pad_first_line(input.log, static_cast<int>((input.mode >> 4) & 7u) - 2);
    return input;
}

// ---- Format texts ----

bool same_format(const LogFormat &a, const LogFormat &b)
{
    if (a.count != b.count || a.header_kind != b.header_kind)
        return false;
    for (int i = 0; i < a.count; ++i) {
        const LineFormat &x = a.lines[i];
        const LineFormat &y = b.lines[i];
        if (x.count != y.count || x.open_end != y.open_end ||
            std::memcmp(x.items, y.items, sizeof(FormatItem) * static_cast<size_t>(x.count)) != 0)
            return false;
    }
    return true;
}

// Within the limits, every line format holding an item, every item a
// literal byte that a configuration line can hold or a code a format
// string may name.
void check_well_formed(const LogFormat &format, const char *kind)
{
    FUZZ_CHECK(format.count >= 0 && format.count <= FORMAT_LINE_LIMIT, "%s: %d line formats", kind, format.count);
    for (int i = 0; i < format.count; ++i) {
        const LineFormat &line = format.lines[i];
        FUZZ_CHECK(line.count >= 1 && line.count <= FORMAT_ITEM_LIMIT, "%s: line format %d has %d items", kind, i,
                   line.count);
        for (int j = 0; j < line.count; ++j) {
            const FormatItem &item = line.items[j];
            const bool fits = item.code == 0 ? item.literal != '\0' && !item.ignored
                                             : std::strchr("SsrqBAfuvdmMyYZhnaUbtTDcCjwW", item.code) != nullptr;
            FUZZ_CHECK(fits, "%s: line format %d item %d is code %d literal %d ignored %d", kind, i, j, item.code,
                       item.literal, item.ignored);
        }
    }
}

void add_texts(const Input &input, LogFormat &format)
{
    const bool apache = (input.mode & MODE_APACHE) != 0;
    const char *kind = apache ? "format_add_apache" : "format_add_logformat";
    for (const std::string &text : input.texts) {
        const LogFormat before = format;
        const int added = apache ? format_add_apache(format, text.c_str()) : format_add_logformat(format, text.c_str());
        FUZZ_CHECK(added == 0 || added == 1, "%s gave %d", kind, added);
        // A text refused is a warning, and the list stays as it was.
        FUZZ_CHECK(added == 1 || same_format(before, format), "%s refused a text of %zu bytes but changed the format",
                   kind, text.size());
        check_well_formed(format, kind);
    }
}

// ---- Lines ----

// The lines as a plain splitter cuts them: at each line feed, a CR before
// it going with it. A line of LOG_LINE_LIMIT bytes or more (a CR counted)
// shows its first LOG_LINE_LIMIT bytes, and the others are its rest.
struct ReferenceLine {
    std::string_view text;
    std::string_view end;
    std::string_view rest;
    bool cut;
};

class ReferenceLines
{
  public:
    explicit ReferenceLines(std::string_view log) : log_(log) {}

    bool next(ReferenceLine &line)
    {
        if (start_ >= log_.size())
            return false;
        const size_t feed = log_.find('\n', start_);
        const size_t end = feed == NOT_FOUND ? log_.size() : feed;
        const size_t after = feed == NOT_FOUND ? end : feed + 1;
        line.cut = end - start_ >= LOG_LINE_LIMIT;
        if (line.cut) {
            line.text = log_.substr(start_, LOG_LINE_LIMIT);
            line.end = "";
            line.rest = log_.substr(start_ + LOG_LINE_LIMIT, after - start_ - LOG_LINE_LIMIT);
        } else {
            line.text = log_.substr(start_, end - start_);
            line.end = feed == NOT_FOUND ? "" : "\n";
            line.rest = {};
            if (feed != NOT_FOUND && !line.text.empty() && line.text.back() == '\r') {
                line.text.remove_suffix(1);
                line.end = "\r\n";
            }
        }
        start_ = after;
        return true;
    }

  private:
    std::string_view log_;
    size_t start_ = 0;
};

void check_line(const LogLine &line, const ReferenceLine &expected, const char *how, size_t number)
{
    FUZZ_CHECK(line.length <= LOG_LINE_LIMIT, "%s: line %zu is %zu bytes long", how, number, line.length);
    FUZZ_CHECK(line.cut == expected.cut, "%s: line %zu (%zu bytes) cut %d, the splitter says %d", how, number,
               line.length, line.cut, expected.cut);
    FUZZ_CHECK(std::string_view(line.text, line.length) == expected.text,
               "%s: line %zu is %zu bytes, not the splitter's %zu (or other bytes)", how, number, line.length,
               expected.text.size());
    FUZZ_CHECK(std::string_view(line.end_bytes) == expected.end, "%s: line %zu ends in %zu bytes, not %zu", how, number,
               std::strlen(line.end_bytes), expected.end.size());
}

void check_rest(LogLines &lines, std::string_view expected, std::string &joined, const char *how, size_t number)
{
    const char *piece = nullptr;
    size_t length = 0;
    size_t got = 0;
    while (lines.rest(&piece, &length) == 1) {
        FUZZ_CHECK(length > 0 && length <= expected.size() - got &&
                       std::memcmp(piece, expected.data() + got, length) == 0,
                   "%s: a piece of %zu bytes of cut line %zu at %zu is not what follows it in the log", how, length,
                   number, got);
        joined.append(piece, length);
        got += length;
    }
    FUZZ_CHECK(got == expected.size(), "%s: the rest of cut line %zu is %zu bytes, the log has %zu", how, number, got,
               expected.size());
    FUZZ_CHECK(lines.rest(&piece, &length) == 0, "%s: more rest after the end of cut line %zu", how, number);
}

// Reads every line that lines has left, each checked against the splitter
// and handed to visit; with ask_rest, every line's bytes and line end, and
// the rest of each cut line, joined, are the log.
template <class Visit>
void check_lines(LogLines &lines, std::string_view log, bool ask_rest, const char *how, Visit visit)
{
    ReferenceLines reference(log);
    ReferenceLine expected{};
    LogLine line{};
    std::string joined;
    size_t number = 0;
    while (lines.next(line) == 1) {
        ++number;
        FUZZ_CHECK(reference.next(expected), "%s: line %zu is past the end of the log", how, number);
        check_line(line, expected, how, number);
        joined.append(line.text, line.length).append(line.end_bytes);
        visit(line);
        if (ask_rest && line.cut)
            check_rest(lines, expected.rest, joined, how, number);
    }
    FUZZ_CHECK(!reference.next(expected), "%s: the log ended after %zu lines, the splitter finds more", how, number);
    FUZZ_CHECK(lines.next(line) == 0, "%s: a line after the end of the log", how);
    FUZZ_CHECK(!ask_rest || joined == log, "%s: the lines joined are %zu bytes, the log %zu, or other bytes", how,
               joined.size(), log.size());
}

// Each line copied to the end of a heap block, so that a read past the
// line's end is one past the block.
class LineCopy
{
  public:
    explicit LineCopy(size_t log_size)
        : size_(std::max<size_t>(1, std::min(log_size, LOG_LINE_LIMIT))), block_(std::make_unique<char[]>(size_))
    {
    }

    const char *place(const LogLine &line)
    {
        char *start = block_.get() + size_ - line.length;
        std::memcpy(start, line.text, line.length);
        return start;
    }

  private:
    size_t size_;
    std::unique_ptr<char[]> block_;
};

// ---- Hosts ----

bool inside(const LineHost &host, size_t length)
{
    return host.length > 0 && host.start <= length && host.length <= length - host.start;
}

bool same_host(const LineHost &a, const LineHost &b)
{
    return a.start == b.start && a.length == b.length;
}

// Where a line was read only up to its host (early) and where it was read
// whole (fit, whole): a line that fits has the host found early, or none.
void check_early_host(int early_status, const LineHost &early, int fit, const LineHost &whole, const char *what)
{
    FUZZ_CHECK(fit != LINE_HOST || (early_status == LINE_HOST && same_host(early, whole)),
               "%s: read whole the line fits with host %zu+%zu, read up to it status %d host %zu+%zu", what,
               whole.start, whole.length, early_status, early.start, early.length);
    FUZZ_CHECK(early_status != LINE_HOST || fit != LINE_NO_HOST,
               "%s: read up to it the host is %zu+%zu, read whole the line fits without one", what, early.start,
               early.length);
}

// The date of a line that fits: each part within its field's range, or
// -1 where the format has no such field.
void check_date(const LineDate &date, const char *what)
{
    const auto within = [](long long value, long long low, long long high) {
        return value == -1 || (value >= low && value <= high);
    };
    FUZZ_CHECK(within(date.year, 0, 9999) && within(date.month, 1, 12) && within(date.day, 1, 31) &&
                   within(date.hour, 0, 23) && within(date.minute, 0, 59) &&
                   (date.meridiem == 0 || date.meridiem == 'a' || date.meridiem == 'p') &&
                   within(date.unix_seconds, 0, 999999999999LL),
               "%s: the date %d-%d-%d %d:%d %d, %lld", what, date.year, date.month, date.day, date.hour, date.minute,
               date.meridiem, date.unix_seconds);
}

class FormatChecks
{
  public:
    explicit FormatChecks(const LogFormat &format)
        : given_(format.count > 0 ? &format : nullptr), shared_(given_ != nullptr && format_host_shared(format)),
          tracker_(&format)
    {
        FUZZ_CHECK(tracker_.decided() == (given_ != nullptr), "a tracker given %d line formats is decided: %d",
                   format.count, tracker_.decided());
    }

    void line(const char *text, size_t length)
    {
        const bool was_decided = tracker_.decided();
        LineHost host{0, 0};
        const int status = tracker_.read(text, length, &host);
        check_state(status, was_decided, length);
        FUZZ_CHECK(status != LINE_HOST || inside(host, length), "the host %zu+%zu is not inside a line of %zu bytes",
                   host.start, host.length, length);
        if (status == LINE_CORRUPT || status == LINE_NO_HOST || status == LINE_HOST)
            check_confirm(status, host, text, length);
        if (given_ != nullptr)
            check_given(*given_, text, length);
    }

  private:
    void check_state(int status, bool was_decided, size_t length)
    {
        FUZZ_CHECK(status == LINE_CORRUPT || status == LINE_NO_HOST || status == LINE_HOST || status == LINE_HEADER ||
                       status == LINE_TEXT,
                   "read gave status %d", status);
        FUZZ_CHECK(!was_decided || tracker_.decided(), "a decided format became undecided");
        FUZZ_CHECK((status == LINE_TEXT) == (!tracker_.decided() || tracker_.is_text()),
                   "status %d with the format decided %d, text %d", status, tracker_.decided(), tracker_.is_text());
        if (!was_decided && length > 0)
            ++tried_;
        FUZZ_CHECK(tried_ < FORMAT_DETECT_LINES || tracker_.decided(), "undecided after %d lines", tried_);
        FUZZ_CHECK(!tracker_.decided() || tracker_.name() != nullptr, "a decided format without a name");
    }

    // confirm() reads the line whole by the tracker's format.
    void check_confirm(int status, const LineHost &host, const char *text, size_t length) const
    {
        LineHost whole{0, 0};
        LineDate date{};
        const int fit = tracker_.confirm(text, length, &whole, &date);
        if (fit != LINE_CORRUPT)
            check_date(date, "confirm");
        FUZZ_CHECK(fit != LINE_HOST || inside(whole, length), "confirm's host %zu+%zu is not inside %zu bytes",
                   whole.start, whole.length, length);
        if (tracker_.confirmed())
            FUZZ_CHECK(fit == status && (fit != LINE_HOST || same_host(whole, host)),
                       "a line read to its end had status %d, read again %d", status, fit);
        else
            check_early_host(status, host, fit, whole, "the tracker");
    }

    void check_given(const LogFormat &format, const char *text, size_t length) const
    {
        LineHost whole{0, 0};
        LineHost early{0, 0};
        LineDate date{};
        const int fit = format_match(format, text, length, &whole, &date);
        if (fit != LINE_CORRUPT)
            check_date(date, "format_match");
        const int found = format_find_host(format, text, length, &early);
        FUZZ_CHECK(found != LINE_HOST || inside(early, length), "format_find_host's host %zu+%zu is not inside %zu",
                   early.start, early.length, length);
        FUZZ_CHECK(tracker_.confirmed() == !shared_, "a line of a given format confirmed %d, shared %d",
                   tracker_.confirmed(), shared_);
        if (shared_)
            check_early_host(found, early, fit, whole, "format_find_host");
    }

    const LogFormat *given_;
    bool shared_;
    LogFormatTracker tracker_;
    int tried_ = 0;
};

// ---- The buffer's edge ----

// The log after one filler line, the first read buffer ending cut bytes
// into the log, anywhere up to a line longer than the reader's limit.
constexpr size_t MAX_CUT = LOG_LINE_LIMIT + 1024;

// Where the edge falls, by the input's last two bytes: anywhere in the
// first MAX_CUT bytes, or, with a padded first line, within 256 bytes of
// its end, where the line is gathered across the edge.
size_t edge_cut(const Input &input, const uint8_t *data, size_t size)
{
    const size_t choice = size >= 2 ? data[size - 1] | static_cast<size_t>(data[size - 2]) << 8 : 0;
    const size_t most = std::min(input.log.size(), MAX_CUT);
    if ((input.mode & MODE_LONG) == 0)
        return choice % (most + 1);
    const size_t feed = input.log.find('\n');
    const size_t end = feed == NOT_FOUND ? input.log.size() : feed;
    const size_t near = end + choice % 512;
    return std::min(near < 256 ? 0 : near - 256, most);
}

void check_across_edge(const Input &input, std::string_view log, const uint8_t *data, size_t size)
{
    static EdgeFile edge_file('x', MAX_CUT, true);
    // One reader for every input: open() keeps its 256 KiB buffer.
    static ByteReader file_reader;
    const bool ask_rest = (input.mode & MODE_NO_REST) == 0;
    const char *path = edge_file.place(log.data(), log.size(), edge_cut(input, data, size));
    if (file_reader.open(path) == 0)
        fuzz_fail("cannot open the edge file");
    LogLines lines(file_reader);
    LogLine filler{};
    FUZZ_CHECK(lines.next(filler) == 1 && filler.cut && filler.length == LOG_LINE_LIMIT,
               "the filler line is not cut at the limit");
    const char *piece = nullptr;
    size_t length = 0;
    size_t rest = 0;
    while (ask_rest && lines.rest(&piece, &length) == 1)
        rest += length;
    FUZZ_CHECK(!ask_rest || LOG_LINE_LIMIT + rest == edge_file.start(), "the filler line is %zu bytes, not %zu",
               LOG_LINE_LIMIT + rest, edge_file.start());
    check_lines(lines, log, ask_rest, "across the buffer's edge", [](const LogLine &) {});
    FUZZ_CHECK(file_reader.failed() == 0, "reading the edge file failed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_start_quiet();
    const Input input = parse_input(data, size);
    LogFormat format{};
    format.name = "";
    add_texts(input, format);

    // The log in a heap block of its size, so that a read past it is caught.
    const size_t log_size = input.log.size();
    const auto block = std::make_unique<char[]>(std::max<size_t>(log_size, 1));
    std::memcpy(block.get(), input.log.data(), log_size);
    const std::string_view log(block.get(), log_size);

    ByteReader memory_reader;
    memory_reader.open_memory(block.get(), log_size);
    LogLines lines(memory_reader);
    FormatChecks checks(format);
    LineCopy copy(log_size);
    size_t tracked = 0;
    check_lines(lines, log, (input.mode & MODE_NO_REST) == 0, "from memory", [&](const LogLine &line) {
        if (tracked++ < TRACKED_LINES)
            checks.line(copy.place(line), line.length);
    });
    if ((input.mode & MODE_EDGE) != 0)
        check_across_edge(input, log, data, size);
    return 0;
}
