// Win32 body: the user's decimal separator, date and time pictures and names
// from the locale settings.
#include "toolkit/RegionalFormats.h"

#include <windows.h>

#include <string>

namespace tk {

char SystemDecimalSeparator() {
    char buffer[8] = {};
    const int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer,
                                      static_cast<int>(sizeof buffer));
    // The length counts the terminating zero: 2 is a single-byte separator.
    if (length == 2) {
        return buffer[0];
    }
    return '.';
}

namespace {

// A locale string of the user's settings; empty when the system has none.
std::string LocaleString(LCTYPE type) {
    char buffer[128] = {};
    const int length =
        GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, static_cast<int>(sizeof buffer));
    if (length <= 1) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(length - 1));
}

}  // namespace

std::string SystemShortDateFormat() {
    const std::string picture = LocaleString(LOCALE_SSHORTDATE);
    return picture.empty() ? "yyyy-MM-dd" : picture;
}

std::string SystemLongTimeFormat() {
    const std::string picture = LocaleString(LOCALE_STIMEFORMAT);
    return picture.empty() ? "HH:mm:ss" : picture;
}

TLocaleNames SystemLocaleNames() {
    TLocaleNames names = DefaultLocaleNames();
    auto take = [](LCTYPE type, std::string& into) {
        std::string v = LocaleString(type);
        if (!v.empty()) {
            into = v;
        }
    };
    for (int i = 0; i < 12; ++i) {
        take(static_cast<LCTYPE>(LOCALE_SABBREVMONTHNAME1 + i), names.shortMonths[i]);
        take(static_cast<LCTYPE>(LOCALE_SMONTHNAME1 + i), names.longMonths[i]);
    }
    // The system's day names start on Monday; ours on Sunday.
    for (int i = 0; i < 7; ++i) {
        const int ours = (i + 1) % 7;
        take(static_cast<LCTYPE>(LOCALE_SABBREVDAYNAME1 + i), names.shortDays[ours]);
        take(static_cast<LCTYPE>(LOCALE_SDAYNAME1 + i), names.longDays[ours]);
    }
    // A 24-hour locale may name no designators; they stay empty then.
    names.am = LocaleString(LOCALE_S1159);
    names.pm = LocaleString(LOCALE_S2359);
    return names;
}

}  // namespace tk
