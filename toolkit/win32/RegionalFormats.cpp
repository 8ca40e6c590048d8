// Win32 body: the user's decimal separator from the locale settings.
#include "toolkit/RegionalFormats.h"

#include <windows.h>

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

}  // namespace tk
