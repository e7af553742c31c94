// What both halves of the platform layer share: handing out the paths a
// directory listing found, the temporary names of replacements, and the
// line a lock holds.
#include "platform_common.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Directory listings: each system's open() fills the list.

DirectoryListing::DirectoryListing() : names_(std::make_unique<Names>()) {}

DirectoryListing::~DirectoryListing() = default;

const char *DirectoryListing::next()
{
    if (names_->position >= names_->paths.size())
        return nullptr;
    return names_->paths[names_->position++].c_str();
}

std::string platform_temporary_name(const std::string &name, const char *mark)
{
    const size_t added = 1 + std::strlen(mark) + 6;
    const size_t room = PLATFORM_NAME_MAX > added ? PLATFORM_NAME_MAX - added : 0;
    std::string temporary(1, '.');
    temporary.append(name, 0, room);
    temporary.append(mark);
    temporary.append("XXXXXX");
    return temporary;
}

// ---------------------------------------------------------------------------
// The lock's line.

namespace
{

// The value of a "key=" token at text[at..end): 1 with it copied (at most
// capacity - 1 bytes, else 0).
int copy_value(const char *value, size_t length, char *out, size_t capacity)
{
    if (length == 0 || length >= capacity)
        return 0;
    std::memcpy(out, value, length);
    out[length] = '\0';
    return 1;
}

// A decimal number of 1 to 19 digits.
int number_value(const char *value, size_t length, unsigned long long *out)
{
    if (length == 0 || length > 19)
        return 0;
    unsigned long long number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return 0;
        number = number * 10 + static_cast<unsigned long long>(value[i] - '0');
    }
    *out = number;
    return 1;
}

// One token "key=value"; unknown keys are passed over, so that a later
// version may add fields. Sets bit 1, 2 or 4 in seen for pid, host, start.
int take_token(const char *token, size_t length, LockLine *line, int *seen)
{
    const char *equals = static_cast<const char *>(std::memchr(token, '=', length));
    if (equals == nullptr)
        return 0;
    const std::string key(token, static_cast<size_t>(equals - token));
    const char *value = equals + 1;
    const size_t size = length - key.size() - 1;
    unsigned long long number = 0;
    if (key == "pid") {
        *seen |= 1;
        if (number_value(value, size, &number) == 0 || number == 0 || number > 0x7fffffffULL)
            return 0;
        line->pid = static_cast<long long>(number);
        return 1;
    }
    if (key == "host") {
        *seen |= 2;
        return copy_value(value, size, line->host, sizeof line->host);
    }
    if (key == "start") {
        *seen |= 4;
        return number_value(value, size, &line->start);
    }
    if (key == "boot")
        return copy_value(value, size, line->boot, sizeof line->boot);
    if (key == "pidns")
        return number_value(value, size, &line->pidns);
    if (key == "started")
        return copy_value(value, size, line->started, sizeof line->started);
    return 1;
}

} // namespace

size_t lock_line_format(const LockLine &line, char *text, size_t capacity)
{
    char host[sizeof line.host];
    size_t i = 0;
    for (; line.host[i] != '\0' && i + 1 < sizeof host; ++i) {
        const unsigned char c = static_cast<unsigned char>(line.host[i]);
        host[i] = c <= 32 || c == '=' || c == 127 ? '?' : line.host[i];
    }
    host[i] = '\0';
    const int length = std::snprintf(text, capacity, "tarn pid=%lld host=%s start=%llu boot=%s pidns=%llu started=%s\n",
                                     line.pid, host[0] != '\0' ? host : "?", line.start,
                                     line.boot[0] != '\0' ? line.boot : "-", line.pidns, line.started);
    return length > 0 && static_cast<size_t>(length) < capacity ? static_cast<size_t>(length) : 0;
}

int lock_line_parse(const char *text, size_t length, LockLine *line)
{
    *line = LockLine{};
    if (length > 0 && text[length - 1] == '\n')
        --length;
    if (length < 5 || std::memcmp(text, "tarn ", 5) != 0)
        return 0;
    int seen = 0;
    for (size_t at = 5; at < length;) {
        size_t end = at;
        while (end<length &&static_cast<unsigned char>(text[end])> 32)
            ++end;
        if (end == at || (end < length && text[end] != ' ') || take_token(text + at, end - at, line, &seen) == 0)
            return 0;
        at = end + 1;
    }
    return seen == 7 ? 1 : 0;
}

void lock_holder_read_text(LockHolder *holder, LockHolderState (*judge)(const LockLine &))
{
    holder->empty = holder->regular == 1 && holder->text_length == 0 ? 1 : 0;
    LockLine line;
    if (holder->regular == 1 && lock_line_parse(holder->text, holder->text_length, &line) == 1) {
        holder->named = 1;
        holder->pid = line.pid;
        std::snprintf(holder->host, sizeof holder->host, "%s", line.host);
        std::snprintf(holder->started, sizeof holder->started, "%s", line.started);
        holder->state = judge(line);
    }
}

int64_t platform_utc_of_local(int64_t local_seconds)
{
    const auto moment = static_cast<std::time_t>(local_seconds);
    std::tm civil{};
    if (platform_utc_time(moment, &civil) == 0)
        return local_seconds;
    civil.tm_isdst = -1; // whatever the offset was then
    const std::time_t utc = std::mktime(&civil);
    return utc == static_cast<std::time_t>(-1) ? local_seconds : static_cast<int64_t>(utc);
}
