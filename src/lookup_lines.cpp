// Lines of a log, for the readers that need a line's fields: the harvest
// of a log whose format is known, and the rewrite of its client field.
#include "lookup_lines.h"
#include "basalt-file.h"
#include "lookup_format.h"

#include <cstring>

LogLines::LogLines(ByteReader &reader) : reader_(reader) {}
LogLines::~LogLines() = default;

void LogLines::finish(LogLine &line, const char *text, size_t length, bool ended)
{
    line.text = text;
    line.end_bytes = ended ? "\n" : "";
    if (ended && length > 0 && text[length - 1] == '\r') {
        --length;
        line.end_bytes = "\r\n";
    }
    line.length = length;
}

int LogLines::next(LogLine &line)
{
    const char *piece = nullptr;
    size_t piece_length = 0;
    while (in_rest_ && rest(&piece, &piece_length) == 1) {
    }
    size_t available = 0;
    const unsigned char *data = reader_.peek(&available);
    if (data == nullptr)
        return 0;
    line.cut = false;
    const void *feed = std::memchr(data, '\n', available < LOG_LINE_LIMIT ? available : LOG_LINE_LIMIT);
    if (feed != nullptr) {
        const size_t length = static_cast<size_t>(static_cast<const unsigned char *>(feed) - data);
        reader_.consume(length + 1);
        finish(line, reinterpret_cast<const char *>(data), length, true);
        return 1;
    }
    return gather(line, data, available);
}

// A line that the buffer cuts, copied piece by piece up to the limit.
int LogLines::gather(LogLine &line, const unsigned char *data, size_t available)
{
    if (!buffer_)
        buffer_ = std::make_unique<char[]>(LOG_LINE_LIMIT);
    size_t used = 0;
    while (data != nullptr) {
        const size_t room = LOG_LINE_LIMIT - used;
        const size_t look = available < room ? available : room;
        const void *feed = std::memchr(data, '\n', look);
        const size_t take =
            feed != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(feed) - data) : look;
        std::memcpy(buffer_.get() + used, data, take);
        used += take;
        if (feed != nullptr) {
            reader_.consume(take + 1);
            finish(line, buffer_.get(), used, true);
            return 1;
        }
        reader_.consume(take);
        if (used == LOG_LINE_LIMIT) {
            line.cut = true;
            in_rest_ = true;
            finish(line, buffer_.get(), used, false);
            return 1;
        }
        data = reader_.peek(&available);
    }
    finish(line, buffer_.get(), used, false);
    return 1;
}

int LogLines::rest(const char **piece, size_t *length)
{
    if (!in_rest_)
        return 0;
    size_t available = 0;
    const unsigned char *data = reader_.peek(&available);
    if (data == nullptr) {
        in_rest_ = false;
        return 0;
    }
    const void *feed = std::memchr(data, '\n', available);
    const size_t take =
        feed != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(feed) - data) + 1 : available;
    reader_.consume(take);
    in_rest_ = feed == nullptr;
    *piece = reinterpret_cast<const char *>(data);
    *length = take;
    return 1;
}
