// Opening, closing and the registry of dispatchers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/TestDevice.h"

namespace {

using Calls = std::vector<std::string>;

TEST(Dispatcher, OpenRunsTheDeviceSequenceAndCloseUndoesIt) {
    TTestDispatcher d;
    TLineState start;
    start.BaudRate = 9600;
    start.Flags = lsfOutX;
    d.SetDeviceState(start);
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, lsParityEven, 7, 2, 4096, 2048, opDtrOn), 0);
    EXPECT_EQ(d.Calls(), (Calls{"Open \\\\.\\COM1", "SetQueues", "StartThreads"}));
    EXPECT_EQ(d.DeviceHandle(), 7);
    EXPECT_TRUE(d.HasBuffers());
    EXPECT_EQ(d.InputSize(), 4096u);
    EXPECT_EQ(d.OutputSize(), 2048u);
    EXPECT_TRUE(d.ThreadsRunning());
    EXPECT_EQ(d.Live(), 1);

    // DTR raised, RTS dropped by hand, then the line settings applied once.
    const auto escapes = d.Escapes();
    ASSERT_GE(escapes.size(), 2u);
    EXPECT_EQ(escapes[0], escSetDTR);
    EXPECT_EQ(escapes[1], escClearRTS);
    const auto applied = d.Applied();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].BaudRate, 4800u);
    EXPECT_EQ(applied[0].Parity, lsParityEven);
    EXPECT_EQ(applied[0].ByteSize, 7);
    EXPECT_EQ(applied[0].StopBits, lsTwoStopBits);
    EXPECT_EQ(applied[0].Flags & lsfDtrControlMask, lsfDtrControlEnable);
    EXPECT_EQ(applied[0].Flags & lsfRtsControlMask, 0u);
    EXPECT_NE(applied[0].Flags & lsfOutX, 0u);  // what the device had stays
    EXPECT_NE(applied[0].Flags & lsfBinary, 0u);
    EXPECT_EQ(d.LastBaud(), 4800u);
    EXPECT_EQ(d.AvailThreshold(), 0u);

    // A second open of an open dispatcher is refused and changes nothing.
    EXPECT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 2048, 0), ecAlreadyOpen);
    EXPECT_TRUE(d.ThreadsRunning());

    d.ClosePort();
    // The stop runs only when a worker is still there: the writer may already
    // have ended on the kill flag that the device close set.
    Calls calls = d.Calls();
    if (!calls.empty() && calls.back() == "StopThreads") {
        calls.pop_back();
    }
    EXPECT_EQ(calls, (Calls{"Open \\\\.\\COM1", "SetQueues", "StartThreads", "FlushOutput",
                            "FlushInput", "Close"}));
    EXPECT_FALSE(d.IsOpen());
    EXPECT_FALSE(d.HasBuffers());
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_EQ(d.Live(), 0);
    char c = 0;
    EXPECT_EQ(d.ReadChar(c), ecBufferIsEmpty);
    EXPECT_EQ(d.WriteBlock("x", 1), ecCommNotOpen);

    // The same object opens again.
    EXPECT_EQ(d.OpenPort("\\\\.\\COM2", 9600, 0, 8, 1, 1024, 1024, opDtrHandshake | opRtsOn), 0);
    EXPECT_TRUE(d.DtrAuto());
    EXPECT_TRUE(d.RtsState());
}

TEST(Dispatcher, FailedOpensReportTheCauseAndLeaveNothingBehind) {
    struct Case {
        int32_t open;
        uint32_t error;
        bool queuesOk;
        uint32_t queuesError;
        int32_t expect;
    };
    const Case cases[] = {
        {-1, 2, true, 0, -2},              // no such port
        {-1, 5, true, 0, ecAccessDenied},  // port in use
        {ecOutOfMemory, 0, true, 0, ecOutOfMemory},
        {-1, 0, true, 0, ecCommNotOpen},  // no cause given: still a failure
        {-2007, 2007, true, 0, ecCommNotOpen},
        {3, 0, false, 87, -87},  // queue set-up refused
        {3, 0, false, 0, ecMemory},
    };
    for (const Case& k : cases) {
        TTestDispatcher d;
        d.openResult = k.open;
        d.openError = k.error;
        d.queuesOk = k.queuesOk;
        d.queuesError = k.queuesError;
        EXPECT_EQ(d.OpenPort("\\\\.\\COM9", 4800, 0, 8, 1, 4096, 2048, 0), k.expect) << k.open;
        EXPECT_FALSE(d.IsOpen());
        EXPECT_FALSE(d.HasBuffers());
        EXPECT_FALSE(d.ThreadsRunning());
        const Calls calls = d.Calls();
        const bool opened = k.open >= 0;
        // A device that was opened is flushed and closed again.
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "Close"), opened ? 1 : 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "StartThreads"), 0);
    }

    // A device that refuses the line settings fails the open with its error.
    TTestDispatcher d;
    d.setStateResult = -87;
    EXPECT_EQ(d.OpenPort("\\\\.\\COM9", 4800, 0, 8, 1, 4096, 2048, 0), -87);
    EXPECT_FALSE(d.HasBuffers());
}

TEST(Dispatcher, ClosingDuringANoticeOnlyMarksTheClosePending) {
    TTestDispatcher d;
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 2048, 0), 0);
    d.QueueInput("abc");
    ASSERT_TRUE(d.PullInput());
    d.SetNoticeBusy(true);
    d.BeginNotice();
    char c = 0;
    ASSERT_EQ(d.ReadChar(c), 0);
    // A handler closes the port: the device is flushed and closed, the input
    // counts as cleared, but the rings stay for the notice (the writer may
    // already be ending on the kill flag of the device close).
    d.ClosePort();
    EXPECT_FALSE(d.IsOpen());
    EXPECT_TRUE(d.ClosePending());
    EXPECT_TRUE(d.HasBuffers());
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_EQ(d.ReadChar(c), ecBufferIsEmpty);
    EXPECT_EQ(d.Calls().back(), "Close");
    // The end of the notice releases them.
    d.HandlerDone();
    EXPECT_EQ(d.EndNotice(), 3u);
    d.SetNoticeBusy(false);
    d.ReleaseBuffers();
    EXPECT_FALSE(d.HasBuffers());
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_EQ(d.Live(), 0);

    // A dispatcher destroyed with the close still pending releases on its way out.
    auto e = std::make_unique<TTestDispatcher>();
    ASSERT_EQ(e->OpenPort("\\\\.\\COM2", 4800, 0, 8, 1, 4096, 2048, 0), 0);
    e->SetNoticeBusy(true);
    e->ClosePort();
    e->SetNoticeBusy(false);
    EXPECT_TRUE(e->HasBuffers());
    e.reset();  // joins the writer thread; a leak or a hang would show here
}

TEST(Dispatcher, RegistryReusesTheFirstFreeHandle) {
    {
        tk::TLockGuard g(RegistryLock());
        ASSERT_TRUE(DispatcherRegistry().empty());
    }
    auto a = std::make_unique<TTestDispatcher>();
    auto b = std::make_unique<TTestDispatcher>();
    auto c = std::make_unique<TTestDispatcher>();
    EXPECT_EQ(a->Handle(), 0);
    EXPECT_EQ(b->Handle(), 1);
    EXPECT_EQ(c->Handle(), 2);
    b.reset();
    {
        tk::TLockGuard g(RegistryLock());
        EXPECT_EQ(DispatcherRegistry().size(), 3u);
        EXPECT_EQ(FindDispatcher(1), nullptr);
        EXPECT_EQ(FindDispatcher(2), c.get());
        EXPECT_EQ(FindDispatcher(-1), nullptr);
        EXPECT_EQ(FindDispatcher(3), nullptr);
    }
    auto d = std::make_unique<TTestDispatcher>();
    EXPECT_EQ(d->Handle(), 1);
    // Destroying the last ones trims the empty entries from the end.
    c.reset();
    d.reset();
    {
        tk::TLockGuard g(RegistryLock());
        EXPECT_EQ(DispatcherRegistry().size(), 1u);
        EXPECT_EQ(FindDispatcher(0), a.get());
    }
    a.reset();
    tk::TLockGuard g(RegistryLock());
    EXPECT_TRUE(DispatcherRegistry().empty());
}

TEST(Dispatcher, OpenSwitchesTracingAndLoggingOff) {
    TTestDispatcher d;
    ASSERT_EQ(d.InitTrace(10), 0);
    ASSERT_EQ(d.InitDispatchLog(1000), 0);
    EXPECT_TRUE(d.Tracing());
    EXPECT_TRUE(d.Logging());
    const uint32_t before = MillisecondClock();
    ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 2048, 0), 0);
    EXPECT_FALSE(d.Tracing());
    EXPECT_FALSE(d.Logging());
    EXPECT_FALSE(d.TraceRecorder().HasRing());
    EXPECT_LE(d.TimeBase() - before, 60000u);
}

}  // namespace
