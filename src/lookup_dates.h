// Analog's dates in a configuration: the FROM and TO forms, and the date
// codes of LOGFILE names ("access_log%Y%M.log").
#pragma once

#include <cstddef>

// A local date and time, month 1 to 12.
struct CivilTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
};

// The current local time.
CivilTime civil_now();

// A TO (or FROM) value: "yyMMdd" or "yyMMdd:hhmm", each part two digits
// (a year from 1970 to 2069) or, after '+' or '-', a number of years,
// months, days, hours or minutes from now; a day beyond the end of its
// month is the month's last ("-00-0131": the end of last month). A date
// alone is the end of its day for TO, its start for FROM. 1 with the time
// in out, or 0 for a text that is no such date.
enum DateBound { DATE_TO, DATE_FROM };
int analog_date_parse(const char *text, const CivilTime &now, CivilTime *out, DateBound bound = DATE_TO);

// The minutes from 1 January 1970 00:00 to the time, for comparing times.
long long civil_minutes(const CivilTime &time);

// The date and time the fields of a line give: -1 in each part its format
// does not have. year is as written (two digits for %y and a two-digit
// %Z); meridiem is 'a' or 'p' for a 12-hour clock, else 0; unix_seconds is
// %U's, -1 when there is none.
struct LineDate {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    char meridiem;
    long long unix_seconds;
};
// The line's date in minutes as civil_minutes counts them, %U's seconds
// since 1970 with no zone applied; 0 when its format gives no whole date.
// Two-digit years are 1970 to 2069.
int line_date_minutes(const LineDate &date, long long *minutes);

// text with each date code replaced from when, as Analog writes them: %Y
// (four-digit year), %y (two-digit), %M (month number), %m (month name,
// "Jan"), %D (day of the month), %d (the same blank-padded), %H (hour),
// %h (blank-padded), %j (hour of the 12-hour clock, blank-padded), %a
// ("am" or "pm"), %n (minute), %w (day of the week, "Mon"), %q (quarter),
// %X ("2005-03-07") and %% ('%'); numbers in two places with a leading
// zero unless said. A few letters give a fixed text whatever the date, as
// in Analog; any other code gives nothing, and a '%' at the end stays. 1,
// or 0 when the result does not fit size bytes.
int expand_date_codes(const char *text, const CivilTime &when, char *out, size_t size);
