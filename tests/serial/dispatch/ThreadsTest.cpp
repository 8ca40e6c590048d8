// The worker threads on the in-memory device: notices reach a window of the
// test thread from the dispatch thread, output goes out through the writer,
// and starts, stops, closes and failures leave nothing running.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "NoticeOwner.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/TestDevice.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Messages.h"

namespace {

constexpr int kReader = 0;
constexpr int kDispatch = 1;
constexpr int kWriter = 2;

// Opens a dispatcher with all three threads and a window of the test thread.
struct TRunning {
    TRunning() {
        d.realThreads = true;
        EXPECT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
        d.SetAvailThreshold(1);
        d.RecomputeHandlerNeed(1);
        d.AddWindowHandler(w.Window());
    }
    TTestDispatcher d;
    TNoticeWindow w{d};
};

// Captures what the exception display is given, for one test.
struct TShownExceptions {
    TShownExceptions() {
        previous = tk::SetExceptionDisplay([this](const std::exception* e) {
            std::lock_guard<std::mutex> g(m);
            texts.push_back(e ? e->what() : "?");
        });
    }
    ~TShownExceptions() { tk::SetExceptionDisplay(previous); }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> g(m);
        return texts;
    }
    std::mutex m;
    std::vector<std::string> texts;
    tk::TExceptionDisplay previous;
};

// A device wait that the first cancels do not end (one that came just before
// the wait began, or a device that ignores it): the stop repeats the wake-up
// until the reader has gone.
TEST(Threads, StopRepeatsTheWakeUpOfAReaderThatStays) {
    TTestDispatcher d;
    d.realThreads = true;
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
    ASSERT_TRUE(PumpUntil([&] { return d.waitsBegun() > 0; }));
    d.ignoreCancels = 3;
    std::atomic<bool> closed{false};
    tk::TThread closer([&] {
        d.ClosePort();
        closed = true;
    });
    const bool ended = testsupport::Eventually([&] { return closed.load(); }, 5000);
    if (!ended) {
        d.ignoreCancels = 0;  // let the stop end so that the test can
        d.DeviceCancelWait();
    }
    EXPECT_TRUE(ended);
    closer.WaitFor(tk::kInfinite);
    EXPECT_EQ(d.Live(), 0);
}

TEST(Threads, StartStopAndASecondStart) {
    TTestDispatcher d;
    d.realThreads = true;
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
    EXPECT_TRUE(d.ThreadsRunning());
    EXPECT_EQ(d.Live(), 3);
    EXPECT_TRUE(d.HasThread(kReader) && d.HasThread(kDispatch) && d.HasThread(kWriter));
    ASSERT_TRUE(PumpUntil([&] { return d.waitsBegun() > 0; }));

    // A second start is a general error and leaves the first threads running.
    try {
        d.StartThreads();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Dispatcher already started");
    }
    EXPECT_EQ(d.Live(), 3);

    // Priorities follow the boost; the same boost again changes nothing.
    d.SetPriorityBoost(1);
    EXPECT_EQ(d.ThreadPriority(kReader), tk::TThreadPriority::Higher);
    EXPECT_EQ(d.ThreadPriority(kDispatch), tk::TThreadPriority::Higher);
    EXPECT_EQ(d.ThreadPriority(kWriter), tk::TThreadPriority::Higher);
    d.SetRS485(true);
    EXPECT_EQ(d.ThreadPriority(kWriter), tk::TThreadPriority::Highest);
    d.SetPriorityBoost(1);
    EXPECT_EQ(d.ThreadPriority(kWriter), tk::TThreadPriority::Highest);

    d.ClosePort();
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_EQ(d.Live(), 0);
    EXPECT_FALSE(d.HasThread(kReader) || d.HasThread(kDispatch) || d.HasThread(kWriter));
    EXPECT_FALSE(d.HasBuffers());

    // Open and close again, many times: every thread is joined each time.
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 1024, 1024, 0), 0);
        ASSERT_EQ(d.Live(), 3);
        d.ClosePort();
        ASSERT_EQ(d.Live(), 0) << i;
        ASSERT_FALSE(d.ThreadsRunning()) << i;
    }
}

TEST(Threads, NoticesAndOutputFlowThroughTheThreads) {
    TRunning r;
    // Arrivals reach the test thread's window as notices with exact counts.
    r.d.QueueInput("$GPGGA");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == 6; }));
    r.d.QueueInput(",1,2*");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == 11; }));
    EXPECT_EQ(r.w.received, "$GPGGA,1,2*");
    EXPECT_EQ(r.w.AvailCounts(), (std::vector<uint32_t>{6, 5}));

    // Bytes that arrive without a device event are moved by the 50 ms cycle.
    r.d.QueueInput("quiet", false);
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == 16; }));
    EXPECT_EQ(r.w.received.substr(11), "quiet");

    // A handler leaving bytes: they come again with the next arrival.
    r.w.take = [](uint32_t n) { return n - 1; };
    r.d.QueueInput("xy");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == 17; }));
    r.w.take = nullptr;
    r.d.QueueInput("z");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == 19; }));
    EXPECT_EQ(r.w.AvailCounts().back(), 2u);

    // A large stream, in order, through many ring wraps, both ways.
    std::string in;
    std::string out;
    for (int i = 0; i < 40000; ++i) {
        in += static_cast<char>('A' + i % 26);
        out += static_cast<char>('a' + i % 23);
    }
    const std::string before = r.w.received;
    for (size_t at = 0; at < in.size(); at += 3000) {
        r.d.QueueInput(in.substr(at, 3000));
    }
    for (size_t at = 0; at < out.size(); at += 1000) {
        const std::string block = out.substr(at, 1000);
        ASSERT_TRUE(PumpUntil([&] { return r.d.OutputRoom() >= block.size(); }));
        ASSERT_EQ(r.d.WriteBlock(block), 0);
    }
    ASSERT_TRUE(PumpUntil([&] { return r.w.received.size() == before.size() + in.size(); }));
    EXPECT_EQ(r.w.received, before + in);
    ASSERT_TRUE(PumpUntil([&] { return r.d.Sent().size() == out.size(); }));
    EXPECT_EQ(r.d.Sent(), out);
}

TEST(Threads, EventHandlersRunOnTheirThreads) {
    TRunning r;
    std::atomic<int> direct{0};
    std::atomic<bool> directOnMain{true};
    int synchronized = 0;
    bool syncOnMain = false;
    r.d.AddEventHandler(
        [&](uint32_t msg, uint32_t, int32_t) {
            if (msg == MsgTriggerAvail) {
                directOnMain = tk::IsMainThread();
                ++direct;
            }
        },
        false);
    r.d.AddEventHandler(
        [&](uint32_t msg, uint32_t count, int32_t) {
            if (msg == MsgTriggerAvail) {
                syncOnMain = tk::IsMainThread();
                ++synchronized;
                EXPECT_EQ(count, 4u);
            }
        },
        true);
    ASSERT_TRUE(tk::IsMainThread());
    r.d.QueueInput("abcd");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received == "abcd"; }));
    EXPECT_EQ(direct.load(), 1);
    EXPECT_FALSE(directOnMain.load());
    EXPECT_EQ(synchronized, 1);
    EXPECT_TRUE(syncOnMain);
}

TEST(Threads, CloseFromInsideANoticeIsFinishedByTheDispatchThread) {
    TRunning r;
    bool wasPending = false;
    r.w.onNotice = [&](uint32_t) {
        r.d.ClosePort();
        wasPending = r.d.ClosePending() && r.d.HasBuffers();
    };
    r.d.QueueInput("bye");
    ASSERT_TRUE(PumpUntil([&] { return !r.d.ThreadsRunning(); }));
    EXPECT_TRUE(wasPending);
    EXPECT_EQ(r.w.received, "bye");
    EXPECT_FALSE(r.d.HasBuffers());
    EXPECT_EQ(r.d.Live(), 0);
    EXPECT_FALSE(r.d.IsOpen());
    r.w.onNotice = nullptr;
    // The dispatcher opens again afterwards.
    ASSERT_EQ(r.d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
    r.d.SetAvailThreshold(1);
    r.d.QueueInput("again");
    ASSERT_TRUE(PumpUntil([&] { return r.w.received == "byeagain"; }));
}

TEST(Threads, BytesOfANoticeTheOwnerDidNotTakeInTimeAreOfferedAgain) {
    TRunning r;
    r.d.QueueInput("late");
    // The test thread serves nothing until the notice has given up waiting
    // for it (the send time-out). The abandoned notice is never delivered,
    // but a new one offers the unread bytes though nothing more came.
    ASSERT_TRUE(testsupport::Eventually([&] { return r.d.NoticeBusy(); }, 60000));
    ASSERT_TRUE(testsupport::Eventually([&] { return !r.d.NoticeBusy(); }, 60000));
    ASSERT_TRUE(PumpUntil([&] { return r.w.received == "late"; }));
    EXPECT_EQ(r.w.AvailCounts(), (std::vector<uint32_t>{4}));
    EXPECT_EQ(r.d.InputCount(), 0u);
}

TEST(Threads, ThreadBodiesThatFailAreShownAndFinishTheirBookkeeping) {
    TShownExceptions shown;
    {
        // The dispatch thread's device read throws.
        TRunning r;
        r.d.throwInRead = true;
        r.d.QueueInput("x");
        ASSERT_TRUE(PumpUntil([&] { return !r.d.HasThread(kDispatch); }));
        EXPECT_EQ(r.d.Live(), 2);
        EXPECT_TRUE(r.d.ThreadsRunning());
        EXPECT_TRUE(r.d.HasBuffers());  // no close came: nothing is released
        r.d.ClosePort();
        EXPECT_EQ(r.d.Live(), 0);
        EXPECT_FALSE(r.d.ThreadsRunning());
    }
    EXPECT_EQ(shown.Texts(), (std::vector<std::string>{"device read failed"}));
    {
        // The reader's wait throws, then the writer's write.
        TTestDispatcher d;
        d.realThreads = true;
        d.throwInWait = true;
        ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
        ASSERT_TRUE(PumpUntil([&] { return !d.HasThread(kReader); }));
        d.throwInWrite = true;
        ASSERT_EQ(d.WriteBlock("out"), 0);
        ASSERT_TRUE(PumpUntil([&] { return !d.HasThread(kWriter); }));
        EXPECT_EQ(d.Live(), 1);
        // The dispatch thread still moves input in its quiet cycles.
        d.QueueInput("in", false);
        ASSERT_TRUE(PumpUntil([&] { return d.InputCount() == 2; }));
    }  // destroyed with threads missing: no hang, no leak
    EXPECT_EQ(shown.Texts(), (std::vector<std::string>{"device read failed", "device wait failed",
                                                       "device write failed"}));
    {
        // A device wait that fails ends the reader quietly.
        TTestDispatcher d;
        d.realThreads = true;
        d.failWait = true;
        ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
        ASSERT_TRUE(PumpUntil([&] { return !d.HasThread(kReader); }));
        EXPECT_EQ(d.Live(), 2);
    }
    EXPECT_EQ(shown.Texts().size(), 3u);
}

TEST(Threads, WriterSendsAWrappedRingAsOneStretchAndAFlushAbandonsAWrite) {
    TTestDispatcher d;  // the writer alone
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 16, 0), 0);
    d.StopThreads();

    // Data from the tail (10) to the end, then from 0 to the head (6).
    d.FillOutputRing("GHIJKL????ABCDEF");
    d.SetOutputPositions(6, 10, false);
    d.RunSendPending();
    EXPECT_EQ(d.Sent(), "ABCDEFGHIJKL");
    EXPECT_EQ(d.Stretches(), (std::vector<uint32_t>{12}));
    EXPECT_EQ(d.OutputPositions(), (std::pair<uint32_t, uint32_t>{0, 0}));

    // A full ring whose data wraps: the whole ring in one stretch, then empty.
    d.FillOutputRing("mnopqrstuvwxyzkl");
    d.SetOutputPositions(14, 14, true);
    d.RunSendPending();
    EXPECT_EQ(d.Sent(), "ABCDEFGHIJKLklmnopqrstuvwxyz");
    EXPECT_EQ(d.Stretches().back(), 16u);
    EXPECT_EQ(d.OutputCount(), 0u);
    EXPECT_FALSE(d.OutputFull());

    // A write that only gets part out: the rest goes in the next stretch.
    d.writerChunk = 5;
    ASSERT_EQ(d.WriteBlock("0123456789ab"), 0);
    d.RunSendPending();
    EXPECT_EQ(d.Sent().substr(28), "0123456789ab");
    EXPECT_EQ(d.Stretches().back(), 2u);
    d.writerChunk = 0;

    // With the writer running, a flush abandons a write that cannot finish.
    d.StartThreads();
    ASSERT_EQ(d.WriteBlock("warm"), 0);  // the writer is in its loop once this is out
    ASSERT_TRUE(PumpUntil([&] { return d.Sent().size() == 44; }));
    d.blockWrites = true;
    ASSERT_EQ(d.WriteBlock("stuck"), 0);
    ASSERT_TRUE(PumpUntil([&] { return d.Stretches().back() == 5u; }));
    EXPECT_EQ(d.ClearOutput(), 0);
    EXPECT_EQ(d.OutputCount(), 0u);
    d.blockWrites = false;
    ASSERT_EQ(d.WriteBlock("next"), 0);
    ASSERT_TRUE(PumpUntil([&] { return d.Sent().size() == 48; }));
    EXPECT_EQ(d.Sent().substr(40), "warmnext");

    // A flush that did not wait for the writer while its stretch from index
    // 0 was out: that stretch is not accounted against bytes written since.
    d.blockWrites = true;
    const size_t stretches = d.Stretches().size();
    ASSERT_EQ(d.WriteBlock("lost"), 0);
    ASSERT_TRUE(PumpUntil([&] { return d.Stretches().size() == stretches + 1; }));
    d.EmptyOutputAsAFlushDoes();
    ASSERT_EQ(d.WriteBlock("kept"), 0);
    d.blockWrites = false;
    d.UnblockWrites();
    ASSERT_TRUE(PumpUntil([&] { return d.Sent().size() == 56; })) << d.Sent();
    EXPECT_EQ(d.Sent().substr(52), "kept");
}

}  // namespace
