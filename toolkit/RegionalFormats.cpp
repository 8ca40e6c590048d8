// The portable half of the regional formats: caching and the override.
#include "toolkit/RegionalFormats.h"

#include <atomic>

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

}  // namespace tk
