#include "toolkit/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "support/Pump.h"
#include "toolkit/Clock.h"

namespace {

using tk::kInfinite;
using tk::kWaitObject0;
using tk::kWaitTimeout;

using testsupport::Eventually;

TEST(Event, StatesAndTimeouts) {
    tk::TEvent autoSet(false, true);
    EXPECT_EQ(autoSet.Wait(0), kWaitObject0);
    EXPECT_EQ(autoSet.Wait(0), kWaitTimeout) << "the wait consumed the signal";

    tk::TEvent manual(true, false);
    EXPECT_EQ(manual.Wait(0), kWaitTimeout);
    EXPECT_TRUE(manual.Set());
    EXPECT_EQ(manual.Wait(0), kWaitObject0);
    EXPECT_EQ(manual.Wait(10), kWaitObject0) << "manual reset stays signalled";
    EXPECT_TRUE(manual.Reset());
    EXPECT_EQ(manual.Wait(0), kWaitTimeout);

    const uint32_t start = tk::MonotonicMs();
    EXPECT_EQ(manual.Wait(40), kWaitTimeout);
    EXPECT_GE(tk::MonotonicMs() - start, 35u);
    EXPECT_NE(manual.NativeHandle(), nullptr);
}

TEST(Event, AutoResetSignalTakenByExactlyOneWaiter) {
    tk::TEvent event(false, false);
    tk::TEvent other(false, false);
    std::atomic<int> consumed{0};
    std::atomic<bool> stop{false};
    std::atomic<int> waits[4] = {};  // waits each waiter has finished
    std::vector<std::unique_ptr<tk::TThread>> waiters;
    for (int i = 0; i < 4; ++i) {
        // Half the waiters use the single wait, half the two-event wait.
        const bool either = i % 2 == 1;
        waiters.push_back(std::make_unique<tk::TThread>([&, either, i] {
            while (!stop) {
                const uint32_t r = either ? tk::WaitForEither(event, other, 20) : event.Wait(20);
                if (r == kWaitObject0) {
                    ++consumed;
                }
                ++waits[i];
            }
        }));
    }
    const int rounds = 200;
    for (int i = 1; i <= rounds; ++i) {
        event.Set();
        ASSERT_TRUE(Eventually([&] { return consumed >= i; })) << "signal " << i << " lost";
        ASSERT_EQ(consumed.load(), i) << "one signal released two waiters";
    }
    // Each waiter finishes two more waits, so one of them began after the
    // last signal was taken: a signal left behind would show up.
    int seen[4];
    for (int i = 0; i < 4; ++i) {
        seen[i] = waits[i].load();
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(Eventually([&] { return waits[i] >= seen[i] + 2; }, 60000));
    }
    stop = true;
    waiters.clear();
    EXPECT_EQ(consumed.load(), rounds);
    EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(Event, ManualResetReleasesAllWaiters) {
    tk::TEvent gate(true, false);
    std::atomic<int> released{0};
    std::atomic<int> waiting{0};
    std::vector<std::unique_ptr<tk::TThread>> waiters;
    for (int i = 0; i < 5; ++i) {
        waiters.push_back(std::make_unique<tk::TThread>([&] {
            // The closed gate holds a wait with a time-out, then one without.
            if (gate.Wait(1) == kWaitTimeout) {
                ++waiting;
            }
            if (gate.Wait(kInfinite) == kWaitObject0) {
                ++released;
            }
        }));
    }
    ASSERT_TRUE(Eventually([&] { return waiting == 5; }, 60000));
    EXPECT_EQ(released.load(), 0);
    gate.Set();
    for (auto& t : waiters) {
        EXPECT_TRUE(t->WaitFor(60000));
    }
    EXPECT_EQ(released.load(), 5);
    EXPECT_EQ(gate.Wait(0), kWaitObject0) << "still set after releasing everyone";
}

TEST(Event, WaitForEither) {
    tk::TEvent a(false, false);
    tk::TEvent b(false, false);
    EXPECT_EQ(tk::WaitForEither(a, b, 0), kWaitTimeout);
    const uint32_t start = tk::MonotonicMs();
    EXPECT_EQ(tk::WaitForEither(a, b, 30), kWaitTimeout);
    EXPECT_GE(tk::MonotonicMs() - start, 25u);

    // Both set: the first wins and only it is consumed.
    a.Set();
    b.Set();
    EXPECT_EQ(tk::WaitForEither(a, b, 0), kWaitObject0);
    EXPECT_EQ(tk::WaitForEither(a, b, 0), kWaitObject0 + 1);
    EXPECT_EQ(tk::WaitForEither(a, b, 0), kWaitTimeout);

    // A manual-reset second event is reported but not reset.
    tk::TEvent m(true, true);
    EXPECT_EQ(tk::WaitForEither(a, m, 0), kWaitObject0 + 1);
    EXPECT_EQ(tk::WaitForEither(a, m, 0), kWaitObject0 + 1);

    // The same event twice is a plain wait.
    a.Set();
    EXPECT_EQ(tk::WaitForEither(a, a, 0), kWaitObject0);
    EXPECT_EQ(tk::WaitForEither(a, a, 0), kWaitTimeout);

    // A wait wakes for the event set by another thread (not before: a wait
    // with a time-out on the same two ends with it first).
    std::atomic<uint32_t> got{0xDEAD};
    std::atomic<uint32_t> first{0xDEAD};
    tk::TThread waiter([&] {
        first = tk::WaitForEither(a, b, 1);
        got = tk::WaitForEither(a, b, kInfinite);
    });
    ASSERT_TRUE(Eventually([&] { return first != 0xDEAD; }, 60000));
    EXPECT_EQ(first.load(), kWaitTimeout);
    b.Set();
    ASSERT_TRUE(waiter.WaitFor(60000));
    EXPECT_EQ(got.load(), kWaitObject0 + 1);
    EXPECT_EQ(b.Wait(0), kWaitTimeout) << "the waiter consumed it";
}

TEST(CriticalSection, ReentrantAndExclusive) {
    tk::TCriticalSection cs;
    cs.Enter();
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter());
    std::atomic<int> otherGot{-1};
    auto tryFromOther = [&] {
        tk::TThread t([&] {
            const bool got = cs.TryEnter();
            if (got) {
                cs.Leave();
            }
            otherGot = got ? 1 : 0;
        });
    };
    tryFromOther();
    EXPECT_EQ(otherGot.load(), 0);
    cs.Leave();
    cs.Leave();
    tryFromOther();
    EXPECT_EQ(otherGot.load(), 0) << "still held once";
    cs.Leave();
    tryFromOther();
    EXPECT_EQ(otherGot.load(), 1);

    // Mutual exclusion under contention (plain int: a race would be lost updates).
    int shared = 0;
    {
        std::vector<std::unique_ptr<tk::TThread>> threads;
        for (int i = 0; i < 4; ++i) {
            threads.push_back(std::make_unique<tk::TThread>([&] {
                for (int k = 0; k < 20000; ++k) {
                    tk::TLockGuard outer(cs);
                    tk::TLockGuard inner(cs);
                    ++shared;
                }
            }));
        }
    }
    EXPECT_EQ(shared, 80000);
}

TEST(Counters, InterlockedUnderContention) {
    volatile int32_t counter = 0;
    constexpr int kThreads = 4;
    constexpr int kEach = 50000;
    std::vector<std::vector<int32_t>> seen(kThreads);
    {
        std::vector<std::unique_ptr<tk::TThread>> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.push_back(std::make_unique<tk::TThread>([&, i] {
                seen[i].reserve(kEach);
                for (int k = 0; k < kEach; ++k) {
                    seen[i].push_back(tk::AtomicIncrement(&counter));
                }
            }));
        }
    }
    EXPECT_EQ(counter, kThreads * kEach);
    // Every new value was handed out exactly once.
    std::set<int32_t> all;
    for (const auto& v : seen) {
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kThreads * kEach);
    {
        std::vector<std::unique_ptr<tk::TThread>> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.push_back(std::make_unique<tk::TThread>([&] {
                for (int k = 0; k < kEach; ++k) {
                    tk::AtomicDecrement(&counter);
                }
            }));
        }
    }
    EXPECT_EQ(counter, 0);
    EXPECT_EQ(tk::AtomicDecrement(&counter), -1);
}

TEST(Thread, RunsJoinsAndReportsItself) {
    tk::TEvent go(true, false);
    std::atomic<tk::ThreadId> inside{0};
    tk::TThread t([&] {
        inside = tk::CurrentThreadId();
        go.Wait(kInfinite);
    });
    EXPECT_FALSE(t.WaitFor(20));
    EXPECT_FALSE(t.Finished());
    EXPECT_NE(t.Id(), tk::CurrentThreadId());
    go.Set();
    EXPECT_TRUE(t.WaitFor(60000));
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(inside.load(), t.Id());
    EXPECT_NE(tk::CurrentThreadId(), 0u);

    // The destructor joins: the body's effect is visible right after, also
    // when the body is still waiting when the destructor begins.
    std::atomic<bool> ran{false};
    std::atomic<bool> started{false};
    tk::TEvent late(true, false);
    {
        tk::TThread slow([&] {
            started = true;
            late.Wait(30);  // times out: nobody sets it
            ran = true;
        });
        ASSERT_TRUE(Eventually([&] { return started.load(); }, 60000));
    }
    EXPECT_TRUE(ran);
}

TEST(Thread, PrioritiesAndEscapedExceptions) {
    tk::TEvent go(true, false);
    tk::TThread t([&] { go.Wait(kInfinite); });
    EXPECT_EQ(t.Priority(), tk::TThreadPriority::Normal);
    for (int p = 0; p <= 6; ++p) {
        t.SetPriority(static_cast<tk::TThreadPriority>(p));
        EXPECT_EQ(t.Priority(), static_cast<tk::TThreadPriority>(p));
    }
    t.SetPriority(tk::TThreadPriority::Normal);
    go.Set();
    EXPECT_TRUE(t.WaitFor(60000));
    t.SetPriority(tk::TThreadPriority::Higher);  // on an ended thread: harmless
    EXPECT_EQ(t.Priority(), tk::TThreadPriority::Higher);

    std::atomic<int> reported{0};
    std::string text;
    tk::SetThreadExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            text = ex.what();
        }
        ++reported;
    });
    {
        tk::TThread thrower([] { throw std::runtime_error("body failed"); });
        EXPECT_TRUE(thrower.WaitFor(60000));
        EXPECT_TRUE(thrower.Finished());
    }
    tk::SetThreadExceptionHandler(nullptr);
    EXPECT_EQ(reported.load(), 1);
    EXPECT_EQ(text, "body failed");
}

TEST(Thread, DestroyedByItsOwnBody) {
    // The thread runs on after the test once its object is gone: what it
    // still touches lives as long as the program.
    static tk::TEvent go(true, false);
    static tk::TEvent done(true, false);
    static std::unique_ptr<tk::TThread> self;
    go.Reset();
    done.Reset();
    self = std::make_unique<tk::TThread>([] {
        go.Wait(kInfinite);
        self.reset();  // must neither deadlock nor crash
        done.Set();
    });
    go.Set();
    EXPECT_EQ(done.Wait(60000), kWaitObject0);
    EXPECT_EQ(self, nullptr);
}

TEST(Clock, MonotonicAndConsistent) {
    uint32_t last = tk::MonotonicMs();
    uint64_t lastUs = tk::MonotonicUs();
    for (int i = 0; i < 1000; ++i) {
        const uint32_t now = tk::MonotonicMs();
        const uint64_t nowUs = tk::MonotonicUs();
        EXPECT_GE(static_cast<int32_t>(now - last), 0);
        EXPECT_GE(nowUs, lastUs);
        last = now;
        lastUs = nowUs;
    }
    // Both count the same source: a microsecond reading lies between two
    // millisecond readings around it (give or take the rounding).
    const uint32_t msBefore = tk::MonotonicMs();
    const uint64_t us = tk::MonotonicUs();
    const uint32_t msAfter = tk::MonotonicMs();
    const uint32_t usAsMs = static_cast<uint32_t>(us / 1000);
    EXPECT_LE(static_cast<int32_t>(msBefore - usAsMs), 1);
    EXPECT_LE(static_cast<int32_t>(usAsMs - msAfter), 1);

    const uint32_t before = tk::MonotonicMs();
    const uint64_t beforeUs = tk::MonotonicUs();
    tk::Sleep(25);
    EXPECT_GE(tk::MonotonicMs() - before, 24u);
    EXPECT_GE(tk::MonotonicUs() - beforeUs, 24000u);
}

}  // namespace
