#include "serial/Timing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toolkit/Messages.h"
#include "toolkit/Sync.h"

namespace {

constexpr uint32_t kTick = kEventTimerTickMs;
// The last tick before the millisecond clock wraps (a short one of 26 ms).
constexpr uint32_t kLastTick = 0xFFFFFFFFu / kTick;

TEST(EventTimer, TicksCountFromTheNextTickAndTheLongestTimerIsCapped) {
    EventTimer t;
    // Armed with 0 ticks in the middle of a tick: still running until the tick moves on.
    StartEventTimerAt(t, 0, 1000 * kTick + 10);
    EXPECT_EQ(t.start, 1000);
    EXPECT_EQ(t.expiry, 1000);
    EXPECT_FALSE(EventTimerExpiredAt(t, 1000 * kTick + 10));
    EXPECT_FALSE(EventTimerExpiredAt(t, 1001 * kTick - 1));
    EXPECT_TRUE(EventTimerExpiredAt(t, 1001 * kTick));

    // 36 ticks: runs out when the counter is past start + 36.
    StartEventTimerAt(t, 36, 0);
    EXPECT_FALSE(EventTimerExpiredAt(t, 36 * kTick + kTick - 1));
    EXPECT_TRUE(EventTimerExpiredAt(t, 37 * kTick));

    StartEventTimerAt(t, 40000000, 5 * kTick);
    EXPECT_EQ(t.expiry - t.start, kMaxEventTimerTicks);
    EventTimer capped;
    StartEventTimerAt(capped, kMaxEventTimerTicks, 5 * kTick);
    EXPECT_EQ(capped.expiry, t.expiry);

    // A negative count has run out at once.
    StartEventTimerAt(t, -3, 100 * kTick);
    EXPECT_TRUE(EventTimerExpiredAt(t, 100 * kTick));
}

TEST(EventTimer, RunsOutOnTimeAcrossTheClockWrap) {
    EventTimer t;
    // Armed on the very last tick for 10 ticks: 0 follows kLastTick, so the
    // counter has moved 10 ticks at tick 9 and more than 10 at tick 10.
    StartEventTimerAt(t, 10, 0xFFFFFFF0u);
    EXPECT_EQ(static_cast<uint32_t>(t.start), kLastTick);
    EXPECT_FALSE(EventTimerExpiredAt(t, 0xFFFFFFFFu));
    EXPECT_FALSE(EventTimerExpiredAt(t, 0));
    EXPECT_FALSE(EventTimerExpiredAt(t, 9 * kTick + kTick - 1));
    EXPECT_TRUE(EventTimerExpiredAt(t, 10 * kTick));

    // 100000 ticks armed 90314 ticks before the last one: runs out 9686 ticks after the wrap.
    StartEventTimerAt(t, 100000, (kLastTick - 90314) * kTick);
    EXPECT_FALSE(EventTimerExpiredAt(t, kLastTick * kTick));
    EXPECT_FALSE(EventTimerExpiredAt(t, 9685 * kTick));
    EXPECT_TRUE(EventTimerExpiredAt(t, 9686 * kTick));

    // The longest timer armed just before the wrap keeps running after it.
    StartEventTimerAt(t, kMaxEventTimerTicks, (kLastTick - 5) * kTick);
    EXPECT_FALSE(EventTimerExpiredAt(t, 0));
    EXPECT_FALSE(EventTimerExpiredAt(t, 1000000u * kTick));
    EXPECT_TRUE(EventTimerExpiredAt(t, static_cast<uint32_t>(kMaxEventTimerTicks) * kTick));

    // A 0-tick timer on the last tick runs out when the counter wraps to 0.
    StartEventTimerAt(t, 0, 0xFFFFFFFFu);
    EXPECT_FALSE(EventTimerExpiredAt(t, 0xFFFFFFFFu));
    EXPECT_TRUE(EventTimerExpiredAt(t, 0));
}

TEST(EventTimer, RunsOutOnTheRealClock) {
    const uint32_t before = MillisecondClock();
    EventTimer t;
    StartEventTimer(t, 1);
    while (!EventTimerExpired(t)) {
        tk::Sleep(5);
    }
    // One tick has passed completely: at least 55 ms, at most two ticks, since the start.
    const uint32_t elapsed = MillisecondClock() - before;
    EXPECT_GE(elapsed, kTick);
}

// Runs body on a thread of its own, so the thread's message queue starts empty.
void OnFreshThread(const std::function<void()>& body) {
    tk::TThread thread(body);
    thread.WaitFor(tk::kInfinite);
}

TEST(PumpOneMessage, HandlesOneMessageAndKeepsAQuitRequestPending) {
    OnFreshThread([] {
        // Nothing queued: returns at once.
        PumpOneMessage();

        std::vector<uint32_t> seen;
        const tk::TWindowHandle w = tk::CreateNotifyWindow(
            "PalmoPumpTest", [&seen](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) {
                seen.push_back(msg);
                return tk::TLResult{0};
            });
        ASSERT_NE(w, 0u);
        ASSERT_TRUE(tk::PostToWindow(w, tk::kMsgUser + 1, 0, 0));
        ASSERT_TRUE(tk::PostToWindow(w, tk::kMsgUser + 2, 0, 0));
        tk::PostQuitMessage(7);

        // One message per call, in order.
        PumpOneMessage();
        EXPECT_EQ(seen, std::vector<uint32_t>{tk::kMsgUser + 1});
        PumpOneMessage();
        EXPECT_EQ(seen, (std::vector<uint32_t>{tk::kMsgUser + 1, tk::kMsgUser + 2}));

        // The quit request is taken and made again, several times over.
        PumpOneMessage();
        PumpOneMessage();
        tk::TMessage m;
        ASSERT_TRUE(tk::TakeMessage(m));
        EXPECT_EQ(m.msg, tk::kMsgQuit);
        EXPECT_EQ(m.wParam, 7u);
        EXPECT_FALSE(tk::TakeMessage(m));
        EXPECT_EQ(seen.size(), 2u);
        tk::DestroyNotifyWindow(w);
    });
}

}  // namespace
