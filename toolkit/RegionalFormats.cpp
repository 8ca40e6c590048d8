// The portable half of the regional formats: caching, the overrides, and
// the formatting of numbers, dates and times.
#include "toolkit/RegionalFormats.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "toolkit/Calendar.h"

namespace tk {

namespace {

// -1 while no override is set, otherwise the overriding byte.
std::atomic<int> g_override{-1};

}  // namespace

char DecimalSeparator() {
    const int forced = g_override.load(std::memory_order_relaxed);
    if (forced >= 0) {
        return static_cast<char>(forced);
    }
    static const char user = SystemDecimalSeparator();
    return user;
}

void SetDecimalSeparatorOverride(char separator) {
    g_override.store(static_cast<unsigned char>(separator), std::memory_order_relaxed);
}

void ClearDecimalSeparatorOverride() {
    g_override.store(-1, std::memory_order_relaxed);
}

// ---- Numbers -----------------------------------------------------------------

std::string FloatToStrGeneral(double v) {
    if (std::isnan(v)) {
        return "NAN";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-INF" : "INF";
    }
    if (v == 0) {
        return "0";
    }
    // 15 significant digits, rounded, as d.dddddddddddddde±x (the C
    // library's locale plays no part here).
    char buf[64];
    const auto res =
        std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 14);
    const std::string text(buf, res.ptr);
    const size_t ePos = text.find('e');
    std::string digits = text.substr(0, 1) + text.substr(2, ePos - 2);
    const int exponent = std::atoi(text.c_str() + ePos + 1);
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    const char sep = DecimalSeparator();
    std::string out = v < 0 ? "-" : "";
    if (exponent < -5 || exponent >= 15) {
        out += digits[0];
        if (digits.size() > 1) {
            out += sep;
            out.append(digits, 1);
        }
        out += 'E';
        out += std::to_string(exponent);
        return out;
    }
    if (exponent < 0) {
        out += '0';
        out += sep;
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
        return out;
    }
    const size_t intDigits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= intDigits) {
        out += digits;
        out.append(intDigits - digits.size(), '0');
        return out;
    }
    out.append(digits, 0, intDigits);
    out += sep;
    out.append(digits, intDigits);
    return out;
}

// ---- Dates and times ---------------------------------------------------------

namespace {

struct TDateParts {
    int64_t year;
    int month;    // 1..12
    int day;      // 1..31
    int weekDay;  // 0 = Sunday
    int hour, minute, second;
};

// Day 0 is 1899-12-30; a day count keeps its time of day as the magnitude
// of the fraction. Nothing for values outside the years 1 to 9999.
std::optional<TDateParts> SplitDayCount(double dayCount) {
    // 0001-01-01 and the end of 9999-12-31.
    constexpr double kFirst = -693593.0;
    constexpr double kEnd = 2958466.0;
    if (!std::isfinite(dayCount) || dayCount <= kFirst - 1 || dayCount >= kEnd) {
        return std::nullopt;
    }
    int64_t days = static_cast<int64_t>(std::trunc(dayCount));
    int64_t ms = std::llround(std::fabs(dayCount - std::trunc(dayCount)) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += dayCount < 0 ? -1 : 1;
    }
    if (days < -693593 || days > 2958465) {
        return std::nullopt;
    }
    TDateParts p{};
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days + kDayCountEpoch, p.year, month, day);
    p.month = static_cast<int>(month);
    p.day = static_cast<int>(day);
    // 1899-12-30 was a Saturday.
    p.weekDay = static_cast<int>(((days % 7) + 7 + 6) % 7);
    p.hour = static_cast<int>(ms / 3600000);
    p.minute = static_cast<int>(ms / 60000 % 60);
    p.second = static_cast<int>(ms / 1000 % 60);
    return p;
}

std::string Padded(int64_t v, int width) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < width) {
        s.insert(0, static_cast<size_t>(width - static_cast<int>(s.size())), '0');
    }
    return s;
}

}  // namespace

TLocaleNames DefaultLocaleNames() {
    static const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};
    static const char* const kDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
    TLocaleNames n;
    for (int i = 0; i < 12; ++i) {
        n.longMonths[i] = kMonths[i];
        n.shortMonths[i] = std::string(kMonths[i], 3);
    }
    for (int i = 0; i < 7; ++i) {
        n.longDays[i] = kDays[i];
        n.shortDays[i] = std::string(kDays[i], 3);
    }
    return n;
}

std::string FormatDateTime(const std::string& picture, double dayCount, const TLocaleNames& names) {
    const std::optional<TDateParts> parts = SplitDayCount(dayCount);
    if (!parts) {
        return {};
    }
    const TDateParts& p = *parts;
    std::string out;
    size_t i = 0;
    while (i < picture.size()) {
        const char c = picture[i];
        if (c == '\'') {
            // Quoted text; '' inside it is one quote.
            ++i;
            while (i < picture.size()) {
                if (picture[i] == '\'') {
                    if (i + 1 < picture.size() && picture[i + 1] == '\'') {
                        out += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += picture[i++];
            }
            continue;
        }
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c) {
            ++run;
        }
        const int hour12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
        const std::string& designator = p.hour < 12 ? names.am : names.pm;
        switch (c) {
            case 'd':
                if (run == 1) {
                    out += std::to_string(p.day);
                } else if (run == 2) {
                    out += Padded(p.day, 2);
                } else if (run == 3) {
                    out += names.shortDays[p.weekDay];
                } else {
                    out += names.longDays[p.weekDay];
                }
                break;
            case 'M':
                if (run == 1) {
                    out += std::to_string(p.month);
                } else if (run == 2) {
                    out += Padded(p.month, 2);
                } else if (run == 3) {
                    out += names.shortMonths[p.month - 1];
                } else {
                    out += names.longMonths[p.month - 1];
                }
                break;
            case 'y':
                if (run == 1) {
                    out += std::to_string(p.year % 100);
                } else if (run == 2) {
                    out += Padded(p.year % 100, 2);
                } else {
                    out += Padded(p.year, 4);
                }
                break;
            case 'h':
                out += run == 1 ? std::to_string(hour12) : Padded(hour12, 2);
                break;
            case 'H':
                out += run == 1 ? std::to_string(p.hour) : Padded(p.hour, 2);
                break;
            case 'm':
                out += run == 1 ? std::to_string(p.minute) : Padded(p.minute, 2);
                break;
            case 's':
                out += run == 1 ? std::to_string(p.second) : Padded(p.second, 2);
                break;
            case 't':
                if (run == 1) {
                    out += designator.substr(0, 1);
                } else {
                    out += designator;
                }
                break;
            case 'g':
                break;  // era: the Gregorian calendar shows none
            default:
                out.append(run, c);
                break;
        }
        i += run;
    }
    return out;
}

std::string StrftimeToPicture(const std::string& pattern) {
    std::string out;
    std::string literal;
    // Literal text goes in quotes when it holds a letter a picture would read.
    auto flush = [&] {
        if (literal.empty()) {
            return;
        }
        bool quote = false;
        for (char ch : literal) {
            if (std::string_view("dMyhHmstg'").find(ch) != std::string_view::npos) {
                quote = true;
            }
        }
        if (quote) {
            out += '\'';
            for (char ch : literal) {
                out += ch;
                if (ch == '\'') {
                    out += '\'';
                }
            }
            out += '\'';
        } else {
            out += literal;
        }
        literal.clear();
    };
    auto emit = [&](const char* picture) {
        flush();
        out += picture;
    };
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 >= pattern.size()) {
            literal += pattern[i];
            continue;
        }
        ++i;
        // glibc flags (no padding, space padding...) and the E/O modifiers.
        bool unpadded = false;
        while (i < pattern.size() &&
               std::string_view("-_0^#EO").find(pattern[i]) != std::string_view::npos) {
            if (pattern[i] == '-' || pattern[i] == '_') {
                unpadded = true;
            }
            ++i;
        }
        if (i >= pattern.size()) {
            break;
        }
        switch (pattern[i]) {
            case 'd':
                emit(unpadded ? "d" : "dd");
                break;
            case 'e':
                emit("d");
                break;
            case 'm':
                emit(unpadded ? "M" : "MM");
                break;
            case 'y':
                emit("yy");
                break;
            case 'Y':
            case 'G':
                emit("yyyy");
                break;
            case 'b':
            case 'h':
                emit("MMM");
                break;
            case 'B':
                emit("MMMM");
                break;
            case 'a':
                emit("ddd");
                break;
            case 'A':
                emit("dddd");
                break;
            case 'D':
                emit("MM/dd/yy");
                break;
            case 'F':
                emit("yyyy-MM-dd");
                break;
            case 'H':
                emit(unpadded ? "H" : "HH");
                break;
            case 'k':
                emit("H");
                break;
            case 'I':
                emit(unpadded ? "h" : "hh");
                break;
            case 'l':
                emit("h");
                break;
            case 'M':
                emit(unpadded ? "m" : "mm");
                break;
            case 'S':
                emit(unpadded ? "s" : "ss");
                break;
            case 'p':
            case 'P':
                emit("tt");
                break;
            case 'T':
                emit("HH:mm:ss");
                break;
            case 'R':
                emit("HH:mm");
                break;
            case 'r':
                emit("hh:mm:ss tt");
                break;
            case 'n':
                literal += ' ';
                break;
            case 't':
                literal += ' ';
                break;
            case '%':
                literal += '%';
                break;
            default:
                break;  // no counterpart (time zone, week number...)
        }
    }
    flush();
    return out;
}

namespace {

std::mutex& FormatLock() {
    static std::mutex m;
    return m;
}

std::optional<std::pair<std::string, std::string>>& FormatOverride() {
    static std::optional<std::pair<std::string, std::string>> pictures;
    return pictures;
}

const TLocaleNames& UserNames() {
    static const TLocaleNames names = SystemLocaleNames();
    return names;
}

}  // namespace

std::string ShortDateFormat() {
    {
        std::lock_guard<std::mutex> g(FormatLock());
        if (FormatOverride()) {
            return FormatOverride()->first;
        }
    }
    static const std::string user = SystemShortDateFormat();
    return user;
}

std::string LongTimeFormat() {
    {
        std::lock_guard<std::mutex> g(FormatLock());
        if (FormatOverride()) {
            return FormatOverride()->second;
        }
    }
    static const std::string user = SystemLongTimeFormat();
    return user;
}

void SetDateTimeFormatOverride(const std::string& shortDate, const std::string& longTime) {
    std::lock_guard<std::mutex> g(FormatLock());
    FormatOverride() = std::make_pair(shortDate, longTime);
}

void ClearDateTimeFormatOverride() {
    std::lock_guard<std::mutex> g(FormatLock());
    FormatOverride().reset();
}

std::string FormatShortDate(double dayCount) {
    return FormatDateTime(ShortDateFormat(), dayCount, UserNames());
}

std::string FormatLongTime(double dayCount) {
    return FormatDateTime(LongTimeFormat(), dayCount, UserNames());
}

}  // namespace tk
