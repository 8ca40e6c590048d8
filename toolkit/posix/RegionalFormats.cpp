// POSIX body: the user's locale (from LC_ALL, LC_NUMERIC or LANG) is opened
// as a locale object of its own, so the process-wide locale stays untouched.
#include "toolkit/RegionalFormats.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

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

}  // namespace tk
