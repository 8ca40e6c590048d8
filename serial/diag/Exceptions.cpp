#include "serial/diag/Exceptions.h"

#include <algorithm>
#include <array>

#include "serial/diag/ErrorCodes.h"
#include "serial/diag/MessageTable.h"

ERirException::ERirException(int32_t code)
    : std::runtime_error(MessageForCode(code)), errorCode_(code) {}

ERirException::ERirException(const std::string& message)
    : std::runtime_error(message), errorCode_(0) {}

namespace {

using TRaiser = void (*)(int32_t);

template <class E>
[[noreturn]] void Raise(int32_t code) {
    throw E(code);
}

struct TCodeClass {
    int32_t code;
    TRaiser raise;
};

// Every code with a class of its own, sorted by code for a binary search.
constexpr auto kCodeClasses = [] {
#define PALMO_RIR_LEAF_ENTRY(name, base, code) TCodeClass{code, &Raise<name>},
#define PALMO_RIR_EXTRA_ENTRY(code, name) TCodeClass{code, &Raise<name>},
    std::array table{PALMO_RIR_LEAVES(PALMO_RIR_LEAF_ENTRY)
                         PALMO_RIR_EXTRA_CODES(PALMO_RIR_EXTRA_ENTRY)};
#undef PALMO_RIR_LEAF_ENTRY
#undef PALMO_RIR_EXTRA_ENTRY
    std::sort(table.begin(), table.end(),
              [](const TCodeClass& a, const TCodeClass& b) { return a.code < b.code; });
    return table;
}();

const TCodeClass* FindClass(int32_t code) {
    auto it = std::lower_bound(kCodeClasses.begin(), kCodeClasses.end(), code,
                               [](const TCodeClass& e, int32_t c) { return e.code < c; });
    return it != kCodeClasses.end() && it->code == code ? &*it : nullptr;
}

}  // namespace

bool HasExceptionClass(int32_t code) {
    return FindClass(code) != nullptr;
}

void RaiseForCode(int32_t code) {
    if (const TCodeClass* entry = FindClass(code)) {
        entry->raise(code);
    }
    if (code == ecOutOfMemory) {
        throw EOutOfMemory();
    }
    if (code <= ecFirstIoError && code >= ecLastIoError) {
        throw EInOutError(-code, MessageForCode(code));
    }
    throw ERirException(kGenericRirMessage);
}

int32_t CheckResult(int32_t code, bool streamingIn) {
    if (code >= 0 || streamingIn) {
        return code;
    }
    RaiseForCode(code);
}
