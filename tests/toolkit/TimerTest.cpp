// The timer component on real message loops: the thread it fires on, its
// interval and enabled rules, and a plain headless loop serving it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "support/Pump.h"
#include "toolkit/Clock.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"
#include "toolkit/Timer.h"

namespace {

using testsupport::PumpUntil;

// System timers may fire up to a clock tick early against the monotonic
// clock (Windows counts them in ticks of about 15.6 ms).
constexpr uint32_t kTick = 16;

void PumpFor(uint32_t ms) {
    PumpUntil([] { return false; }, ms);
}

// Records when a timer fires (monotonic milliseconds) and on which thread.
struct TFirings {
    std::vector<uint32_t> at;
    std::vector<tk::ThreadId> threads;
    explicit TFirings(tk::TTimer& timer) {
        timer.OnTimer = [this](tk::TComponent&) {
            at.push_back(tk::MonotonicMs());
            threads.push_back(tk::CurrentThreadId());
        };
    }
    size_t Count() const { return at.size(); }
};

}  // namespace

TEST(Timer, FiresOnTheThreadThatCreatedIt) {
    tk::TTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    timer.SetInterval(40);
    TFirings mine(timer);
    const uint32_t start = tk::MonotonicMs();

    // A timer of another thread fires there, while that thread pumps; this
    // thread's pumping does not serve it.
    std::atomic<int> theirs{0};
    std::atomic<tk::ThreadId> theirThread{0};
    tk::TEvent stop(true, false);
    tk::TThread other([&] {
        tk::TTimer t(nullptr);
        t.SetInterval(30);
        t.OnTimer = [&](tk::TComponent&) {
            theirThread = tk::CurrentThreadId();
            ++theirs;
        };
        PumpUntil([&] { return stop.Wait(0) == tk::kWaitObject0; }, 20000);
    });

    ASSERT_TRUE(PumpUntil([&] { return mine.Count() >= 3 && theirs >= 3; }));
    stop.Set();
    ASSERT_TRUE(other.WaitFor(5000));
    EXPECT_EQ(theirThread.load(), other.Id());
    for (const tk::ThreadId id : mine.threads) {
        EXPECT_EQ(id, tk::CurrentThreadId());
    }
    // The n-th firing comes no sooner than n intervals after the start (a
    // system timer may make up for a late firing with the next one).
    EXPECT_GE(mine.at[0] - start, 40u - kTick);
    for (size_t i = 1; i < mine.Count(); ++i) {
        EXPECT_GE(mine.at[i] - start, 40u * (i + 1) - kTick) << i;
    }

    // A thread that is busy for several intervals gets one firing, not a backlog.
    const size_t before = mine.Count();
    tk::Sleep(200);
    tk::TMessage m;
    int taken = 0;
    while (tk::TakeMessage(m)) {
        tk::DispatchTaken(m);
        ++taken;
    }
    EXPECT_EQ(mine.Count(), before + 1);
    EXPECT_EQ(taken, 1);
}

TEST(Timer, IntervalAndEnabledRules) {
    tk::TTimer timer(nullptr);
    TFirings f(timer);

    // Disabled: silent, whatever its interval does.
    timer.SetEnabled(false);
    timer.SetInterval(50);
    PumpFor(250);
    EXPECT_EQ(f.Count(), 0u);

    // Interval 0 never fires, enabled or not.
    timer.SetInterval(0);
    timer.SetEnabled(true);
    PumpFor(250);
    EXPECT_EQ(f.Count(), 0u);
    EXPECT_TRUE(timer.Enabled());

    // Enabling starts the countdown from zero.
    timer.SetInterval(150);
    uint32_t since = tk::MonotonicMs();
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 1; }));
    EXPECT_GE(f.at[0] - since, 150u - kTick);

    // A new interval on a running timer restarts its countdown: 300 ms on,
    // a change to 250 ms puts the firing 250 ms after the change, not at 400.
    timer.SetInterval(400);
    PumpFor(300);
    EXPECT_EQ(f.Count(), 1u);
    since = tk::MonotonicMs();
    timer.SetInterval(250);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 2; }));
    EXPECT_GE(f.at[1] - since, 250u - kTick);

    // Setting the same interval again changes nothing (the countdown goes on).
    since = f.at[1];
    PumpFor(150);
    timer.SetInterval(250);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 3; }));
    EXPECT_LT(f.at[2] - since, 390u);

    // A new interval on a stopped timer leaves it stopped.
    timer.SetEnabled(false);
    timer.SetInterval(60);
    PumpFor(250);
    EXPECT_EQ(f.Count(), 3u);
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 4; }));

    // Disabled from its own event, as the receiver's loss timer does.
    timer.OnTimer = [&](tk::TComponent& sender) {
        static_cast<tk::TTimer&>(sender).SetEnabled(false);
        f.at.push_back(tk::MonotonicMs());
    };
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 5; }));
    PumpFor(250);
    EXPECT_EQ(f.Count(), 5u);
    EXPECT_FALSE(timer.Enabled());
}

TEST(Timer, OwnedAndServedByAHeadlessLoop) {
    // A timer freed with its owner stops: nothing of it fires afterwards.
    int stray = 0;
    {
        tk::TComponent owner(nullptr);
        auto* t = new tk::TTimer(&owner);
        t->SetInterval(20);
        t->OnTimer = [&](tk::TComponent&) { ++stray; };
        EXPECT_EQ(owner.ComponentCount(), 1u);
        EXPECT_EQ(t->Owner(), &owner);
    }
    // Destroyed on another thread (which cannot take its window away): the
    // window left behind reaches nothing and goes with the next pumping,
    // so nothing is left to take afterwards.
    {
        auto t = std::make_unique<tk::TTimer>(nullptr);
        t->SetInterval(20);
        t->OnTimer = [&](tk::TComponent&) { ++stray; };
        tk::TThread other([&t] { t.reset(); });
        ASSERT_TRUE(other.WaitFor(5000));
        EXPECT_EQ(t, nullptr);
    }
    PumpFor(100);
    EXPECT_EQ(stray, 0);
    tk::TMessage m;
    EXPECT_FALSE(tk::TakeMessage(m));

    // The loop of a program without windows: wait, then take and dispatch
    // until the quit request. A long wait ends when the timer falls due.
    tk::TTimer timer(nullptr);
    timer.SetInterval(50);
    int firings = 0;
    timer.OnTimer = [&](tk::TComponent&) {
        if (++firings == 3) {
            tk::PostQuitMessage(7);
        }
    };
    const uint32_t start = tk::MonotonicMs();
    int exitCode = -1;
    int waits = 0;
    while (exitCode < 0 && tk::MonotonicMs() - start < 10000) {
        ++waits;
        EXPECT_TRUE(tk::WaitForMessage(5000)) << "woken by the timer, not the time-out";
        tk::TMessage m;
        while (tk::TakeMessage(m)) {
            if (m.msg == tk::kMsgQuit) {
                exitCode = static_cast<int>(m.wParam);
                break;
            }
            tk::DispatchTaken(m);
        }
    }
    EXPECT_EQ(exitCode, 7);
    EXPECT_EQ(firings, 3);
    EXPECT_GE(tk::MonotonicMs() - start, 150u - kTick);
    EXPECT_LT(tk::MonotonicMs() - start, 5000u);
    EXPECT_GE(waits, 3);
}

TEST(Timer, RestartPostponesTheFiring) {
    tk::TTimer timer(nullptr);
    timer.SetInterval(200);
    TFirings f(timer);
    // Restarts every 50 ms keep it from firing; it then fires one interval
    // after the last restart, and goes on at its interval.
    uint32_t last = 0;
    for (int i = 0; i < 8; ++i) {
        timer.Restart();
        last = tk::MonotonicMs();
        PumpFor(50);
    }
    EXPECT_EQ(f.Count(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 2; }));
    EXPECT_GE(f.at[0] - last, 200u - kTick);
    EXPECT_LT(f.at[0] - last, 200u + 150u);
    EXPECT_GE(f.at[1] - f.at[0], 200u - kTick);

    // A stopped timer starts again from zero.
    timer.SetEnabled(false);
    timer.Restart();
    EXPECT_TRUE(timer.Enabled());
    const uint32_t since = tk::MonotonicMs();
    ASSERT_TRUE(PumpUntil([&] { return f.Count() == 3; }));
    EXPECT_GE(f.at[2] - since, 200u - kTick);
}
