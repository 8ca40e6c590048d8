// The user's regional number, date and time formats, read once from the platform's locale
// data without touching the process-wide C locale.
#pragma once

#include <string>

namespace tk {

// The decimal separator of the user's regional settings (one byte in the
// ANSI code page; '.' when the platform names none or a multi-byte one).
// Thread-safe; the platform is asked on the first call only.
char DecimalSeparator();

// Overrides the separator that DecimalSeparator reports (for tests and for
// programs that want fixed output); ClearDecimalSeparatorOverride returns to
// the user's setting.
void SetDecimalSeparatorOverride(char separator);
void ClearDecimalSeparatorOverride();

// The platform's own answer, without any override (asked afresh each call).
char SystemDecimalSeparator();

// ---- Dates, times and numbers ----------------------------------------------

// A number in the general format: at most 15 significant digits, no trailing
// zeros, DecimalSeparator() as the point; scientific notation ("1E-6",
// "-1.5E20": no plus sign, no leading zeros in the exponent) only for
// magnitudes below 0.00001 or with more than 15 integer digits. Zero is "0";
// not-a-number and the infinities are "NAN", "INF" and "-INF".
std::string FloatToStrGeneral(double v);

// The date of a day count (days since 1899-12-30; the time of day is the
// fraction's magnitude, also for negative counts) in the user's short date
// format, and its time of day in the user's long time format (seconds
// truncated). A count outside the years 1 to 9999, or not a number, gives "".
std::string FormatShortDate(double dayCount);
std::string FormatLongTime(double dayCount);

// The formats are pictures in the Windows locale syntax: d dd (day), ddd
// dddd (day name), M MM (month), MMM MMMM (month name), y yy (two-digit
// year), yyyy (full year), h hh (12-hour), H HH (24-hour), m mm (minute), s ss
// (second), t tt (AM/PM designator, first letter or whole), g gg (era: shown
// as nothing); text in single quotes is literal ('' is a quote); any other
// character stands for itself. The pictures in use: the override when one is
// set, else the user's (read once). Thread-safe.
std::string ShortDateFormat();
std::string LongTimeFormat();
// Overrides both pictures (for tests and for programs that want fixed
// output); Clear returns to the user's settings.
void SetDateTimeFormatOverride(const std::string& shortDate, const std::string& longTime);
void ClearDateTimeFormatOverride();

// The names a picture can show, in the user's language.
struct TLocaleNames {
    std::string shortMonths[12];  // January first
    std::string longMonths[12];
    std::string shortDays[7];  // Sunday first
    std::string longDays[7];
    std::string am = "AM";
    std::string pm = "PM";
};
// English names, as the C locale has them.
TLocaleNames DefaultLocaleNames();

// Formats a day count with a picture (as FormatShortDate does).
std::string FormatDateTime(const std::string& picture, double dayCount, const TLocaleNames& names);
// A POSIX strftime pattern (as a locale's date and time formats give them)
// turned into a picture; conversions with no counterpart are dropped.
std::string StrftimeToPicture(const std::string& pattern);

// The platform's own answers, without any override (asked afresh each call).
// POSIX: the C and POSIX locales (and an unknown locale name) give the ISO
// forms "yyyy-MM-dd" and "HH:mm:ss"; other locales their LC_TIME formats.
std::string SystemShortDateFormat();
std::string SystemLongTimeFormat();
TLocaleNames SystemLocaleNames();

}  // namespace tk
