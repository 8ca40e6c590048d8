// The port component over real ports, past the data-available notice: status,
// data and timer triggers reaching their events, the line-error reads, line
// settings and queue sizes changed while open, and the priority boost of the
// worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ComPortTestSupport.h"
#include "serial/Timing.h"
#include "serial/diag/ErrorCodes.h"

namespace {

using namespace cptest;

TStatusTriggerRec StatusTrigger(uint32_t handle, uint16_t value) {
    TStatusTriggerRec t;
    t.Handle = handle;
    t.Kind = TRirBaseDispatcher::StatusTriggerKind(static_cast<uint8_t>(handle));
    t.Value = value;
    t.Armed = 1;
    return t;
}

TDataTriggerRec DataTrigger(uint32_t handle, const std::string& pattern, bool ignoreCase) {
    TDataTriggerRec t;
    t.Handle = handle;
    t.Length = static_cast<uint32_t>(pattern.size());
    t.IgnoreCase = ignoreCase;
    std::copy(pattern.begin(), pattern.end(), t.Pattern.begin());
    return t;
}

std::string Str(uint32_t v) {
    return std::to_string(v);
}

// Every status kind through the component: the generic event, the status
// event, then the kind's own event, each only once its cause has come.
TEST(ComPortTriggers, StatusNoticesReachTheirEvents) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    auto p = MakePort<TStandInPort>(kPortA);
    std::vector<std::string> events;
    p->SetOnTrigger([&](TRirCustomComPort&, uint16_t msg, uint16_t h, uint16_t data) {
        if (msg == MsgTriggerStatus) {
            events.push_back("T" + Str(h) + "," + Str(data));
        }
    });
    p->SetOnTriggerStatus([&](TRirCustomComPort&, uint16_t h) { events.push_back("S" + Str(h)); });
    p->SetOnTriggerModemStatus([&](tk::TComponent&) { events.push_back("modem"); });
    p->SetOnTriggerLineError([&](TRirCustomComPort&, uint16_t e, bool b) {
        events.push_back("error " + Str(e) + (b ? " break" : ""));
    });
    p->SetOnTriggerOutbuffFree([&](tk::TComponent&) { events.push_back("free"); });
    p->SetOnTriggerOutbuffUsed([&](tk::TComponent&) { events.push_back("used"); });
    p->SetOnTriggerOutSent([&](tk::TComponent&) { events.push_back("sent"); });
    p->SetOpen(true);
    TStandIn& device = p->Device();

    TSavedTriggers saved;
    saved.AvailThreshold = 1;
    saved.Status = std::make_unique<std::vector<TStatusTriggerRec>>();
    saved.Status->push_back(StatusTrigger(0x09, msCTS << 8));  // CTS no longer off
    saved.Status->push_back(StatusTrigger(0x0A, leBreak));
    saved.Status->push_back(StatusTrigger(0x12, leFraming));
    saved.Status->push_back(StatusTrigger(0x0B, 4096));  // the whole output ring free
    saved.Status->push_back(StatusTrigger(0x0C, 0));     // nothing waiting to go out
    saved.Status->push_back(StatusTrigger(0x0D, 0));     // output sent
    device.RestoreTriggers(saved);
    TRirBaseDispatcher::ReleaseSavedTriggers(saved);

    // An idle open port: its output ring is empty, nothing else holds.
    auto expect = [&](std::vector<std::string> want) {
        EXPECT_TRUE(PumpUntil([&] { return events.size() >= want.size(); }, 5000));
        PumpFor(150);  // and nothing more follows
        EXPECT_EQ(events, want);
        events.clear();
    };
    expect({"T11,4096", "S11", "free", "T12,0", "S12", "used"});
    p->SendString("ping");
    EXPECT_EQ(remote.Read(4), "ping");
    expect({"T13,0", "S13", "sent"});
    device.lines = msCTS;
    expect({"T9,0", "S9", "modem"});
    // A break alone: the break is read before the error, so the error that
    // comes with it is none.
    ASSERT_TRUE(LineErrorArrives(ports, kPortA, remote, device, true));
    expect({"T10,0", "S10", "error 0 break"});
    ASSERT_TRUE(LineErrorArrives(ports, kPortA, remote, device, false));
    expect({"T18,0", "S18", "error " + Str(lecFraming)});

    // Read outside any event: the worst error first, the break kept for its
    // own read, each taken once.
    EXPECT_EQ(p->ReadLineError(), 0);
    EXPECT_FALSE(p->ReadLineBreak());
    ASSERT_TRUE(LineErrorArrives(ports, kPortA, remote, device, false));
    ASSERT_TRUE(PumpUntil([&] { return device.LineErrors() & leFraming; }));
    ASSERT_TRUE(LineErrorArrives(ports, kPortA, remote, device, true));
    ASSERT_TRUE(PumpUntil([&] { return device.LineErrors() & leBreak; }));
    EXPECT_EQ(p->ReadLineError(), lecFraming);
    EXPECT_EQ(p->ReadLineError(), lecBreak);
    EXPECT_TRUE(p->ReadLineBreak());
    EXPECT_FALSE(p->ReadLineBreak());
    EXPECT_EQ(p->ReadLineError(), 0);
    EXPECT_TRUE(events.empty());  // every trigger fired once and is spent
    p->SetOpen(false);
    EXPECT_EQ(p->ReadLineError(), 0);
}

// Data triggers hand out the bytes in front of the pattern first; a timer
// trigger runs out once, not before its ticks.
TEST(ComPortTriggers, DataAndTimerTriggersReachTheirEvents) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    auto p = MakePort(kPortA);
    std::string got;
    std::vector<std::string> events;
    std::vector<size_t> gotAtMatch;
    uint32_t timerAt = 0;
    p->SetOnTrigger([&](TRirCustomComPort&, uint16_t msg, uint16_t h, uint16_t data) {
        if (msg != MsgTriggerAvail) {
            events.push_back("T" + Str(msg) + "," + Str(h) + "," + Str(data));
        }
    });
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        while (count-- > 0) {
            got += cp.ReceiveChar();
        }
    });
    p->SetOnTriggerData([&](TRirCustomComPort&, uint16_t h) {
        events.push_back("data " + Str(h));
        gotAtMatch.push_back(got.size());
    });
    p->SetOnTriggerTimer([&](TRirCustomComPort&, uint16_t h) {
        events.push_back("timer " + Str(h));
        timerAt = MillisecondClock();
    });
    p->SetOpen(true);

    constexpr int32_t kTicks = 4;
    TSavedTriggers saved;
    saved.AvailThreshold = 1;
    saved.Data = std::make_unique<std::vector<TDataTriggerRec>>();
    saved.Data->push_back(DataTrigger(0x21, "$GPGGA", false));
    saved.Data->push_back(DataTrigger(0x22, "RMC", true));
    saved.Timers = std::make_unique<std::vector<TTimerTriggerRec>>(1);
    (*saved.Timers)[0].Handle = 0x31;
    (*saved.Timers)[0].Armed = 1;
    const uint32_t start = MillisecondClock();
    StartEventTimerAt((*saved.Timers)[0].Timer, kTicks, start);
    p->CurrentDispatcher()->RestoreTriggers(saved);
    TRirBaseDispatcher::ReleaseSavedTriggers(saved);

    const std::string sent = "ab$GPGGA,1*00\r\n$gprmc,2*00\r\n";
    ASSERT_TRUE(remote.Write(sent));
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= sent.size() && timerAt != 0; }));
    PumpFor(200);
    EXPECT_EQ(got, sent);
    const std::vector<std::string> want = {"T32258,33,6", "data 33", "T32258,34,3", "data 34"};
    std::vector<std::string> data;
    for (const std::string& e : events) {
        if (e.find("timer") == std::string::npos && e.find(",49,") == std::string::npos) {
            data.push_back(e);
        }
    }
    EXPECT_EQ(data, want);
    // At each match the bytes before the pattern have been handed out (a
    // pattern split across two reads may have had its head handed out too).
    ASSERT_EQ(gotAtMatch.size(), 2u);
    const size_t first = sent.find("$GPGGA");
    const size_t second = sent.find("rmc");
    EXPECT_GE(gotAtMatch[0], first);
    EXPECT_LT(gotAtMatch[0], first + 6);
    EXPECT_GE(gotAtMatch[1], second);
    EXPECT_LT(gotAtMatch[1], second + 3);

    const auto timer = std::find(events.begin(), events.end(), "T32259,49,0");
    ASSERT_NE(timer, events.end());
    EXPECT_EQ(*std::next(timer), "timer 49");
    EXPECT_EQ(std::count(events.begin(), events.end(), "timer 49"), 1);
    EXPECT_GE(timerAt - start, (kTicks - 1) * kEventTimerTickMs);
}

// Framing and queue sizes changed while bytes flow both ways: the device is
// asked for each new framing and holds what it can, and no byte is lost.
TEST(ComPortLine, SettingsChangedWhileOpenReachTheDeviceAndLoseNothing) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    auto p = MakePort<TStandInPort>(kPortA);
    p->SetOpen(true);
    TStandIn& device = p->Device();

    std::string in;
    for (int i = 0; i < 100; ++i) {
        in += "<" + std::to_string(1000 + i) + ">";
    }
    std::jthread feeder([&] {
        for (size_t i = 0; i < in.size(); i += 6) {
            remote.Write(in.substr(i, 6));
            tk::Sleep(2);
        }
    });

    // One setter at a time, each changing what the device is asked for.
    struct TStep {
        void (TRirCustomComPort::*set)(uint16_t);
        TParity parity;
        uint16_t value;
    };
    const TStep steps[] = {{nullptr, pOdd, 0},
                           {&TRirCustomComPort::SetStopBits, pOdd, 2},
                           {&TRirCustomComPort::SetDataBits, pOdd, 7},
                           {nullptr, pMark, 0},
                           {nullptr, pEven, 0},
                           {&TRirCustomComPort::SetStopBits, pEven, 1},
                           {&TRirCustomComPort::SetDataBits, pEven, 8}};
    // The pseudo-terminals behind the ports (also under Wine) keep 8 data
    // bits without parity whatever is asked: a request that changes nothing
    // else they hold is refused as an incorrect parameter.
    const bool holdsEveryFraming = DeviceHoldsEveryFraming();
    std::string out;
    for (const TStep& s : steps) {
        const std::string chunk = "[" + std::to_string(out.size()) + "]";
        p->SendString(chunk);
        out += chunk;
        const int32_t code = CodeOf([&] {
            if (s.set) {
                (p.get()->*s.set)(s.value);
            } else {
                p->SetParity(s.parity);
            }
        });
        const std::string at = "step " + chunk;
        EXPECT_TRUE(code == 0 || (!holdsEveryFraming && code == -87)) << at << " " << code;
        const uint8_t parity = s.parity == pOdd    ? lsParityOdd
                               : s.parity == pEven ? lsParityEven
                                                   : lsParityMark;
        const uint8_t stop = p->StopBits() == 2 ? lsTwoStopBits : lsOneStopBit;
        EXPECT_EQ(device.applied.Parity, parity) << at;
        EXPECT_EQ(device.applied.ByteSize, p->DataBits()) << at;
        EXPECT_EQ(device.applied.StopBits, stop) << at;
        TLineState held;
        ASSERT_EQ(device.DeviceGetState(held), 0);
        EXPECT_EQ(held.StopBits, stop) << at;
        if (holdsEveryFraming) {
            EXPECT_EQ(held.Parity, parity) << at;
            EXPECT_EQ(held.ByteSize, p->DataBits()) << at;
        }
        if (const auto f = DeviceFraming(ports, kPortA)) {
            EXPECT_EQ(f->odd, s.parity != pEven) << at;
            EXPECT_EQ(f->stick, s.parity == pMark) << at;
            EXPECT_EQ(f->twoStop, p->StopBits() == 2) << at;
        }
    }

    // Queue sizes go to the driver at once; the output ring keeps the size
    // it was opened with until the next open.
    p->SetInSize(2048);
    p->SetOutSize(1024);
    EXPECT_EQ(device.queueIn, 2048u);
    EXPECT_EQ(device.queueOut, 1024u);
    EXPECT_TRUE(device.queuesOk);
    const std::string block(3000, 'q');
    p->SendString(block);
    out += block;
    feeder.join();
    EXPECT_EQ(remote.Read(out.size()), out);
    ASSERT_TRUE(PumpUntil([&] { return device.InputCount() >= in.size(); }));
    std::string got(in.size() + 16, '\0');
    got.resize(p->ReceiveBlock(got.data(), got.size(), '\0'));
    EXPECT_EQ(got, in);

    p->SetParity(pNone);  // a pseudo-terminal would refuse to open with even parity
    p->SetOpen(false);
    p->SetOpen(true);
    EXPECT_EQ(p->CurrentDispatcher()->OutputSize(), 1024u);
    EXPECT_EQ(CodeOf([&] { p->SendString(block); }), ecOutputBufferTooSmall);
}

// The boost raises the reader, dispatch and writer threads' priority with the
// system, set while open or before the open.
TEST(ComPortThreads, PriorityBoostReachesTheWorkerThreads) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    // The steps count from the priority the process started with (a program
    // run under `nice` stays niced). Without the privilege to raise
    // priorities (an unprivileged Linux process) the system keeps the threads
    // where they started, as the toolkit quietly accepts.
    const bool mayRaise = MayRaisePriority();
    const std::optional<int> started = OsPriority(OsThreadId());
    ASSERT_TRUE(started.has_value());
    for (const bool beforeOpen : {false, true}) {
        auto p = MakePort<TStandInPort>(kPortA);
        if (beforeOpen) {
            p->SetPriorityBoost(2);
        }
        p->SetOpen(true);
        TStandIn& device = p->Device();
        // Each worker notes itself at its first device operation.
        p->SendString("w");
        ASSERT_TRUE(remote.Write("r"));
        ASSERT_TRUE(
            PumpUntil([&] { return device.readerTid && device.dispatchTid && device.writerTid; }));
        EXPECT_EQ(remote.Read(1), "w");
        const uint64_t tids[] = {device.readerTid, device.dispatchTid, device.writerTid};
        // Without a boost the threads keep the priority they started with.
        auto expectAll = [&](std::optional<tk::TThreadPriority> want) {
            const int expected = *started + (want && mayRaise ? OsPriorityFor(*want) : 0);
            for (const uint64_t tid : tids) {
                EXPECT_EQ(OsPriority(tid), expected)
                    << "thread " << tid << " boost " << int(p->PriorityBoost());
            }
        };
        if (beforeOpen) {
            expectAll(tk::TThreadPriority::Highest);
        } else {
            expectAll(std::nullopt);
            p->SetPriorityBoost(1);
            expectAll(tk::TThreadPriority::Higher);
        }
        p->SetPriorityBoost(0);
        expectAll(tk::TThreadPriority::Normal);
    }
}

}  // namespace
