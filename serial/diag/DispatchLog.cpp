#include "serial/diag/DispatchLog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>

#include "serial/diag/ByteText.h"
#include "serial/diag/DumpFile.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/diag/MessageTable.h"
#include "toolkit/Clock.h"
#include "toolkit/OsInfo.h"
#include "toolkit/RegionalFormats.h"

namespace {

constexpr const char* kVersion = "v4.06";
// Banner texts are cut to this many characters.
constexpr std::size_t kBannerWidth = 80;
constexpr uint32_t kLineWidth = 78;
// Data after the prefix starts in this column; continuation lines are
// indented to it.
constexpr uint32_t kDataColumn = 45;
constexpr uint8_t kLastTelnetOption = 42;
constexpr uint8_t kSubtypeTriggerStatus = 15;
constexpr uint8_t kKindTriggerAlloc = 5;
constexpr uint8_t kKindTriggerDispose = 6;

std::string CompilerName() {
    char text[64];
#if defined(__clang__)
    std::snprintf(text, sizeof text, "Clang %d.%d", __clang_major__, __clang_minor__);
#elif defined(__GNUC__)
    std::snprintf(text, sizeof text, "GNU C++ %d.%d", __GNUC__, __GNUC_MINOR__);
#elif defined(_MSC_VER)
    std::snprintf(text, sizeof text, "Microsoft C++ %d", _MSC_VER);
#else
    std::snprintf(text, sizeof text, "C++");
#endif
    return text;
}

// The separator a picture of the user's formats puts between its fields:
// its first character that is no field letter, space or quote.
char SeparatorIn(const std::string& picture, char fallback) {
    for (const char c : picture) {
        if (std::isalpha(static_cast<unsigned char>(c)) == 0 && c != ' ' && c != '\'') {
            return c;
        }
    }
    return fallback;
}

std::string LocalDateTimeText() {
    // localtime shares one result buffer in the C library; the mutex keeps
    // two dumps from overwriting each other's.
    static std::mutex mutex;
    std::tm parts{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::time_t now = std::time(nullptr);
        if (const std::tm* local = std::localtime(&now)) {
            parts = *local;
        }
    }
    const char date = SeparatorIn(tk::ShortDateFormat(), '/');
    const char time = SeparatorIn(tk::LongTimeFormat(), ':');
    char text[40];
    std::snprintf(text, sizeof text, "%02d%c%02d%c%02d, %02d%c%02d%c%02d", parts.tm_mday, date,
                  parts.tm_mon + 1, date, parts.tm_year % 100, parts.tm_hour, time, parts.tm_min,
                  time, parts.tm_sec);
    return text;
}

std::string Cut(std::string text) {
    if (text.size() > kBannerWidth) {
        text.resize(kBannerWidth);
    }
    return text;
}

std::string TextOf(int32_t code) {
    const char* text = TableText(code);
    return text != nullptr ? text : "";
}

// "%07.7d" of the milliseconds with a point before the last three digits.
std::string TimeText(uint32_t ms) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(ms));
    std::string text = digits;
    text.insert(text.size() - 3, 1, '.');
    return text;
}

void PutUint32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t GetUint32(const uint8_t* in) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | in[i];
    }
    return v;
}

}  // namespace

uint32_t TDispatchLog::Now() const {
    return env_.Clock ? env_.Clock() : tk::MonotonicMs();
}

void TDispatchLog::MarkTimeBase() {
    timeBase_ = Now();
}

int32_t TDispatchLog::InitDispatchLog(uint32_t size) {
    if (hasRing_) {
        ClearDispatchLog();
        return ecOK;
    }
    try {
        std::vector<uint8_t> ring(size);
        // The largest entry the ring accepts has size - 1 bytes in all.
        std::vector<uint8_t> scratch(size > kHeaderSize ? size - kHeaderSize : 0);
        ring_.swap(ring);
        scratch_.swap(scratch);
    } catch (const std::bad_alloc&) {
        return ecOutOfMemory;
    }
    size_ = size;
    hasRing_ = true;
    ClearDispatchLog();
    on_ = true;
    return ecOK;
}

void TDispatchLog::ClearDispatchLog() {
    head_ = 0;
    tail_ = 0;
    free_ = size_;
}

void TDispatchLog::FreeDispatchLog() {
    on_ = false;
    hasRing_ = false;
    std::vector<uint8_t>().swap(ring_);
    std::vector<uint8_t>().swap(scratch_);
    size_ = 0;
    ClearDispatchLog();
}

void TDispatchLog::ResumeDispatchLog() {
    if (hasRing_) {
        on_ = true;
    }
}

void TDispatchLog::PauseDispatchLog() {
    on_ = false;
}

void TDispatchLog::PutBytes(const uint8_t* bytes, uint32_t n) {
    while (n > 0) {
        const uint32_t chunk = std::min(n, size_ - head_);
        std::memcpy(ring_.data() + head_, bytes, chunk);
        bytes += chunk;
        n -= chunk;
        free_ -= chunk;
        head_ += chunk;
        if (head_ == size_) {
            head_ = 0;
        }
    }
}

void TDispatchLog::TakeBytes(uint8_t* out, uint32_t n) {
    while (n > 0) {
        const uint32_t chunk = std::min(n, size_ - tail_);
        if (out != nullptr) {
            std::memcpy(out, ring_.data() + tail_, chunk);
            out += chunk;
        }
        n -= chunk;
        free_ += chunk;
        tail_ += chunk;
        if (tail_ == size_) {
            tail_ = 0;
        }
    }
}

bool TDispatchLog::TakeLogEntry(THeader& header) {
    if (free_ >= size_ || size_ - free_ < kHeaderSize) {
        ClearDispatchLog();
        return false;
    }
    uint8_t raw[kHeaderSize];
    TakeBytes(raw, kHeaderSize);
    header.kind = raw[0];
    header.subtype = raw[1];
    header.time = GetUint32(raw + 4);
    header.value = GetUint32(raw + 8);
    header.length = GetUint32(raw + 12);
    if (header.length > size_ - free_ || header.length > scratch_.size()) {
        // Entries are stored whole, so this means a damaged ring: drop it all.
        ClearDispatchLog();
        return false;
    }
    TakeBytes(scratch_.data(), header.length);
    return true;
}

bool TDispatchLog::AddDispatchEntry(uint8_t kind, uint8_t subtype, uint32_t value, const void* data,
                                    uint32_t length) {
    if (!on_ || !hasRing_) {
        return false;
    }
    if (data == nullptr) {
        length = 0;
    }
    const uint64_t total = uint64_t{kHeaderSize} + length;
    if (total >= size_) {
        return false;
    }
    while (total > free_) {
        // Drops the oldest entry: its header and the data it announces.
        uint8_t raw[kHeaderSize];
        TakeBytes(raw, kHeaderSize);
        TakeBytes(nullptr, GetUint32(raw + 12));
    }
    uint8_t raw[kHeaderSize] = {};
    raw[0] = kind;
    raw[1] = subtype;
    PutUint32(raw + 4, Now() - timeBase_);
    PutUint32(raw + 8, value);
    PutUint32(raw + 12, length);
    PutBytes(raw, kHeaderSize);
    if (length > 0) {
        PutBytes(static_cast<const uint8_t*>(data), length);
    }
    return true;
}

int32_t TDispatchLog::WriteDispatchLogFile(const std::string& fileName, bool append, bool inHex,
                                           bool allHex) {
    if (!hasRing_ || Empty()) {
        FreeDispatchLog();
        return ecOK;
    }
    on_ = false;

    TDumpFile file;
    int32_t result = file.Open(fileName, append);
    if (result != ecOK) {
        return result;
    }

    std::string line;
    auto writeLine = [&file](const std::string& text) {
        file.Write(text);
        file.Write(kLineEnd);
    };
    writeLine(std::string("VIRA ") + kVersion);
    writeLine("Compiler : " + (env_.Compiler.empty() ? CompilerName() : env_.Compiler));
    writeLine("Operating System : " +
              Cut(env_.OsDescription ? env_.OsDescription() : tk::OsDescription()));
    writeLine("Device: " + Cut(deviceName_));
    writeLine("Date/time: " + Cut(env_.DateTime ? env_.DateTime() : LocalDateTimeText()));
    writeLine(TextOf(scLogHeading));
    writeLine(TextOf(scLogRule));

    THeader entry;
    while (TakeLogEntry(entry)) {
        char prefix[128];
        std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08X  ",
                      TimeText(entry.time).c_str(), TextOf(scLogKindBase + entry.kind).c_str(),
                      TextOf(scLogSubtypeBase + entry.subtype).c_str(),
                      static_cast<unsigned>(entry.value));
        line = prefix;
        if (entry.length == 0) {
            if (entry.kind == dlkTelnet) {
                line += '[';
                if (entry.value <= kLastTelnetOption) {
                    line += TextOf(scLogTelnetBase + static_cast<int32_t>(entry.value));
                }
                line += ']';
            }
        } else if (entry.subtype == kSubtypeTriggerStatus &&
                   (entry.kind == kKindTriggerAlloc || entry.kind == kKindTriggerDispose)) {
            static constexpr const char* kStatusKinds[] = {
                "(Not active)",         "(Modem status)",       "(Line status)",
                "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
            if (scratch_[0] < std::size(kStatusKinds)) {
                line += kStatusKinds[scratch_[0]];
            }
        } else {
            uint32_t column = kDataColumn;
            for (uint32_t i = 0; i < entry.length; ++i) {
                const uint8_t byte = scratch_[i];
                std::string text;
                uint32_t width;
                if (allHex && entry.kind == dlkUser) {
                    text = static_cast<char>(byte);
                    width = 1;
                } else {
                    width = AppendByteText(text, byte, inHex, allHex);
                }
                column += width;
                if (column > kLineWidth) {
                    line += kLineEnd;
                    line.append(kDataColumn - 1, ' ');
                    column = width + kDataColumn;
                }
                line += text;
            }
            if (entry.subtype == dlsModemStatus) {
                line += '(';
                bool first = true;
                for (int bit = 0; bit < 8; ++bit) {
                    if (entry.value & (1u << bit)) {
                        if (!first) {
                            line += ' ';
                        }
                        line += TextOf(scLogModemBitBase + bit);
                        first = false;
                    }
                }
                line += ')';
            }
        }
        writeLine(line);
    }

    result = file.Close();
    FreeDispatchLog();
    return result;
}
