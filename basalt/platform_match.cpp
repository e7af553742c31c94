// Matching a name against one component of a wildcard pattern, for the
// systems whose own listing does not do it: portable, so that it is tested
// everywhere against the C library's matching.
#include "platform_common.h"

#include <cstddef>

namespace
{

int fold_case(int c, bool fold)
{
    return fold && c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Whether c is in the bracket expression that starts after '[' at set: "!"
// or "^" to negate, a first ']' taken as itself, ranges "a-z". The length
// of the expression up to and including its ']' goes to *length; 0 when it
// has no ']', in which case the '[' is an ordinary character.
bool bracket_matches(const unsigned char *set, int c, bool fold, size_t *length)
{
    const unsigned char *p = set;
    const bool negated = *p == '!' || *p == '^';
    if (negated)
        ++p;
    bool found = false;
    for (const unsigned char *first = p; *p != '\0' && (*p != ']' || p == first); ++p) {
        int low = *p;
        int high = low;
        if (p[1] == '-' && p[2] != '\0' && p[2] != ']') {
            high = p[2];
            p += 2;
        }
        const int upper = fold && c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
        found = found || (fold_case(c, fold) >= low && fold_case(c, fold) <= high) || (upper >= low && upper <= high);
    }
    *length = *p == ']' ? static_cast<size_t>(p + 1 - set) + 1 : 0;
    return found != negated;
}

// How many pattern bytes one name byte c consumes at p: 0 when it does not
// match there. '?' is any byte; with fold the case of ASCII letters does
// not count.
size_t element_match(const unsigned char *p, int c, bool fold)
{
    if (*p == '?')
        return 1;
    if (*p == '[') {
        size_t length = 0;
        const bool in = bracket_matches(p + 1, c, fold, &length);
        if (length > 0)
            return in ? length : 0;
    }
    return fold_case(*p, fold) == fold_case(c, fold) ? 1 : 0;
}

} // namespace

bool platform_name_matches(const char *pattern, const char *name, bool fold)
{
    const auto *p = reinterpret_cast<const unsigned char *>(pattern);
    const auto *n = reinterpret_cast<const unsigned char *>(name);
    if (*n == '.' && *p != '.')
        return false;
    const unsigned char *star = nullptr;
    const unsigned char *resume = nullptr;
    while (*n != '\0') {
        size_t step = 0;
        if (*p == '*') {
            star = ++p;
            resume = n;
        } else if (*p != '\0' && (step = element_match(p, *n, fold)) > 0) {
            p += step;
            ++n;
        } else if (star != nullptr) {
            p = star;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*')
        ++p;
    return *p == '\0';
}
