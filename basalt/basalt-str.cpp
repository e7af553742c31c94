// Null-checked string helpers and the field tokenizer.
#include "basalt-str.h"

#include "basalt-core.h"

#include <cstring>

namespace
{

constexpr const char *SITE_FILE = "basalt-str";

inline void check_pointer(const void *pointer, int line)
{
    mark_assert_site(SITE_FILE, line);
    fatal_assert(pointer != nullptr, "Pointer is NULL\n");
}

inline unsigned char byte_at(const char *p)
{
    return static_cast<unsigned char>(*p);
}

inline bool is_separator(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\r';
}

} // namespace

int checked_length(const char *text)
{
    check_pointer(text, __LINE__);
    int length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

size_t bounded_length(const char *text, size_t limit)
{
    check_pointer(text, __LINE__);
    const void *end = std::memchr(text, '\0', limit);
    return end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - text) : limit;
}

int checked_copy(char *destination, size_t capacity, const char *source)
{
    check_pointer(destination, __LINE__);
    check_pointer(source, __LINE__);
    if (capacity == 0)
        return 0;
    size_t i = 0;
    for (; source[i] != '\0'; ++i) {
        if (i + 1 >= capacity) {
            destination[i] = '\0';
            return 0;
        }
        destination[i] = source[i];
    }
    destination[i] = '\0';
    return 1;
}

int checked_append(char *destination, size_t capacity, const char *source)
{
    check_pointer(destination, __LINE__);
    check_pointer(source, __LINE__);
    size_t used = 0;
    while (used < capacity && destination[used] != '\0')
        ++used;
    if (used >= capacity)
        return 0; // not even terminated within its capacity: nothing safe to do
    return checked_copy(destination + used, capacity - used, source);
}

int checked_equal(const char *a, const char *b)
{
    check_pointer(a, __LINE__);
    check_pointer(b, __LINE__);
    for (; *a == *b; ++a, ++b) {
        if (*a == '\0')
            return 1;
    }
    return 0;
}

int checked_equal_nocase(const char *a, const char *b, int count)
{
    check_pointer(a, __LINE__);
    check_pointer(b, __LINE__);
    for (int i = 0; i < count; ++i) {
        unsigned char ca = byte_at(a + i);
        unsigned char cb = byte_at(b + i);
        if (ca >= 'a' && ca <= 'z') {
            if (cb >= 'A' && cb <= 'Z')
                cb = static_cast<unsigned char>(cb - 'A' + 'a');
        } else if (cb >= 'a' && cb <= 'z') {
            cb = static_cast<unsigned char>(cb - 'a' + 'A');
        }
        if (ca != cb)
            return 0;
        // Both texts ended together; reading further would leave them.
        if (ca == '\0')
            return 1;
    }
    return 1;
}

const char *field_locate(const char *text, int n, int *last_field)
{
    check_pointer(text, __LINE__);
    const char *p = text;
    while (*p != '\0' && byte_at(p) <= 32)
        ++p;

    int field = -1;
    bool quoting = false;
    bool after_separator = true; // the first field character starts field 0
    const char *found = nullptr;
    for (; *p != '\0'; ++p) {
        unsigned char c = byte_at(p);
        if (c == '"')
            quoting = !quoting;
        else if (!quoting && is_separator(c)) {
            after_separator = true;
            continue;
        } else if (!quoting && c < 32)
            continue;
        if (after_separator) {
            ++field;
            after_separator = false;
            if (field == n && found == nullptr) {
                found = p;
                if (last_field == nullptr)
                    return found;
            }
        }
    }
    if (last_field != nullptr)
        *last_field = field < 0 ? 0 : field;
    return found;
}

int field_count(const char *text)
{
    check_pointer(text, __LINE__);
    int last = 0;
    field_locate(text, 0, &last);
    return last;
}

int field_copy(const char *text, int n, char *buffer, size_t capacity)
{
    check_pointer(text, __LINE__);
    check_pointer(buffer, __LINE__);
    if (capacity == 0)
        return 0;
    buffer[0] = '\0';
    const char *p = field_locate(text, n, nullptr);
    if (p == nullptr)
        return 0;

    size_t used = 0;
    bool quoting = false;
    for (; *p != '\0'; ++p) {
        unsigned char c = byte_at(p);
        if (c < 32)
            break;
        if (c == '"') {
            if (quoting)
                break;
            quoting = true;
            continue;
        }
        if (c == ' ' && !quoting)
            break;
        if (used + 1 >= capacity) {
            buffer[0] = '\0';
            return 0;
        }
        buffer[used++] = static_cast<char>(c);
    }
    buffer[used] = '\0';
    return 1;
}
