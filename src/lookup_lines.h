// A log read line by line: each line in place where the read buffer holds
// it whole, gathered where it crosses the buffer's edge, and cut, never
// held whole, when it is LOG_LINE_LIMIT bytes long or longer (a CR before
// its line feed counted).
#pragma once

#include <cstddef>
#include <memory>

class ByteReader;

struct LogLine {
    const char *text; // the line without its line end (LF, or CR LF)
    size_t length;
    const char *end_bytes; // the line end as read ("\n", "\r\n", or "" at the end of the log)
    bool cut;              // the first LOG_LINE_LIMIT bytes of a line as long or longer: rest() has the others
};

class LogLines
{
  public:
    explicit LogLines(ByteReader &reader);
    ~LogLines();
    LogLines(const LogLines &) = delete;
    LogLines &operator=(const LogLines &) = delete;

    // 1 with the next line, valid until the next call; 0 at the end of the
    // log (or when reading failed: the reader tells).
    int next(LogLine &line);
    // The rest of a cut line, a piece at a time (its line end included in
    // the last): 1 with a piece, 0 once the line has ended. A line not
    // asked for its rest is passed over by the next call to next().
    int rest(const char **piece, size_t *length);

  private:
    int gather(LogLine &line, const unsigned char *data, size_t available);
    void finish(LogLine &line, const char *text, size_t length, bool ended);

    ByteReader &reader_;
    std::unique_ptr<char[]> buffer_; // a line that crosses the buffer's edge
    bool in_rest_ = false;           // a cut line's rest is unread
};
