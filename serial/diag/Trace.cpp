#include "serial/diag/Trace.h"

#include <new>

#include "serial/diag/ByteText.h"
#include "serial/diag/DumpFile.h"
#include "serial/diag/ErrorCodes.h"

namespace {

// Data lines of both dumps hold at most this many columns.
constexpr uint32_t kLineWidth = 78;

}  // namespace

int32_t TTraceRecorder::InitTrace(uint32_t capacity) {
    if (!ring_.empty()) {
        ClearTrace();
        on_ = true;
        return ecOK;
    }
    if (capacity > kMaxCapacity) {
        return ecBadArgument;
    }
    try {
        ring_.assign(size_t{capacity} * 2, 0);
    } catch (const std::bad_alloc&) {
        return ecOutOfMemory;
    }
    capacity_ = capacity;
    next_ = 0;
    wrapped_ = false;
    on_ = true;
    return ecOK;
}

void TTraceRecorder::AddTraceEntry(uint8_t kind, uint8_t data) {
    if (ring_.empty()) {
        return;
    }
    ring_[size_t{next_} * 2] = kind;
    ring_[size_t{next_} * 2 + 1] = data;
    if (++next_ >= capacity_) {
        next_ = 0;
        wrapped_ = true;
    }
}

int32_t TTraceRecorder::ClearTrace() {
    next_ = 0;
    wrapped_ = false;
    return ecOK;
}

void TTraceRecorder::ResumeTrace() {
    if (!ring_.empty()) {
        on_ = true;
    }
}

void TTraceRecorder::PauseTrace() {
    on_ = false;
}

void TTraceRecorder::FreeTrace() {
    on_ = false;
    std::vector<uint8_t>().swap(ring_);
    capacity_ = 0;
    next_ = 0;
    wrapped_ = false;
}

int32_t TTraceRecorder::WriteTraceFile(const std::string& fileName, bool append, bool inHex,
                                       bool allHex) {
    if (ring_.empty()) {
        return ecOK;
    }
    on_ = false;
    if (!wrapped_ && next_ == 0) {
        FreeTrace();
        return ecOK;
    }

    TDumpFile file;
    int32_t result = file.Open(fileName, append);
    if (result != ecOK) {
        FreeTrace();
        return result;
    }

    const uint32_t count = EntryCount();
    uint32_t index = wrapped_ ? next_ : 0;
    uint8_t previousKind = 0;
    uint32_t column = 0;
    std::string text;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t kind = ring_[size_t{index} * 2];
        const uint8_t data = ring_[size_t{index} * 2 + 1];
        if (++index >= capacity_) {
            index = 0;
        }
        if (kind != previousKind) {
            if (i != 0) {
                // Ends the data line and leaves one empty line.
                file.Write(kLineEnd);
                file.Write(kLineEnd);
            }
            column = 0;
            if (kind == trReceive) {
                file.Write("Receive: ");
            } else if (kind == trTransmit) {
                file.Write("Transmit: ");
            } else {
                file.Write("Special-");
                file.Write(static_cast<char>(kind));
                file.Write(": ");
            }
            file.Write(kLineEnd);
            previousKind = kind;
        }
        text.clear();
        const uint32_t width = AppendByteText(text, data, inHex, allHex);
        column += width;
        if (column > kLineWidth) {
            file.Write(kLineEnd);
            column = width;
        }
        file.Write(text);
    }

    result = file.Close();
    FreeTrace();
    return result;
}
