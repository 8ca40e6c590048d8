// The owning thread's side of a dispatcher in tests: a notification window
// of the test thread, registered as a handler, that records each notice and
// runs a handler that takes bytes from the dispatcher.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "serial/Timing.h"
#include "support/Pump.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/Messages.h"

struct TNotice {
    uint32_t msg = 0;
    uint32_t trigger = 0;
    int32_t lParam = 0;
};

class TNoticeWindow {
  public:
    // take: how many bytes of an offered count the handler takes (default all).
    explicit TNoticeWindow(TRirBaseDispatcher& d) : d_(d) {
        window_ = tk::CreateNotifyWindow("PalmoTestNotices", [this](tk::TWindowHandle, uint32_t msg,
                                                                    tk::TWParam w, tk::TLParam l) {
            notices.push_back({msg, static_cast<uint32_t>(w), static_cast<int32_t>(l)});
            if (msg == MsgTriggerAvail) {
                const uint32_t want =
                    take ? take(static_cast<uint32_t>(w)) : static_cast<uint32_t>(w);
                std::string buf(want, '\0');
                received.append(buf.data(), d_.ReadBlock(buf.data(), want));
            }
            if (onNotice) {
                onNotice(msg);
            }
            return tk::TLResult{0};
        });
    }
    ~TNoticeWindow() { tk::DestroyNotifyWindow(window_); }
    TNoticeWindow(const TNoticeWindow&) = delete;
    TNoticeWindow& operator=(const TNoticeWindow&) = delete;

    tk::TWindowHandle Window() const { return window_; }
    // Counts offered by the data-available notices, in order.
    std::vector<uint32_t> AvailCounts() const {
        std::vector<uint32_t> counts;
        for (const TNotice& n : notices) {
            if (n.msg == MsgTriggerAvail) {
                counts.push_back(n.trigger);
            }
        }
        return counts;
    }

    std::function<uint32_t(uint32_t)> take;
    std::function<void(uint32_t)> onNotice;
    std::vector<TNotice> notices;
    std::string received;

  private:
    TRirBaseDispatcher& d_;
    tk::TWindowHandle window_ = 0;
};

using testsupport::PumpUntil;
