// Log formats as Analog reads them: which lines a format accepts, and
// where in a line the client (Analog's host field) stands.
#pragma once

#include "lookup_dates.h"

#include <cstddef>
#include <cstdint>

// The most items one line format holds (a code, or one literal byte), and
// the most line formats a log's format tries in turn. Longer format texts
// are refused, never cut: a cut format would accept other lines.
inline constexpr int FORMAT_ITEM_LIMIT = 160;
inline constexpr int FORMAT_LINE_LIMIT = 8;
// A line of this many bytes or more (a CR before its line feed counted)
// is read only as far as its first LOG_LINE_LIMIT bytes, and fits no
// format.
inline constexpr size_t LOG_LINE_LIMIT = 64 * 1024;

// One item: a literal byte (code 0), or one of Analog's format codes:
// S host, s numeric address, j junk, w blanks, W optional blanks, d m M y
// Y Z h n a U b t T D c for dates, times and numbers, and any other string
// field by its own letter (r q B A f u v C). An ignored item ("%*S") is read
// but not used. Q, tarn's own, is a field of an extended log: a quoted
// text, or the bytes up to the next blank.
struct FormatItem {
    char code;
    char literal;
    bool ignored;
};

struct LineFormat {
    FormatItem items[FORMAT_ITEM_LIMIT];
    int count;
    bool open_end; // text after a blank at the end is no fault (tarn's own leniency)
};

// The format of a log: the line formats a line is tried with, in order,
// and the name detection gives it. No line formats: the log's first line
// decides (automatic detection).
struct LogFormat {
    LineFormat lines[FORMAT_LINE_LIMIT];
    int count;
    const char *name; // "" when given by the configuration
    // Built from the log's own header lines (#Fields:, !!LOG_FORMAT,
    // format=): a later header line replaces it.
    int header_kind;
};

enum HeaderKind { HEADER_NONE, HEADER_W3C, HEADER_WEBSTAR, HEADER_NETSCAPE };

// Where a line's host is, by the rule of Analog's host fields: the host
// (%S) when it is not empty, else the numeric address (%s).
enum LineStatus { LINE_CORRUPT, LINE_NO_HOST, LINE_HOST, LINE_HEADER };
struct LineHost {
    size_t start;
    size_t length;
};

// Matches the whole line (line end excluded) against each line format in
// turn; the status of the first that fits, LINE_CORRUPT when none does,
// and with date given the date of the line by that format.
int format_match(const LogFormat &format, const char *line, size_t length, LineHost *host, LineDate *date = nullptr);
// Where the host would be by the first line format, reading no further
// than it: LINE_HOST, LINE_NO_HOST (the format has none, or it is empty),
// or LINE_CORRUPT. Cheap next to format_match; a line must still match
// before its host counts.
int format_find_host(const LogFormat &format, const char *line, size_t length, LineHost *host);

// Adds the line formats of an Analog LOGFORMAT argument (a word such as
// COMBINED, or a format string) or an Apache LogFormat string; AUTO
// empties the list. 1, or 0 when the text is no format tarn reads (or
// there would be too many).
int format_add_logformat(LogFormat &format, const char *text);
int format_add_apache(LogFormat &format, const char *text);

// Automatic detection from a log's first line that is not empty: 1 with
// the format, 0 when no known format reads it. A header line (#..., !!...,
// format=...) starts a format that its later header lines complete.
int format_detect(const char *line, size_t length, LogFormat &format);
// A header line of a log whose format comes from its headers: 1 when the
// line is one (the format then follows it), 0 otherwise.
int format_header_line(const char *line, size_t length, LogFormat &format);

// Whether every line format of the format puts its host at the same place
// (the same items up to it, and the same end to it), with no other host
// field after it, nor an address field when there are several: the first
// one then finds the host of any line, and a line whose host is known need
// not be read to its end.
bool format_host_shared(const LogFormat &format);

// How a log's lines go: by the format given (a /G configuration's), or by
// the one its first lines show. A log none of whose first
// FORMAT_DETECT_LINES lines that are not empty is of a known format is read
// as text from there on (LINE_TEXT for each line); the lines before are
// LINE_TEXT too.
inline constexpr int FORMAT_DETECT_LINES = 8;
inline constexpr int LINE_TEXT = 4;
class LogFormatTracker
{
  public:
    // given: the format to read by, or null (or one without line formats)
    // to detect it.
    explicit LogFormatTracker(const LogFormat *given);
    // The line's status, and its host when LINE_HOST. confirmed() tells
    // whether the line was read to its end (then it fits), or only up to
    // its host, so that confirm() must still read it.
    int read(const char *line, size_t length, LineHost *host);
    bool confirmed() const { return confirmed_; }
    int confirm(const char *line, size_t length, LineHost *host, LineDate *date = nullptr) const;
    // Once known: whether the log is read as text, and the format's name.
    bool is_text() const { return state_ == TEXT; }
    bool decided() const { return state_ != UNDECIDED; }
    const char *name() const { return format_.name; }

  private:
    enum State { UNDECIDED, KNOWN, TEXT };
    int decide(const char *line, size_t length, LineHost *host);
    LogFormat format_;
    State state_ = UNDECIDED;
    int tried_ = 0;
    bool shared_ = false;
    bool confirmed_ = false;
};
