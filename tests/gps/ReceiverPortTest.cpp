// The receiver on a live port: pseudo-terminal pairs on POSIX, COM pairs
// under Wine, the test playing the GPS at the remote end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "NmeaTestSupport.h"
#include "gps/GPS.h"
#include "serial/ComPortTestSupport.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/Clock.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"
#include "toolkit/Timer.h"

using namespace gps;
using namespace cptest;
using gpstest::Feed;
using gpstest::Sentence;
using gpstest::TEventLog;

namespace {

const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A";

// A receiver's stream from cold start to a differential fix, with a tail
// caught at start-up and a corrupted line.
const std::string kStream =
    "0,M,,*4F\r\n"
    "$GPGGA,000012.00,,,,,0,00,99.99,,,,,,*65\r\n"
    "$GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99*30\r\n"
    "$GPRMC,000013.00,V,,,,,,,,,,N*7F\r\n" +
    Sentence("GPGSA,A,2,05,12,21,,,,,,,,,,3.4,3.2,1.0") + "\r\n" +
    Sentence("GPGGA,002153.0,3342.6618,N,11751.3858,W,1,03,3.2,-27.0,M,-34.2,M,,") + "\r\n" +
    Sentence("GPRMC,002153.0,A,3342.6618,N,11751.3858,W,0.5,271.3,091202,12.5,E,A") + "\r\n" +
    "$GPRMC,002154,A,3342.6620,N,11751.3860,W,0.4,270.9,091202,,,A*6a\r\n" +
    Sentence("GPGSA,A,3,05,12,21,29,,,,,,,,,1.9,1.1,1.5") + "\r\n" +
    Sentence("GPGGA,002155.000,3342.6621,N,11751.3861,W,2,05,1.1,-27.4,M,-34.2,M,1.5,0136") +
    "\r\n" + Sentence("GPRMC,002156.000,A,3342.6622,N,11751.3862,W,0.3,270.1,091202,,,D") + "\r\n";

// System timers may fire up to a clock tick early against the monotonic
// clock (Windows counts them in ticks of about 15.6 ms).
constexpr uint32_t kTick = 16;

// A receiver set up for port n without a prompt, at its own 4800 baud.
void UsePort(TGPS& gps, uint16_t n) {
    gps.ComPort().SetPromptForPort(false);
    gps.SetComNumber(n);
}

// Counts the receiver's lines and loss events with their times (a line's
// time is taken in its OnSentence, after the timer restarted).
struct TLineClock {
    int lines = 0;
    uint32_t lastLine = 0;
    std::vector<uint32_t> losses;
    explicit TLineClock(TGPS& gps) {
        gps.OnSentence = [this](TGPS&, const std::string&, const TDataArray&) {
            ++lines;
            lastLine = tk::MonotonicMs();
        };
        gps.OnComLoss = [this](TGPS&) { losses.push_back(tk::MonotonicMs()); };
    }
};

// A window of another thread that takes the port's notices only once the
// test lets it: until then the dispatch thread waits for it, with its
// notice under way, though no trigger event runs on the test thread.
class TLateWindow {
  public:
    TLateWindow()
        : thread_([this] {
              window_ = tk::CreateNotifyWindow("lateWindow", [](auto...) { return 0; });
              made_.Set();
              released_.Wait(tk::kInfinite);
              PumpUntil([this] { return stop_.load(); }, 60000);
              tk::DestroyNotifyWindow(window_);
          }) {
        made_.Wait(tk::kInfinite);
    }
    ~TLateWindow() {
        stop_ = true;
        released_.Set();
        thread_.WaitFor(tk::kInfinite);
    }
    tk::TWindowHandle Window() const { return window_; }
    // From now on the window takes its messages.
    void Release() { released_.Set(); }

  private:
    tk::TEvent made_{true, false};
    tk::TEvent released_{true, false};
    std::atomic<bool> stop_{false};
    tk::TWindowHandle window_ = 0;
    tk::TThread thread_;
};

// Serves messages until ms have passed since `since` (the pace of lines
// from a receiver, not a wait for anything).
void PumpUntilPast(uint32_t since, uint32_t ms) {
    PumpUntil([&] { return tk::MonotonicMs() - since >= ms; }, ms + 1000);
}

// Sets off a timer due ms from now; `late` is true when it fired before the
// receiver's first loss. The queue hands out the earliest due timer first,
// so it cannot fire first however late the thread serves its messages, as
// long as the loss is due earlier.
struct TLossDeadline {
    bool late = false;
    tk::TTimer timer{nullptr};
    TLossDeadline(const std::vector<uint32_t>& losses, size_t count, uint32_t ms) {
        timer.SetInterval(ms);
        timer.OnTimer = [this, &losses, count](tk::TComponent&) {
            late = late || losses.size() < count;
            timer.SetEnabled(false);
        };
    }
};

// The events of one line at the end of what a test writes: once they are
// in, everything written before has been read and processed.
const std::string kFence = Sentence("GPZDA,002157.00,09,12,2002,00,00");

}  // namespace

TEST(ReceiverPort, BytesInEventsOut) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());

    TGPS reference;
    TEventLog expected(reference);
    Feed(reference, kStream);
    ASSERT_EQ(expected.events.size(), 18u);
    Feed(reference, kFence + "\r\n");

    TGPS gps;
    TEventLog log(gps);
    UsePort(gps, kPortA);
    gps.SetComOpen(true);
    EXPECT_TRUE(gps.ComOpen());
    EXPECT_TRUE(gps.ComPort().Open());
    // In two pieces, the cut inside a line.
    const size_t cut = kStream.size() / 2 + 3;
    ASSERT_TRUE(remote.Write(kStream.substr(0, cut)));
    ASSERT_TRUE(PumpUntil([&] { return log.events.size() >= 8; }));
    ASSERT_TRUE(remote.Write(kStream.substr(cut) + kFence + "\r\n"));
    ASSERT_TRUE(
        PumpUntil([&] { return !log.events.empty() && log.events.back() == "Sentence GPZDA"; }));
    EXPECT_EQ(log.events, expected.events);
    EXPECT_EQ(gps.NmeaSentence(), reference.NmeaSentence());
    EXPECT_DOUBLE_EQ(gps.UTCTime(), reference.UTCTime());
    EXPECT_DOUBLE_EQ(gps.Lat(), reference.Lat());
    EXPECT_EQ(gps.FixQuality(), 2);

    // Closed: what still arrives is not read; the next receiver on the
    // port gets it.
    gps.SetComOpen(false);
    EXPECT_FALSE(gps.ComOpen());
    EXPECT_FALSE(gps.ComPort().Open());
    log.Take();
    TGPS next;
    TEventLog nextLog(next);
    UsePort(next, kPortA);
    next.SetComOpen(true);
    ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !nextLog.events.empty(); }));
    EXPECT_EQ(nextLog.events.front(), "Sentence GPGSA");
    EXPECT_TRUE(log.events.empty());
}

TEST(ReceiverPort, LossThreeSecondsAfterTheLastLineAndOnce) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());

    // A new receiver without any line: once, 3000 ms after construction
    // (before a timer due at 4500 ms).
    const uint32_t built = tk::MonotonicMs();
    TGPS gps;
    TLineClock clock(gps);
    TLossDeadline first(clock.losses, 1, 4500);
    UsePort(gps, kPortA);
    gps.SetComOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return clock.losses.size() == 1; }, 60000));
    EXPECT_GE(clock.losses[0] - built, 3000u - kTick);
    EXPECT_FALSE(first.late);

    // Lines every 250 ms keep it quiet; after the last, it comes 3000 ms
    // later (before a timer due 4500 ms after the last line).
    uint32_t wrote = 0;
    for (int i = 1; i <= 5; ++i) {
        wrote = tk::MonotonicMs();
        ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
        ASSERT_TRUE(PumpUntil([&] { return clock.lines == i; }));
        if (i < 5) {
            PumpUntilPast(wrote, 250);
        }
    }
    TLossDeadline second(clock.losses, 2, 4500);
    EXPECT_EQ(clock.losses.size(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return clock.losses.size() == 2; }, 60000));
    EXPECT_GE(clock.losses[1] - wrote, 3000u - kTick);
    EXPECT_FALSE(second.late);
    // A time-out's worth of timers more have their turn: no second loss.
    ASSERT_TRUE(testsupport::PumpPastTimers(3300));
    EXPECT_EQ(clock.losses.size(), 2u) << "once per silence";
}

TEST(ReceiverPort, TimeOutChangesOnARunningAndAStoppedTimer) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    TGPS gps;
    TLineClock clock(gps);
    UsePort(gps, kPortA);
    gps.SetComTimeOut(60000);
    gps.SetComOpen(true);

    // Running: at least 200 ms after a line the time-out becomes 400 ms;
    // the loss comes 400 ms after the change, not 400 ms after the line.
    ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 1; }));
    PumpUntilPast(clock.lastLine, 200);
    ASSERT_TRUE(clock.losses.empty());
    const uint32_t changed = tk::MonotonicMs();
    gps.SetComTimeOut(400);
    EXPECT_EQ(gps.LossTimer().Interval(), 400u);
    ASSERT_TRUE(PumpUntil([&] { return clock.losses.size() == 1; }));
    EXPECT_GE(clock.losses[0] - changed, 400u - kTick);

    // Stopped: a new time-out leaves it stopped until the next line.
    gps.SetComTimeOut(150);
    EXPECT_FALSE(gps.LossTimer().Enabled());
    ASSERT_TRUE(testsupport::PumpPastTimers(3 * 150));
    EXPECT_EQ(clock.losses.size(), 1u);
    uint32_t wrote = tk::MonotonicMs();
    ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.losses.size() == 2; }));
    EXPECT_GE(clock.losses[1] - wrote, 150u - kTick);

    // Closing the port stops the lines: the loss follows the last line
    // before the close.
    wrote = tk::MonotonicMs();
    ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 3; }));
    gps.SetComOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return clock.losses.size() == 3; }));
    EXPECT_GE(clock.losses[2] - wrote, 150u - kTick);

    // Time-out 0: never.
    gps.SetComTimeOut(0);
    gps.SetComOpen(true);
    ASSERT_TRUE(remote.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 4; }));
    ASSERT_TRUE(testsupport::PumpPastTimers(500));
    EXPECT_EQ(clock.losses.size(), 3u);
}

TEST(ReceiverPort, ComNumberChangedWhileOpen) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remoteA(ports, kPortA);
    TFar remoteB(ports, kPortB);
    ASSERT_TRUE(remoteA.Ok());
    ASSERT_TRUE(remoteB.Ok());
    TGPS gps;
    TLineClock clock(gps);
    int opens = 0;
    gps.ComPort().SetOnPortOpen([&](tk::TComponent&) { ++opens; });
    UsePort(gps, kPortA);
    gps.SetComOpen(true);
    EXPECT_EQ(opens, 1);
    ASSERT_TRUE(remoteA.Write(kRmc + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 1; }));

    // The same number: nothing happens.
    gps.SetComNumber(kPortA);
    EXPECT_EQ(opens, 1);

    // Another number: closed, set, opened again there.
    gps.SetComNumber(kPortB);
    EXPECT_TRUE(gps.ComOpen());
    EXPECT_EQ(gps.ComNumber(), kPortB);
    EXPECT_EQ(opens, 2);
    ASSERT_TRUE(remoteB.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 2; }));
    // The old port is no longer read: another receiver there gets its line.
    TGPS other;
    TLineClock otherClock(other);
    UsePort(other, kPortA);
    other.SetComOpen(true);
    ASSERT_TRUE(remoteA.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return otherClock.lines == 1; }));
    other.SetComOpen(false);
    EXPECT_EQ(clock.lines, 2) << "the old port is no longer read";
    gps.SendStr("to B");
    EXPECT_EQ(remoteB.Read(4), "to B");

    // A reopening that fails passes its failure on and leaves the port
    // closed with the new number.
    const int32_t code = CodeOf([&] { gps.SetComNumber(kMissingPort); });
    if (MissingPortsOpen()) {
        EXPECT_NE(code, 0);
    } else {
        EXPECT_EQ(code, ecBadId);
    }
    EXPECT_FALSE(gps.ComOpen());
    EXPECT_EQ(gps.ComNumber(), kMissingPort);
}

// A notice still under way on the dispatch thread (here: waiting for a
// slow window of another thread) is no trigger event of this thread: the
// close is not left pending, and the port opens again on the new number.
TEST(ReceiverPort, ComNumberChangedWhileANoticeIsUnderWay) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remoteA(ports, kPortA);
    TFar remoteB(ports, kPortB);
    ASSERT_TRUE(remoteA.Ok());
    ASSERT_TRUE(remoteB.Ok());
    TGPS gps;
    TLineClock clock(gps);
    int opens = 0;
    gps.ComPort().SetOnPortOpen([&](tk::TComponent&) { ++opens; });
    UsePort(gps, kPortA);
    gps.SetComOpen(true);
    TLateWindow late;
    gps.ComPort().RequireDispatcher().AddWindowHandler(late.Window());
    ASSERT_TRUE(remoteA.Write(kRmc + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 1; }));
    ASSERT_TRUE(gps.ComPort().RequireDispatcher().NoticeBusy());
    late.Release();

    gps.SetComNumber(kPortB);
    EXPECT_EQ(opens, 2);
    EXPECT_TRUE(gps.ComOpen());
    ASSERT_TRUE(remoteB.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 2; }));

    // From inside a trigger event the close waits for the event's end, and
    // then the port opens on the number asked for.
    gps.OnSentence = [&](TGPS& g, const std::string&, const TDataArray&) {
        ++clock.lines;
        g.SetComNumber(kPortA);
    };
    ASSERT_TRUE(remoteB.Write(kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return opens == 3; }));
    gps.OnSentence = [&](TGPS&, const std::string&, const TDataArray&) { ++clock.lines; };
    EXPECT_EQ(gps.ComNumber(), kPortA);
    ASSERT_TRUE(remoteA.Write(kRmc + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines == 4; }));
}

// A receiver freed by one of its event handlers: no later event, no hang,
// and the port is free for the next receiver.
TEST(ReceiverPort, FreedByItsOwnEventHandler) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    auto gps = std::make_unique<TGPS>();
    int sentences = 0;
    gps->OnSentence = [&](TGPS&, const std::string&, const TDataArray&) {
        ++sentences;
        gps.reset();
    };
    UsePort(*gps, kPortA);
    gps->SetComOpen(true);
    ASSERT_TRUE(remote.Write(kGsa + "\r\n" + kGsa + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return gps == nullptr; }));
    EXPECT_EQ(sentences, 1);

    // The next receiver's line comes after anything left of the first.
    TGPS again;
    TLineClock clock(again);
    UsePort(again, kPortA);
    again.SetComOpen(true);
    ASSERT_TRUE(remote.Write(kRmc + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return clock.lines >= 1; }));
    EXPECT_EQ(sentences, 1);
}

TEST(ReceiverPort, SendStrAndOpenFailures) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    TGPS gps;
    UsePort(gps, kPortA);

    // Closed: nothing is sent and the port stays closed.
    gps.SendStr("$PXYZ,closed*00\r\n");
    EXPECT_FALSE(gps.ComOpen());
    EXPECT_FALSE(gps.ComPort().Open());
    gps.SetComOpen(true);

    // Open: the bytes arrive unchanged, first, without a line ending added;
    // an empty text sends nothing before the next.
    const std::string text = std::string("$PSRF100,1,4800,8,1,0*0E\r\n") + '\0' + "\xFF\xB0\x7F";
    gps.SendStr(text);
    gps.SendStr("");
    gps.SendStr("!");
    EXPECT_EQ(remote.Read(text.size() + 1), text + "!");

    // Opening a port that is not there: the port's failure passes through.
    TGPS missing;
    UsePort(missing, kMissingPort);
    const int32_t code = CodeOf([&] { missing.SetComOpen(true); });
    if (MissingPortsOpen()) {
        EXPECT_NE(code, 0);
    } else {
        EXPECT_EQ(code, ecBadId);
    }
    EXPECT_FALSE(missing.ComOpen());
    // No port chosen and no prompt.
    TGPS unset;
    unset.ComPort().SetPromptForPort(false);
    EXPECT_EQ(CodeOf([&] { unset.SetComOpen(true); }), ecNoPortSelected);
    EXPECT_FALSE(unset.ComOpen());
}
