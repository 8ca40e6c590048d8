#include "toolkit/Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/Pump.h"
#include "toolkit/Clock.h"
#include "toolkit/Sync.h"

namespace {

using tk::kInfinite;
using tk::kMsgUser;
using tk::kWaitObject0;

constexpr uint32_t kPing = kMsgUser + 1;
constexpr uint32_t kLate = kMsgUser + 2;
constexpr uint32_t kBounce = kMsgUser + 3;

struct Call {
    tk::TWindowHandle window;
    uint32_t msg;
    tk::TWParam w;
    tk::TLParam l;
    tk::ThreadId thread;
};

// What a window procedure saw, readable from any thread.
struct Recorder {
    std::mutex m;
    std::vector<Call> calls;
    tk::TWindowProc Proc() {
        return [this](tk::TWindowHandle h, uint32_t msg, tk::TWParam w, tk::TLParam l) {
            std::lock_guard lk(m);
            calls.push_back({h, msg, w, l, tk::CurrentThreadId()});
            return static_cast<tk::TLResult>(w * 2);
        };
    }
    size_t Count(uint32_t msg) {
        std::lock_guard lk(m);
        size_t n = 0;
        for (const Call& c : calls) {
            n += c.msg == msg;
        }
        return n;
    }
    std::vector<Call> Calls() {
        std::lock_guard lk(m);
        return calls;
    }
};

using testsupport::Eventually;

// Takes and dispatches everything waiting; returns how many were posted.
int Drain() {
    int n = 0;
    tk::TMessage m;
    while (tk::TakeMessage(m)) {
        tk::DispatchTaken(m);
        ++n;
    }
    return n;
}

// A thread that owns one window and pumps its messages until told to stop.
class PumpingOwner {
  public:
    explicit PumpingOwner(tk::TWindowProc proc, bool startPumping = true)
        : proc_(std::move(proc)), pump_(true, startPumping) {
        thread_ = std::make_unique<tk::TThread>([this] { Run(); });
        EXPECT_EQ(ready_.Wait(5000), kWaitObject0);
    }
    ~PumpingOwner() { Stop(); }
    void Stop() {
        stop_ = true;
        pump_.Set();
        if (thread_) {
            tk::PostToWindow(window_, kMsgUser, 0, 0);  // wakes the pump
            thread_.reset();
        }
    }
    void StartPumping() { pump_.Set(); }
    tk::TWindowHandle Window() const { return window_; }
    tk::ThreadId Id() const { return id_; }

  private:
    void Run() {
        window_ = tk::CreateNotifyWindow("PalmoTestWindow", proc_);
        id_ = tk::CurrentThreadId();
        ready_.Set();
        pump_.Wait(kInfinite);
        while (!stop_) {
            tk::WaitForMessage(50);
            Drain();
        }
        tk::DestroyNotifyWindow(window_);
    }
    tk::TWindowProc proc_;
    tk::TEvent pump_;
    tk::TEvent ready_{true, false};
    std::atomic<bool> stop_{false};
    tk::TWindowHandle window_ = 0;
    tk::ThreadId id_ = 0;
    std::unique_ptr<tk::TThread> thread_;
};

TEST(Messages, PostTakeAndDispatchOnOwnerThread) {
    Recorder rec;
    const tk::TWindowHandle w = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc());
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(tk::IsWindowAlive(w));
    {
        tk::TThread poster([&] {
            EXPECT_TRUE(tk::PostToWindow(w, kPing, 21, -4));
            EXPECT_TRUE(tk::PostToWindow(w, kPing, 22, -5));
        });
    }
    ASSERT_TRUE(tk::WaitForMessage(5000));
    tk::TMessage m;
    ASSERT_TRUE(tk::TakeMessage(m));
    EXPECT_EQ(m.window, w);
    EXPECT_EQ(m.msg, kPing);
    EXPECT_EQ(m.wParam, 21u);
    EXPECT_EQ(m.lParam, -4);
    EXPECT_EQ(tk::DispatchTaken(m), 42);
    ASSERT_TRUE(tk::TakeMessage(m));
    EXPECT_EQ(m.wParam, 22u);
    tk::DispatchTaken(m);
    EXPECT_FALSE(tk::TakeMessage(m));

    const auto calls = rec.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].thread, tk::CurrentThreadId());
    EXPECT_EQ(calls[1].l, -5);

    // A send from the owner thread runs the procedure at once.
    tk::TLResult r = 0;
    EXPECT_TRUE(tk::SendToWindow(w, kPing, 50, 0, 0, &r));
    EXPECT_EQ(r, 100);
    // System message numbers do not reach the procedure; the timer does.
    EXPECT_TRUE(tk::SendToWindow(w, 0x0010, 1, 0, 0, &r));
    EXPECT_TRUE(tk::SendToWindow(w, tk::kMsgTimer, 1, 0, 0, &r));
    EXPECT_EQ(rec.Count(0x0010), 0u);
    EXPECT_EQ(rec.Count(tk::kMsgTimer), 1u);

    // An empty queue: the wait times out.
    const uint32_t start = tk::MonotonicMs();
    EXPECT_FALSE(tk::WaitForMessage(30));
    EXPECT_GE(tk::MonotonicMs() - start, 25u);
    EXPECT_TRUE(tk::DestroyNotifyWindow(w));
}

TEST(Messages, SendServedWhileOwnerPumps) {
    Recorder rec;
    PumpingOwner owner(rec.Proc());
    tk::TLResult r = 0;
    ASSERT_TRUE(tk::SendToWindow(owner.Window(), kPing, 7, 3, 5000, &r));
    EXPECT_EQ(r, 14);
    const auto calls = rec.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].thread, owner.Id()) << "the procedure runs on the owner thread";
    EXPECT_EQ(calls[0].window, owner.Window());

    // Many senders at once are all served, each with its own result.
    std::atomic<int> ok{0};
    {
        std::vector<std::unique_ptr<tk::TThread>> senders;
        for (int i = 0; i < 4; ++i) {
            senders.push_back(std::make_unique<tk::TThread>([&, i] {
                for (int k = 0; k < 25; ++k) {
                    tk::TLResult res = 0;
                    const tk::TWParam v = static_cast<tk::TWParam>(i * 100 + k);
                    if (tk::SendToWindow(owner.Window(), kPing, v, 0, 5000, &res) &&
                        res == static_cast<tk::TLResult>(v * 2)) {
                        ++ok;
                    }
                }
            }));
        }
    }
    EXPECT_EQ(ok.load(), 100);
}

TEST(Messages, TimedOutSendIsNeverDeliveredLater) {
    Recorder rec;
    PumpingOwner owner(rec.Proc(), /*startPumping=*/false);
    const uint32_t start = tk::MonotonicMs();
    tk::TLResult r = 123;
    EXPECT_FALSE(tk::SendToWindow(owner.Window(), kLate, 1, 0, 100, &r));
    const uint32_t took = tk::MonotonicMs() - start;
    EXPECT_GE(took, 90u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(r, 123) << "no result for a send that failed";

    // The owner now pumps: the late message must not arrive, later ones do.
    owner.StartPumping();
    ASSERT_TRUE(tk::SendToWindow(owner.Window(), kPing, 2, 0, 5000, &r));
    EXPECT_EQ(r, 4);
    ASSERT_TRUE(tk::SendToWindow(owner.Window(), kPing, 3, 0, 5000, &r));
    owner.Stop();
    EXPECT_EQ(rec.Count(kLate), 0u);
    EXPECT_EQ(rec.Count(kPing), 2u);
}

TEST(Messages, CrossSendsDoNotDeadlock) {
    // The procedure of window B sends back to window A while A's thread is
    // itself waiting for its send to B: A's thread serves that send.
    Recorder recA;
    std::atomic<tk::TWindowHandle> windowA{0};
    std::atomic<tk::TLResult> bounced{0};
    PumpingOwner b([&](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
        if (msg == kBounce) {
            tk::TLResult r = 0;
            if (tk::SendToWindow(windowA, kPing, w + 1, 0, 5000, &r)) {
                bounced = r;
            }
        }
        return static_cast<tk::TLResult>(w);
    });
    std::atomic<bool> sentOk{false};
    tk::TEvent aReady(true, false);
    tk::TThread a([&] {
        windowA = tk::CreateNotifyWindow("PalmoTestWindow", recA.Proc());
        aReady.Set();
        tk::TLResult r = 0;
        sentOk = tk::SendToWindow(b.Window(), kBounce, 10, 0, 5000, &r) && r == 10;
        tk::DestroyNotifyWindow(windowA);
    });
    ASSERT_EQ(aReady.Wait(5000), kWaitObject0);
    ASSERT_TRUE(a.WaitFor(10000));
    EXPECT_TRUE(sentOk);
    EXPECT_EQ(bounced.load(), 22);
    ASSERT_EQ(recA.Count(kPing), 1u);

    // Two owners sending to each other at the same moment, neither pumping
    // except inside its own send.
    Recorder r1, r2;
    std::atomic<tk::TWindowHandle> w1{0}, w2{0};
    std::atomic<int> ok{0}, finished{0};
    tk::TEvent go(true, false);
    auto body = [&](Recorder& rec, std::atomic<tk::TWindowHandle>& mine,
                    std::atomic<tk::TWindowHandle>& theirs) {
        mine = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc());
        go.Wait(kInfinite);
        for (int i = 0; i < 20; ++i) {
            ok += tk::SendToWindow(theirs, kPing, 1, 0, 5000, nullptr);
        }
        // Keep serving until the other side is done with this window.
        ++finished;
        while (finished < 2) {
            tk::WaitForMessage(10);
            Drain();
        }
        tk::DestroyNotifyWindow(mine);
    };
    tk::TThread s1([&] { body(r1, w1, w2); });
    tk::TThread s2([&] { body(r2, w2, w1); });
    ASSERT_TRUE(Eventually([&] { return w1 != 0 && w2 != 0; }));
    go.Set();
    ASSERT_TRUE(s1.WaitFor(10000));
    ASSERT_TRUE(s2.WaitFor(10000));
    EXPECT_EQ(ok.load(), 40);
    EXPECT_EQ(r1.Count(kPing), 20u);
    EXPECT_EQ(r2.Count(kPing), 20u);
}

TEST(Messages, QuitRequestCarriesExitCode) {
    Recorder rec;
    std::vector<tk::TMessage> seen;
    std::atomic<bool> waited{false};
    tk::TThread t([&] {
        const tk::TWindowHandle w = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc());
        tk::PostToWindow(w, kPing, 1, 0);
        tk::PostQuitMessage(7);
        waited = tk::WaitForMessage(0);
        // A loop in the usual shape: take until quit.
        tk::TMessage m;
        for (int guard = 0; guard < 100; ++guard) {
            if (!tk::TakeMessage(m)) {
                tk::WaitForMessage(50);
                continue;
            }
            seen.push_back(m);
            if (m.msg == tk::kMsgQuit) {
                break;
            }
            tk::DispatchTaken(m);
        }
        EXPECT_FALSE(tk::TakeMessage(m)) << "the quit request is taken once";
        tk::DestroyNotifyWindow(w);
    });
    ASSERT_TRUE(t.WaitFor(10000));
    EXPECT_TRUE(waited);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, kPing) << "posted messages come before the quit";
    EXPECT_EQ(seen[1].msg, tk::kMsgQuit);
    EXPECT_EQ(seen[1].wParam, 7u);
    EXPECT_EQ(seen[1].window, 0u);
}

TEST(Messages, DestroyedWindow) {
    Recorder rec;
    const tk::TWindowHandle w = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc());
    ASSERT_NE(w, 0u);
    // Only the owner thread may destroy it.
    std::atomic<bool> foreignDestroy{true};
    {
        tk::TThread t([&] { foreignDestroy = tk::DestroyNotifyWindow(w); });
    }
    EXPECT_FALSE(foreignDestroy);
    EXPECT_TRUE(tk::IsWindowAlive(w));

    EXPECT_TRUE(tk::PostToWindow(w, kPing, 1, 0));
    EXPECT_TRUE(tk::DestroyNotifyWindow(w));
    EXPECT_FALSE(tk::IsWindowAlive(w));
    EXPECT_FALSE(tk::DestroyNotifyWindow(w));
    EXPECT_FALSE(tk::PostToWindow(w, kPing, 2, 0));
    EXPECT_FALSE(tk::SendToWindow(w, kPing, 3, 0, 100, nullptr));
    Drain();
    EXPECT_EQ(rec.Count(kPing), 0u) << "a message queued before the destroy is dropped";
    EXPECT_EQ(tk::DispatchTaken(tk::TMessage{w, kPing, 4, 0}), 0);
    EXPECT_EQ(rec.Count(kPing), 0u);
    EXPECT_EQ(tk::CreateNotifyWindow("PalmoTestWindow", nullptr), 0u);
}

TEST(Messages, WindowOfEndedThreadFailsPromptly) {
    Recorder rec;
    tk::TWindowHandle w = 0;
    {
        tk::TThread t([&] { w = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc()); });
    }
    ASSERT_NE(w, 0u);
    const uint32_t start = tk::MonotonicMs();
    EXPECT_FALSE(tk::SendToWindow(w, kPing, 1, 0, 5000, nullptr));
    EXPECT_FALSE(tk::PostToWindow(w, kPing, 1, 0));
    EXPECT_FALSE(tk::IsWindowAlive(w));
    EXPECT_LT(tk::MonotonicMs() - start, 1000u);

    // A send already waiting when the owner ends, or destroys the window.
    for (const bool destroyOnly : {false, true}) {
        tk::TEvent created(true, false);
        tk::TEvent release(true, false);
        std::atomic<tk::TWindowHandle> target{0};
        auto owner = std::make_unique<tk::TThread>([&] {
            target = tk::CreateNotifyWindow("PalmoTestWindow", rec.Proc());
            created.Set();
            release.Wait(kInfinite);
            if (destroyOnly) {
                tk::DestroyNotifyWindow(target);
                // Pumping after the destroy must not deliver the send either.
                for (int i = 0; i < 5; ++i) {
                    tk::WaitForMessage(10);
                    Drain();
                }
            }
        });
        ASSERT_EQ(created.Wait(5000), kWaitObject0);
        std::atomic<int> sendResult{-1};
        std::atomic<uint32_t> sendTook{0};
        tk::TThread sender([&] {
            const uint32_t t0 = tk::MonotonicMs();
            sendResult = tk::SendToWindow(target, kLate, 1, 0, 8000, nullptr);
            sendTook = tk::MonotonicMs() - t0;
        });
        tk::Sleep(30);  // the send is waiting now (or soon: either way it must fail)
        release.Set();
        owner.reset();
        ASSERT_TRUE(sender.WaitFor(10000));
        EXPECT_EQ(sendResult.load(), 0) << destroyOnly;
        EXPECT_LT(sendTook.load(), 4000u) << destroyOnly;
    }
    EXPECT_EQ(rec.Count(kLate), 0u);
    EXPECT_EQ(rec.Count(kPing), 0u);
}

TEST(Messages, ProcedureExceptionReachesTheOwnerLoop) {
    auto thrower = [](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) -> tk::TLResult {
        if (msg == kPing) {
            throw std::runtime_error("handler failed");
        }
        return 1;
    };
    const tk::TWindowHandle w = tk::CreateNotifyWindow("PalmoTestWindow", thrower);
    ASSERT_NE(w, 0u);
    ASSERT_TRUE(tk::PostToWindow(w, kPing, 0, 0));
    tk::TMessage m;
    ASSERT_TRUE(tk::TakeMessage(m));
    EXPECT_THROW(tk::DispatchTaken(m), std::runtime_error);
    // The window still works after it.
    tk::TLResult r = 0;
    EXPECT_TRUE(tk::SendToWindow(w, kLate, 0, 0, 0, &r));
    EXPECT_EQ(r, 1);
    EXPECT_TRUE(tk::DestroyNotifyWindow(w));
}

TEST(Messages, MainThreadIdentity) {
    // GoogleTest runs the tests on the program's first thread.
    EXPECT_TRUE(tk::IsMainThread());
    EXPECT_EQ(tk::MainThreadId(), tk::CurrentThreadId());
    tk::MarkMainThread();
    std::atomic<bool> otherIsMain{true};
    {
        tk::TThread t([&] {
            tk::MarkMainThread();  // too late: the first mark counts
            otherIsMain = tk::IsMainThread();
        });
    }
    EXPECT_FALSE(otherIsMain);
    EXPECT_TRUE(tk::IsMainThread());
}

}  // namespace
