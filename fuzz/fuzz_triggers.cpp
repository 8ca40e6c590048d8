// The dispatcher's data-trigger scan: random patterns (lengths 1 to 24, with
// or without ignore case) and random data arriving in random reads, through
// the input ring from a random starting place, so that data and matches wrap
// at the ring's end. Every match the scan reports is compared with a plain
// search over the same bytes, and the bytes the handler reads must be the
// stream, in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "serial/dispatch/Dispatcher.h"

namespace {

using fuzz::Check;

// A device on memory with no threads: the fuzzer plays the dispatch thread,
// moving input into the ring and running the scans itself.
class TScanDispatcher : public TRirBaseDispatcher {
  public:
    TScanDispatcher() : TRirBaseDispatcher(nullptr) {}
    ~TScanDispatcher() override { Shutdown(); }

    void Queue(const std::string& bytes) { pending_ += bytes; }
    // An empty ring whose next byte goes to position at.
    void PlaceRing(uint32_t at) {
        tk::TLockGuard in(InputLock);
        InHead = InTail = at;
        InFull = false;
    }
    void AddProc(TTriggerHandlerProc proc) {
        tk::TLockGuard g(GeneralLock);
        auto rec = std::make_unique<TProcHandlerRec>();
        rec->Proc = std::move(proc);
        ProcHandlers.push_back(std::move(rec));
        HandlerServiceNeeded = true;
    }
    // The stream position of the byte being scanned (during a notice).
    uint64_t Scanned() const { return ScanCount; }
    // Scans until every byte in the ring has been scanned.
    void ScanAll() {
        for (int guard = 0; ScanCount < InArrivedNow(); ++guard) {
            Check(guard < 100000);
            ScanInput();
        }
    }
    uint64_t InArrivedNow() {
        tk::TLockGuard in(InputLock);
        return InArrived;
    }

    int32_t DeviceEscape(int32_t) override { return 0; }
    int32_t DeviceFlush(int32_t side) override {
        if (side == flushInput) {
            pending_.clear();
        }
        return 0;
    }
    uint32_t DeviceStatus(TComStat& status) override {
        status.InQue = static_cast<uint32_t>(pending_.size());
        status.OutQue = 0;
        return 0;
    }
    void DeviceReadFailed(int32_t) override {}
    // Already at the line the open asks for: no change, so no wait for the
    // output to drain.
    int32_t DeviceGetState(TLineState& state) override {
        state.BaudRate = 4800;
        state.Parity = lsParityNone;
        state.ByteSize = 8;
        state.StopBits = lsOneStopBit;
        return 0;
    }
    int32_t DeviceRead(char* dest, uint32_t max) override {
        const uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(pending_.size()));
        std::memcpy(dest, pending_.data(), n);
        pending_.erase(0, n);
        return static_cast<int32_t>(n);
    }
    int32_t DeviceSetState(const TLineState&) override { return 0; }
    int32_t DeviceWrite(const char*, uint32_t count) override {
        return static_cast<int32_t>(count);
    }
    bool DeviceWaitEvent(uint32_t&, TDeviceWaitRecord*) override { return false; }
    bool DeviceSetQueues(uint32_t, uint32_t) override { return true; }
    void StartThreads() override {}
    int32_t DeviceOpen(const std::string&, uint32_t, uint32_t) override { return 3; }
    int32_t DeviceClose() override {
        DeviceHandle_ = -1;
        return 0;
    }
    int32_t DeviceIdle() override { return 0; }
    uint8_t DeviceModemLines() override { return 0; }
    bool DeviceFinishWait(uint32_t&, TDeviceWaitRecord*) override { return false; }
    void DeviceCancelWait() override {}
    int32_t DeviceWriteStretch(const char*, uint32_t count) override {
        return static_cast<int32_t>(count);
    }

  private:
    std::string pending_;
};

struct TPattern {
    std::string bytes;
    bool ignoreCase = false;
};

// Where matches end, found the plain way: a match ends at the first byte
// that completes the pattern, and the next match starts after it.
std::vector<uint64_t> PlainMatches(const std::string& s, const TPattern& p) {
    std::vector<uint64_t> ends;
    const size_t len = p.bytes.size();
    size_t from = 0;  // the earliest start of the next match
    for (size_t end = 0; end < s.size(); ++end) {
        if (end + 1 < from + len) {
            continue;
        }
        const size_t start = end + 1 - len;
        bool same = true;
        for (size_t j = 0; same && j < len; ++j) {
            char c = s[start + j];
            if (p.ignoreCase) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            same = c == p.bytes[j];
        }
        if (same) {
            ends.push_back(end);
            from = end + 1;
        }
    }
    return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Where in the ring the stream begins: mostly close before its end.
    const uint32_t back = in.ConsumeIntegralInRange<uint32_t>(0, 255);
    const uint32_t start = back < 192 ? kInputRingSize - 1 - back % 64
                                      : in.ConsumeIntegralInRange<uint32_t>(0, kInputRingSize - 1);
    const uint32_t threshold = in.ConsumeIntegralInRange<uint32_t>(0, 8);
    const bool takeHalf = in.ConsumeBool();
    std::vector<TPattern> patterns(in.ConsumeIntegralInRange<size_t>(1, 4));
    for (TPattern& p : patterns) {
        const size_t len = in.ConsumeIntegralInRange<size_t>(1, kMaxPatternLength);
        p.ignoreCase = in.ConsumeBool();
        p.bytes = in.ConsumeBytesAsString(len);
        if (p.bytes.empty()) {
            p.bytes = "$";
        }
    }

    TScanDispatcher d;
    Check(d.OpenPort("fuzz", 4800, 0, 8, 1, 4096, 64, 0) == 0);
    d.PlaceRing(start);
    TSavedTriggers saved;
    saved.AvailThreshold = threshold;
    saved.Data = std::make_unique<std::vector<TDataTriggerRec>>();
    for (size_t i = 0; i < patterns.size(); ++i) {
        TDataTriggerRec t;
        t.Handle = static_cast<uint32_t>(0x100 + i);
        t.Length = static_cast<uint32_t>(patterns[i].bytes.size());
        t.IgnoreCase = patterns[i].ignoreCase;
        std::copy(patterns[i].bytes.begin(), patterns[i].bytes.end(), t.Pattern.begin());
        saved.Data->push_back(t);
    }
    d.RestoreTriggers(saved);

    std::string received;
    std::vector<std::vector<uint64_t>> found(patterns.size());
    d.AddProc([&](uint32_t msg, uint32_t trigger, int32_t lParam) {
        if (msg == MsgTriggerAvail) {
            const uint32_t want = takeHalf && trigger > 1 ? trigger / 2 : trigger;
            std::string block(want, '\0');
            block.resize(d.ReadBlock(block.data(), want));
            received += block;
        } else if (msg == MsgTriggerData) {
            Check(trigger >= 0x100 && trigger - 0x100 < patterns.size());
            const TPattern& p = patterns[trigger - 0x100];
            Check(static_cast<uint32_t>(lParam & 0xFFFF) == p.bytes.size());
            found[trigger - 0x100].push_back(d.Scanned());
        }
    });

    // The stream, in reads of up to 255 bytes.
    std::string stream;
    while (in.remaining_bytes() > 0) {
        const std::string chunk =
            in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 255));
        stream += chunk;
        d.Queue(chunk);
        d.PullInput();
        d.ScanAll();
        Check(d.InArrivedNow() == stream.size());
    }

    // The handler read a prefix of the stream, in order; the rest waits.
    Check(stream.compare(0, received.size(), received) == 0);
    std::string rest(stream.size() - received.size() + 1, '\0');
    rest.resize(d.ReadBlock(rest.data(), static_cast<uint32_t>(rest.size())));
    Check(received + rest == stream);

    for (size_t i = 0; i < patterns.size(); ++i) {
        Check(found[i] == PlainMatches(stream, patterns[i]));
    }
    return 0;
}
