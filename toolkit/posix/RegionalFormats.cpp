// POSIX body: the user's locale (from LC_ALL, LC_NUMERIC or LANG; for dates
// and times LC_ALL, LC_TIME or LANG) is opened as a locale object of its own,
// so the process-wide locale stays untouched.
#include "toolkit/RegionalFormats.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tk {

char SystemDecimalSeparator() {
    locale_t user = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) {
        // An unknown locale name in the environment: the C locale's point.
        return '.';
    }
    char result = '.';
    const char* radix = nl_langinfo_l(RADIXCHAR, user);
    if (radix != nullptr && std::strlen(radix) == 1) {
        result = radix[0];
    }
    freelocale(user);
    return result;
}

namespace {

// The locale name that decides the time formats, as newlocale resolves "".
std::string TimeLocaleName() {
    for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0') {
            return v;
        }
    }
    return "C";
}

// The C locale's own formats (month/day/two-digit year) read ambiguously
// anywhere; it gets the ISO forms instead.
bool IsPlainLocale(const std::string& name) {
    return name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

// An LC_TIME item of the user's locale; empty for the C locale or when the
// locale cannot be opened.
template <typename Read>
bool WithTimeLocale(Read read) {
    if (IsPlainLocale(TimeLocaleName())) {
        return false;
    }
    locale_t user = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) {
        return false;
    }
    read(user);
    freelocale(user);
    return true;
}

std::string PictureOf(nl_item item, const char* fallback) {
    std::string picture;
    WithTimeLocale([&](locale_t user) {
        const char* pattern = nl_langinfo_l(item, user);
        if (pattern != nullptr) {
            picture = StrftimeToPicture(pattern);
        }
    });
    return picture.empty() ? fallback : picture;
}

}  // namespace

std::string SystemShortDateFormat() {
    return PictureOf(D_FMT, "yyyy-MM-dd");
}

std::string SystemLongTimeFormat() {
    return PictureOf(T_FMT, "HH:mm:ss");
}

TLocaleNames SystemLocaleNames() {
    TLocaleNames names = DefaultLocaleNames();
    WithTimeLocale([&](locale_t user) {
        auto take = [&](nl_item item, std::string& into) {
            const char* v = nl_langinfo_l(item, user);
            if (v != nullptr && *v != '\0') {
                into = v;
            }
        };
        for (int i = 0; i < 12; ++i) {
            take(static_cast<nl_item>(ABMON_1 + i), names.shortMonths[i]);
            take(static_cast<nl_item>(MON_1 + i), names.longMonths[i]);
        }
        for (int i = 0; i < 7; ++i) {
            take(static_cast<nl_item>(ABDAY_1 + i), names.shortDays[i]);
            take(static_cast<nl_item>(DAY_1 + i), names.longDays[i]);
        }
        // Locales with a 24-hour clock name no designators; keep them empty.
        const char* am = nl_langinfo_l(AM_STR, user);
        const char* pm = nl_langinfo_l(PM_STR, user);
        names.am = am != nullptr ? am : "";
        names.pm = pm != nullptr ? pm : "";
    });
    return names;
}

}  // namespace tk
