// Decimal integers in text: the one conversion behind NMEA integer fields,
// the window's port and baud entries and the companion programs' options.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <string_view>

namespace tk {

// The whole text as a decimal integer of type T: an optional sign (a minus
// only for signed types) and at least one digit, within T's range. Anything
// else fails (false, value untouched).
template <std::integral T>
bool TryStrToInt(std::string_view text, T& value) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size() || (negative && !std::is_signed_v<T>)) {
        return false;
    }
    uint64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') {
            return false;
        }
        if (__builtin_mul_overflow(magnitude, uint64_t{10}, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<uint64_t>(c - '0'), &magnitude)) {
            return false;
        }
    }
    // A negative number reaches one further than a positive one.
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
    if (magnitude > limit) {
        return false;
    }
    if constexpr (std::is_signed_v<T>) {
        value = negative ? static_cast<T>(0 - magnitude) : static_cast<T>(magnitude);
    } else {
        value = static_cast<T>(magnitude);
    }
    return true;
}

}  // namespace tk
