// Null-checked string helpers and the blank-separated field tokenizer.
//
// Texts are NUL-terminated byte strings in fixed, caller-owned buffers. Every
// helper checks its pointers first and ends the process with the ASSERT
// report "Pointer is NULL" when one is null. The writing helpers know the
// capacity of their destination and never write past it: a text that does
// not fit is cut at the capacity and the helper returns 0, so callers whose
// result would change meaning when cut (a path, a host name) can refuse it.
#pragma once

#include <cstddef>

// Number of bytes before the terminator.
int checked_length(const char *text);
// The same, looking at no more than limit bytes: limit when none of them is
// the terminator (a field that fills its buffer).
size_t bounded_length(const char *text, size_t limit);

// Copies source into destination (capacity bytes, terminator included).
// Returns 1 when the whole source fits, 0 when it was cut to capacity - 1
// bytes. A capacity of 0 writes nothing and returns 0.
int checked_copy(char *destination, size_t capacity, const char *source);

// Appends source to the text in destination. Returns 1 when the whole
// source fits, 0 when the result was cut (destination stays terminated).
int checked_append(char *destination, size_t capacity, const char *source);

// 1 when both texts are byte for byte identical, 0 otherwise.
int checked_equal(const char *a, const char *b);

// 1 when the first count bytes match without regard to ASCII letter case,
// 0 otherwise. The terminator is compared like any byte, so a text shorter
// than count fails at its end unless the other ends there too. count <= 0
// returns 1.
int checked_equal_nocase(const char *a, const char *b, int count);

template <size_t N> int checked_copy(char (&destination)[N], const char *source)
{
    return checked_copy(destination, N, source);
}

template <size_t N> int checked_append(char (&destination)[N], const char *source)
{
    return checked_append(destination, N, source);
}

// Fields of a text: blank, line feed and carriage return separate fields
// outside double quotes; a double quote toggles quoting; other control bytes
// outside quotes are passed over. Fields are numbered from 0 (for a command
// line, the program path).

// Position of the first character of field n, or null when the text has
// fewer fields. When last_field is given it receives the number of the
// text's last field (0 for a text with no field at all).
const char *field_locate(const char *text, int n, int *last_field);

// 0 for an empty or blank text, otherwise the number of the last field.
int field_count(const char *text);

// Copies field n without its quotes into buffer (capacity bytes). The buffer
// is emptied first in every case. Returns 1 when the field exists and fits,
// 0 when there is no field n or the field is longer than capacity - 1 (the
// buffer is then left empty; use field_locate to tell the two apart).
int field_copy(const char *text, int n, char *buffer, size_t capacity);

template <size_t N> int field_copy(const char *text, int n, char (&buffer)[N])
{
    return field_copy(text, n, buffer, N);
}
