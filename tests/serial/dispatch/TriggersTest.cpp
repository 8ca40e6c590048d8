// Notices and trigger scans, driven by hand on the test thread (which plays
// the dispatch thread; its windows get their notices directly).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "NoticeOwner.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/TestDevice.h"

namespace {

class Notices : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, 0, 8, 1, 4096, 4096, 0), 0);
        d.SetAvailThreshold(1);
        d.RecomputeHandlerNeed(1);
        d.AddWindowHandler(w.Window());
    }
    // Bytes arrive and the scan runs, as one dispatch cycle does.
    bool Arrive(const std::string& bytes) {
        d.QueueInput(bytes, false);
        d.PullInput();
        return d.ScanInput();
    }
    TTestDispatcher d;
    TNoticeWindow w{d};
};

TDataTriggerRec DataTrigger(uint32_t handle, const std::string& pattern, bool ignoreCase) {
    TDataTriggerRec t;
    t.Handle = handle;
    t.Length = static_cast<uint32_t>(pattern.size());
    t.IgnoreCase = ignoreCase;
    std::copy(pattern.begin(), pattern.end(), t.Pattern.begin());
    return t;
}

TEST_F(Notices, DataAvailableOffersEveryUnreadByteOncePerArrival) {
    // Three bytes: one notice of 3, all taken, the tail moves by 3.
    const uint32_t tail = d.Tail();
    EXPECT_TRUE(Arrive("abc"));
    EXPECT_EQ(w.AvailCounts(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(w.received, "abc");
    EXPECT_EQ(d.Tail(), tail + 3);
    EXPECT_EQ(w.notices[0].lParam, d.Handle() << 16);
    EXPECT_FALSE(d.ScanInput());  // nothing new: no second notice
    EXPECT_EQ(w.notices.size(), 1u);

    // A handler that takes 2 of 3: not consumed, nothing more until new bytes
    // arrive, whose notice offers the byte left plus the new one.
    w.take = [](uint32_t n) { return n - 1; };
    EXPECT_FALSE(Arrive("def"));
    EXPECT_EQ(d.Tail(), tail + 5);
    EXPECT_FALSE(d.ScanInput());
    EXPECT_EQ(w.AvailCounts(), (std::vector<uint32_t>{3, 3}));
    w.take = nullptr;
    EXPECT_TRUE(Arrive("g"));
    EXPECT_EQ(w.AvailCounts(), (std::vector<uint32_t>{3, 3, 2}));
    EXPECT_EQ(w.received, "abcdefg");

    // Two windows of one notice both read from the tail; it moves by the most
    // that one of them took.
    TNoticeWindow second(d);
    d.AddWindowHandler(second.Window());
    w.take = [](uint32_t) { return 1u; };
    EXPECT_TRUE(Arrive("xyz"));
    EXPECT_EQ(w.received, "abcdefgx");
    EXPECT_EQ(second.received, "xyz");
    EXPECT_EQ(d.InputCount(), 0u);
    d.RemoveWindowHandler(second.Window());

    // Threshold 0 turns the notices off; the bytes wait in the ring.
    d.SetAvailThreshold(0);
    EXPECT_FALSE(Arrive("12"));
    EXPECT_EQ(w.notices.size(), 4u);
    EXPECT_EQ(d.InputCount(), 2u);
    d.SetAvailThreshold(1);

    // No handler service needed (only the port's window, no trigger event):
    // the notice counts as done, nothing is sent, the tail stays.
    d.RecomputeHandlerNeed(2);
    const uint32_t before = d.Tail();
    EXPECT_TRUE(Arrive("3"));
    EXPECT_EQ(w.notices.size(), 4u);
    EXPECT_EQ(d.Tail(), before);
    EXPECT_EQ(d.InputCount(), 3u);
}

TEST_F(Notices, UnservedNoticesAndRemovalDuringANotice) {
    // With no window registered a notice takes nothing; all unread bytes are
    // offered again with the next arrival.
    d.RemoveWindowHandler(w.Window());
    EXPECT_EQ(d.WindowHandlerCount(), 0u);
    EXPECT_FALSE(Arrive("ab"));
    EXPECT_EQ(d.InputCount(), 2u);
    d.AddWindowHandler(w.Window());
    EXPECT_FALSE(d.ScanInput());  // no new bytes: no notice
    EXPECT_TRUE(w.notices.empty());
    EXPECT_TRUE(Arrive("c"));
    EXPECT_EQ(w.AvailCounts(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(w.received, "abc");

    // The first window removes the second during a notice: the second is
    // skipped for the rest of it and freed when it ends.
    TNoticeWindow second(d);
    d.AddWindowHandler(second.Window());
    w.onNotice = [&](uint32_t) {
        d.RemoveWindowHandler(second.Window());
        EXPECT_EQ(d.WindowHandlerCount(), 2u);
    };
    EXPECT_TRUE(Arrive("d"));
    EXPECT_TRUE(second.notices.empty());
    EXPECT_EQ(d.WindowHandlerCount(), 1u);
    EXPECT_FALSE(d.NoticeBusy());
    w.onNotice = nullptr;

    // A ring that fills completely brings the head back where it was; the
    // arrival is still noticed (and the full ring read out).
    const std::string block(kInputRingSize, 'F');
    d.QueueInput(block, false);
    d.PullInput();
    EXPECT_TRUE(d.Full());
    EXPECT_TRUE(d.ScanInput());
    EXPECT_EQ(w.AvailCounts().back(), kInputRingSize);
    EXPECT_EQ(d.InputCount(), 0u);
}

TEST_F(Notices, DispatchLogRecordsNoticesAndRegistrations) {
    ASSERT_EQ(d.InitDispatchLog(4096), 0);
    TNoticeWindow second(d);
    d.AddWindowHandler(second.Window());
    d.SetAvailThreshold(2);
    EXPECT_TRUE(Arrive("ab"));
    d.RemoveWindowHandler(second.Window());
    const std::string file = ::testing::TempDir() + "notices.log";
    ASSERT_EQ(d.WriteDispatchLogFile(file, false, false, false), 0);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(file.c_str());
    const std::string log = text.str();
    const size_t alloc = log.find("TrgHdAlc  Window");
    const size_t change = log.find("TrDatChg  Avail         00000002");
    const size_t avail = log.find("Trigger   Avail         00000002");
    const size_t dispose = log.find("TrgHdDsp  Window");
    ASSERT_NE(alloc, std::string::npos) << log;
    ASSERT_NE(change, std::string::npos) << log;
    ASSERT_NE(avail, std::string::npos) << log;
    ASSERT_NE(dispose, std::string::npos) << log;
    EXPECT_LT(alloc, change);
    EXPECT_LT(change, avail);
    EXPECT_LT(avail, dispose);
}

TEST(MatchStep, PartialMatchesOverlapAndCaseFolds) {
    auto run = [](const std::string& pattern, const std::string& input, bool ignoreCase) {
        const TDataTriggerRec t = DataTrigger(1, pattern, ignoreCase);
        std::array<uint32_t, kMatchSlots> state{};
        std::vector<size_t> ends;
        for (size_t i = 0; i < input.size(); ++i) {
            if (TRirBaseDispatcher::MatchStep(state, input[i], t.Length, ignoreCase, t.Pattern)) {
                ends.push_back(i);
            }
        }
        return ends;
    };
    using Ends = std::vector<size_t>;
    EXPECT_EQ(run("$GP", "xx$GPGGA,$GPRMC", false), (Ends{4, 11}));
    // A partial match that fails part-way while another has begun.
    EXPECT_EQ(run("ABAC", "ABABAC", false), (Ends{5}));
    EXPECT_EQ(run("AAB", "AAAAB", false), (Ends{4}));
    // A match resets every partial match: "AA" in "AAAA" ends at 1 and 3.
    EXPECT_EQ(run("AA", "AAAA", false), (Ends{1, 3}));
    EXPECT_EQ(run("Z", "aZbZ", false), (Ends{1, 3}));
    // Ignore case folds the input; the pattern is compared as stored.
    EXPECT_EQ(run("GGA", "$gpgga,GGA", true), (Ends{5, 9}));
    EXPECT_EQ(run("gga", "$gpgga", true), (Ends{}));
    EXPECT_EQ(run("GGA", "$gpgga", false), (Ends{}));
    // Patterns of the longest kinds never reach past the pattern or the slots.
    const std::string longest(kMaxPatternLength, 'Q');
    EXPECT_EQ(run(longest, std::string(30, 'Q'), false), (Ends{23}));
    EXPECT_EQ(run("", "abc", false), (Ends{}));
}

TEST_F(Notices, DataTriggersSendTheBytesBeforeThePatternThenTheMatch) {
    TSavedTriggers saved;
    saved.AvailThreshold = 1;
    saved.Data = std::make_unique<std::vector<TDataTriggerRec>>();
    saved.Data->push_back(DataTrigger(0x21, "$GP", false));
    saved.Data->push_back(DataTrigger(0x22, "RMC", true));
    d.RestoreTriggers(saved);

    // "ab$GP": "ab" goes out as data available, then the match of 3 bytes.
    EXPECT_TRUE(Arrive("ab$GPrmc,1"));
    ASSERT_GE(w.notices.size(), 2u);
    EXPECT_EQ(w.notices[0].msg, MsgTriggerAvail);
    EXPECT_EQ(w.notices[0].trigger, 2u);
    EXPECT_EQ(w.notices[1].msg, MsgTriggerData);
    EXPECT_EQ(w.notices[1].trigger, 0x21u);
    EXPECT_EQ(w.notices[1].lParam, (d.Handle() << 16) + 3);
    EXPECT_EQ(w.received, "ab");
    // The scan goes on after the match: "rmc" (ignoring case) matches the
    // second trigger; the bytes in front of it are offered first.
    while (d.ScanInput()) {
    }
    ASSERT_EQ(w.notices.size(), 5u);
    EXPECT_EQ(w.notices[2].msg, MsgTriggerAvail);
    EXPECT_EQ(w.notices[2].trigger, 3u);  // "$GP"
    EXPECT_EQ(w.notices[3].msg, MsgTriggerData);
    EXPECT_EQ(w.notices[3].trigger, 0x22u);
    EXPECT_EQ(w.notices[4].msg, MsgTriggerAvail);
    EXPECT_EQ(w.received, "ab$GPrmc,1");
    EXPECT_FALSE(d.ScanInput());
    // The matcher's state stays with the trigger across arrivals.
    EXPECT_TRUE(Arrive("x$G"));
    EXPECT_EQ(w.notices.back().msg, MsgTriggerAvail);
    EXPECT_TRUE(Arrive("P"));
    EXPECT_EQ(w.notices.back().msg, MsgTriggerData);
    EXPECT_EQ(w.notices.back().trigger, 0x21u);
    // Clearing the input forgets partial matches.
    Arrive("$G");
    EXPECT_NE(d.DataTriggerRecs()[0].MatchState, (std::array<uint32_t, kMatchSlots>{}));
    d.ClearInput();
    for (const TDataTriggerRec& t : d.DataTriggerRecs()) {
        EXPECT_EQ(t.Matched, 0u);
        EXPECT_EQ(t.MatchState, (std::array<uint32_t, kMatchSlots>{}));
    }
}

TEST_F(Notices, StatusTriggersOfEveryKind) {
    std::vector<TNotice> got;
    d.RemoveWindowHandler(w.Window());
    d.AddProcHandler([&](uint32_t msg, uint32_t trigger, int32_t l) {
        got.push_back({msg, trigger, l});
    });
    auto status = [](uint32_t handle, uint16_t value) {
        TStatusTriggerRec t;
        t.Handle = handle;
        t.Kind = TRirBaseDispatcher::StatusTriggerKind(static_cast<uint8_t>(handle));
        t.Value = value;
        t.Armed = 1;
        return t;
    };
    TSavedTriggers saved;
    saved.Status = std::make_unique<std::vector<TStatusTriggerRec>>();
    saved.Status->push_back(status(0x09, 0x1000));    // kind 1: CTS (mask 0x10) not low
    saved.Status->push_back(status(0x0A, leParity));  // kind 2: a parity error
    saved.Status->push_back(status(0x0B, 4000));      // kind 3: 4000 bytes free
    saved.Status->push_back(status(0x0C, 10));        // kind 4: at most 10 bytes waiting
    saved.Status->push_back(status(0x0D, 0));         // kind 5: output sent
    d.RestoreTriggers(saved);
    d.StopThreads();  // the output stays in the ring

    // Nothing holds: nothing fires.
    d.SetModemStatusByte(0x00);
    ASSERT_EQ(d.WriteBlock(std::string(200, 'o')), 0);
    d.SetOutputSentPending(false);
    EXPECT_FALSE(d.ScanStatusTriggers());
    EXPECT_TRUE(got.empty());

    // Each kind fires once when its condition holds, disarmed afterwards.
    d.SetModemStatusByte(0x10);
    EXPECT_TRUE(d.ScanStatusTriggers());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, MsgTriggerStatus);
    EXPECT_EQ(got[0].trigger, 0x09u);
    EXPECT_EQ(got[0].lParam, d.Handle() << 16);
    EXPECT_TRUE(d.StatusHit());
    d.SetLineErrorBits(leParity | leFraming);
    EXPECT_TRUE(d.ScanStatusTriggers());
    EXPECT_EQ(got.back().trigger, 0x0Au);
    EXPECT_EQ(d.StatusTriggerRecs()[1].Value, leParity | leFraming);
    d.ClearOutput();
    EXPECT_TRUE(d.ScanStatusTriggers());
    EXPECT_EQ(got.back().trigger, 0x0Bu);
    EXPECT_EQ(got.back().lParam, (d.Handle() << 16) + 4096);
    EXPECT_TRUE(d.ScanStatusTriggers());
    EXPECT_EQ(got.back().trigger, 0x0Cu);
    EXPECT_EQ(got.back().lParam, d.Handle() << 16);  // nothing waiting
    d.SetOutputSentPending(true);
    EXPECT_TRUE(d.ScanStatusTriggers());
    EXPECT_EQ(got.back().trigger, 0x0Du);
    EXPECT_FALSE(d.OutputSentPendingNow());
    EXPECT_FALSE(d.ScanStatusTriggers());
    EXPECT_EQ(got.size(), 5u);
    for (const TStatusTriggerRec& t : d.StatusTriggerRecs()) {
        EXPECT_EQ(t.Armed, 0) << t.Handle;
        EXPECT_EQ(t.HitThisCycle, 1) << t.Handle;
    }
    d.ResetStatusHits();
    EXPECT_FALSE(d.StatusHit());
    EXPECT_EQ(d.StatusTriggerRecs()[0].HitThisCycle, 0);
}

TEST_F(Notices, TimerTriggersAndSavedSetsRoundTrip) {
    std::vector<TNotice> got;
    d.AddProcHandler([&](uint32_t msg, uint32_t trigger, int32_t l) {
        got.push_back({msg, trigger, l});
    });
    TSavedTriggers saved;
    saved.AvailThreshold = 7;
    saved.Timers = std::make_unique<std::vector<TTimerTriggerRec>>(2);
    const uint32_t now = MillisecondClock();
    (*saved.Timers)[0].Handle = 0x31;
    StartEventTimerAt((*saved.Timers)[0].Timer, 1000, now);  // far off
    (*saved.Timers)[0].Armed = 1;
    (*saved.Timers)[1].Handle = 0x32;
    StartEventTimerAt((*saved.Timers)[1].Timer, 1, now - 10 * kEventTimerTickMs);  // run out
    (*saved.Timers)[1].Armed = 1;
    saved.Data = std::make_unique<std::vector<TDataTriggerRec>>();
    saved.Data->push_back(DataTrigger(0x41, "OK", true));
    saved.Status = std::make_unique<std::vector<TStatusTriggerRec>>(1);
    (*saved.Status)[0].Handle = 0x0D;
    (*saved.Status)[0].Kind = 5;
    d.RestoreTriggers(saved);

    EXPECT_TRUE(d.ScanTimers());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, MsgTriggerTimer);
    EXPECT_EQ(got[0].trigger, 0x32u);
    EXPECT_FALSE(d.ScanTimers());  // disarmed; the other has not run out
    EXPECT_EQ(d.TimerTriggerRecs()[1].Armed, 0);
    EXPECT_EQ(d.TimerTriggerRecs()[0].Armed, 1);

    // A saved copy holds what the lists hold, including the disarmed timer.
    TSavedTriggers copy;
    d.SaveTriggers(copy);
    EXPECT_EQ(copy.AvailThreshold, 7u);
    ASSERT_TRUE(copy.Timers && copy.Data && copy.Status);
    EXPECT_EQ(copy.Timers->size(), 2u);
    EXPECT_EQ((*copy.Timers)[1].Armed, 0);
    EXPECT_EQ((*copy.Data)[0].Pattern[1], 'K');
    EXPECT_EQ((*copy.Status)[0].Handle, 0x0Du);
    d.ClearTriggers();
    EXPECT_EQ(d.AvailThreshold(), 0u);
    EXPECT_TRUE(d.TimerTriggerRecs().empty());
    d.RestoreTriggers(copy);
    EXPECT_EQ(d.AvailThreshold(), 7u);
    EXPECT_EQ(d.TimerTriggerRecs().size(), 2u);
    EXPECT_EQ(d.DataTriggerRecs()[0].Handle, 0x41u);
    TRirBaseDispatcher::ReleaseSavedTriggers(copy);
    EXPECT_FALSE(copy.Timers || copy.Data || copy.Status);
}

}  // namespace
