// Analog's dates: FROM and TO values, and the date codes of LOGFILE names.
#include "lookup_dates.h"
#include "basalt-str.h"
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

constexpr const char *MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char *DAY_NAMES[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool is_leap(long long year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_length(long long year, int month)
{
    constexpr int LENGTHS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : LENGTHS[month - 1];
}

// Days since 1 January 1970 of a proleptic Gregorian date, and back.
long long days_from_civil(long long year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long of_era = year - era * 400;
    const long long of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long of_cycle = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
    return era * 146097 + of_cycle - 719468;
}

void civil_from_days(long long days, CivilTime &time)
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long of_era = days - era * 146097;
    const long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long shifted = (5 * of_year + 2) / 153;
    time.day = static_cast<int>(of_year - (153 * shifted + 2) / 5 + 1);
    time.month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    time.year = static_cast<int>(year_of_era + era * 400 + (time.month <= 2 ? 1 : 0));
}

// One part of a date: two digits, or a sign and a number (of any length
// where open_ended, else of two digits). 1 with the number, which is
// relative when signed.
struct DatePart {
    long long value;
    bool relative;
};

int read_part(const char *&p, bool open_ended, DatePart &part)
{
    part = DatePart{0, *p == '+' || *p == '-'};
    const bool negative = *p == '-';
    p += part.relative ? 1 : 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && (digits < 2 || (open_ended && part.relative)) && digits < 9) {
        part.value = part.value * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    part.value = negative ? -part.value : part.value;
    return digits == 2 || (part.relative && open_ended && digits > 0) ? 1 : 0;
}

// Year and month from their parts, a relative month carried into the year.
int year_and_month(const DatePart &year, const DatePart &month, const CivilTime &now, long long *y, int *m)
{
    *y = year.relative ? now.year + year.value : (year.value < 70 ? 2000 : 1900) + year.value;
    if (!month.relative) {
        *m = static_cast<int>(month.value);
        return month.value >= 1 && month.value <= 12 ? 1 : 0;
    }
    const long long months = *y * 12 + (now.month - 1) + month.value;
    *y = (months >= 0 ? months : months - 11) / 12;
    *m = static_cast<int>(months - *y * 12 + 1);
    return 1;
}

// The day, held to its month: days since 1970.
int day_of(const DatePart &day, long long y, int m, const CivilTime &now, long long *days)
{
    const int last = month_length(y, m);
    if (!day.relative && (day.value < 1 || day.value > 31))
        return 0;
    const long long base = day.relative ? (now.day < last ? now.day : last) : (day.value < last ? day.value : last);
    *days = days_from_civil(y, m, static_cast<int>(base)) + (day.relative ? day.value : 0);
    return 1;
}

// The time of day: minutes since midnight, which may run into other days.
int minutes_of(const char *&p, const CivilTime &now, DateBound bound, long long *minutes)
{
    if (*p == '\0') {
        // A date alone reaches to the end of its day, or from its start.
        *minutes = bound == DATE_TO ? 23 * 60 + 59 : 0;
        return 1;
    }
    DatePart hour{};
    DatePart minute{};
    if (*p++ != ':' || read_part(p, false, hour) == 0 || read_part(p, true, minute) == 0 || *p != '\0')
        return 0;
    if ((!hour.relative && hour.value > 23) || (!minute.relative && minute.value > 59))
        return 0;
    *minutes = (hour.relative ? now.hour + hour.value : hour.value) * 60 +
               (minute.relative ? now.minute + minute.value : minute.value);
    return 1;
}

int append(char *out, size_t size, size_t &length, const char *text)
{
    const size_t add = std::strlen(text);
    if (length + add >= size)
        return 0;
    std::memcpy(out + length, text, add + 1);
    length += add;
    return 1;
}

// Codes whose text Analog gives whatever the date (measured; FROM does
// not change them either).
struct FixedCode {
    char code;
    const char *text;
};
constexpr FixedCode FIXED_CODES[] = {{'b', "am"}, {'e', "31"},   {'E', "31"}, {'i', " 0"},  {'I', "00"},
                                     {'o', "00"}, {'k', "12"},   {'L', "12"}, {'l', "Dec"}, {'x', "-"},
                                     {'z', "69"}, {'Z', "1969"}, {'%', "%"}};

// A number as a date code writes it: two places, zero- or blank-padded.
const char *two_places(int value, bool blank, char (&text)[16])
{
    std::snprintf(text, sizeof text, blank ? "%2d" : "%02d", value);
    return text;
}

// The text of date code c: what Analog writes for it, "" for a letter or
// sign it does not know.
const char *code_text(char c, const CivilTime &when, char (&text)[16])
{
    const int weekday = static_cast<int>(((days_from_civil(when.year, when.month, when.day) % 7) + 11) % 7);
    const int twelve = when.hour % 12 == 0 ? 12 : when.hour % 12;
    switch (c) {
    case 'Y': std::snprintf(text, sizeof text, "%04d", when.year); return text;
    case 'y': return two_places(when.year % 100, false, text);
    case 'M': return two_places(when.month, false, text);
    case 'D': return two_places(when.day, false, text);
    case 'd': return two_places(when.day, true, text);
    case 'H': return two_places(when.hour, false, text);
    case 'h': return two_places(when.hour, true, text);
    case 'j': return two_places(twelve, true, text);
    case 'n': return two_places(when.minute, false, text);
    case 'a': return when.hour < 12 ? "am" : "pm";
    case 'q': std::snprintf(text, sizeof text, "%d", (when.month - 1) / 3 + 1); return text;
    case 'X': std::snprintf(text, sizeof text, "%04d-%02d-%02d", when.year, when.month, when.day); return text;
    case 'm': return MONTH_NAMES[(when.month + 11) % 12];
    case 'w': return DAY_NAMES[weekday];
    default: break;
    }
    for (const FixedCode &fixed : FIXED_CODES) {
        if (fixed.code == c)
            return fixed.text;
    }
    return "";
}

} // namespace

CivilTime civil_now()
{
    std::tm local{};
    platform_local_time(std::time(nullptr), &local);
    return CivilTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
}

int analog_date_parse(const char *text, const CivilTime &now, CivilTime *out, DateBound bound)
{
    const char *p = text;
    DatePart year{};
    DatePart month{};
    DatePart day{};
    long long y = 0;
    int m = 0;
    long long days = 0;
    long long minutes = 0;
    if (read_part(p, false, year) == 0 || read_part(p, false, month) == 0 || read_part(p, true, day) == 0 ||
        year_and_month(year, month, now, &y, &m) == 0 || y < 1 || y > 9999 || day_of(day, y, m, now, &days) == 0 ||
        minutes_of(p, now, bound, &minutes) == 0)
        return 0;
    const long long total = days * 1440 + minutes;
    const long long whole_days = (total >= 0 ? total : total - 1439) / 1440;
    civil_from_days(whole_days, *out);
    out->hour = static_cast<int>((total - whole_days * 1440) / 60);
    out->minute = static_cast<int>((total - whole_days * 1440) % 60);
    return 1;
}

int expand_date_codes(const char *text, const CivilTime &when, char *out, size_t size)
{
    size_t length = 0;
    out[0] = '\0';
    for (const char *p = text; *p != '\0'; ++p) {
        char number[16];
        // A '%' that ends the text stays as it is.
        const char *code = *p == '%' && p[1] != '\0' ? code_text(p[1], when, number) : nullptr;
        const char plain[2] = {*p, '\0'};
        if (append(out, size, length, code != nullptr ? code : plain) == 0)
            return 0;
        p += code != nullptr ? 1 : 0;
    }
    return 1;
}

long long civil_minutes(const CivilTime &time)
{
    return (days_from_civil(time.year, time.month, time.day) * 24 + time.hour) * 60 + time.minute;
}

int line_date_minutes(const LineDate &date, long long *minutes)
{
    if (date.unix_seconds >= 0) {
        *minutes = date.unix_seconds / 60;
        return 1;
    }
    if (date.year < 0 || date.month <= 0 || date.day <= 0 || date.hour < 0 || date.minute < 0)
        return 0;
    const int hour = date.meridiem == 0 ? date.hour : date.hour % 12 + (date.meridiem == 'p' ? 12 : 0);
    const int year = date.year >= 100 ? date.year : date.year + (date.year < 70 ? 2000 : 1900);
    *minutes = civil_minutes(CivilTime{year, date.month, date.day, hour, date.minute});
    return 1;
}
