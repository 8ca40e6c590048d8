// The owning thread's side of an open port over a pseudo-terminal: a
// notification window registered with the dispatcher, whose data-available
// notices run a handler on the thread that made it, as in the port component.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/posix/PosixDispatcher.h"
#include "support/Pump.h"
#include "toolkit/Messages.h"

namespace ptytest {

constexpr const char* kCom1 = "\\\\.\\COM1";

// The dispatcher, whose output flush waits a minute for the writer's
// answer: a flush or close that ends in time had its answer, however slow
// the machine.
class TOwnedDispatcher : public TRirPosixDispatcher {
  public:
    static constexpr uint32_t kFlushWaitMs = 60000;
    TOwnedDispatcher() : TRirPosixDispatcher(nullptr) { FlushAckWaitMs = kFlushWaitMs; }
};

class TPtyOwner {
  public:
    // The handler gets the count offered; it returns after taking what it wants.
    using THandler = std::function<void(TPtyOwner&, uint32_t count)>;

    TPtyOwner() : d_(std::make_unique<TOwnedDispatcher>()) {
        window_ = tk::CreateNotifyWindow(
            "PalmoPtyOwner", [this](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
                if (msg == MsgTriggerAvail) {
                    ++notices;
                    counts.push_back(static_cast<uint32_t>(w));
                    if (handler) {
                        handler(*this, static_cast<uint32_t>(w));
                    } else {
                        TakeAll(static_cast<uint32_t>(w));
                    }
                }
                return tk::TLResult{0};
            });
    }
    ~TPtyOwner() {
        d_.reset();
        tk::DestroyNotifyWindow(window_);
    }
    TPtyOwner(const TPtyOwner&) = delete;
    TPtyOwner& operator=(const TPtyOwner&) = delete;

    // Opens COM1 and registers the window, as the port component does.
    int32_t Open(uint32_t outSize = 4096, uint32_t baud = 115200) {
        const int32_t r =
            d_->OpenPort(kCom1, baud, lsParityNone, 8, 1, 4096, outSize, opDtrOn | opRtsOn);
        if (r == 0) {
            d_->SetAvailThreshold(1);
            d_->RecomputeHandlerNeed(1);
            d_->AddWindowHandler(window_);
        }
        return r;
    }
    void Close() {
        d_->RemoveWindowHandler(window_);
        d_->ClosePort();
    }
    TRirPosixDispatcher& D() { return *d_; }
    tk::TWindowHandle Window() const { return window_; }
    // Frees the dispatcher (waits for its threads, serving messages).
    void Free() { d_.reset(); }

    // Takes up to n bytes into received; the count taken.
    uint32_t Take(uint32_t n) {
        std::string buf(n, '\0');
        const uint32_t got = d_->ReadBlock(buf.data(), n);
        received.append(buf.data(), got);
        return got;
    }
    uint32_t TakeAll(uint32_t n) { return Take(n); }

    // Serves this thread's messages until done() holds or timeoutMs passed.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
        return testsupport::PumpUntil(done, static_cast<uint32_t>(timeoutMs));
    }

    THandler handler;
    std::string received;
    std::vector<uint32_t> counts;
    int notices = 0;

  private:
    std::unique_ptr<TRirPosixDispatcher> d_;
    tk::TWindowHandle window_ = 0;
};

}  // namespace ptytest
