// The receiver as a component: what it owns and its values after
// construction, the PC clock through the clock setter seam, and the alarm
// tones and error beep through the sound player.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "NmeaTestSupport.h"
#include "gps/GPS.h"
#include "serial/ComPort.h"
#include "support/Pump.h"
#include "toolkit/Clock.h"
#include "toolkit/Sound.h"
#include "toolkit/Sync.h"
#include "toolkit/SystemClock.h"
#include "toolkit/Timer.h"

using namespace gps;
using gpstest::Feed;
using gpstest::FeedArrived;
using gpstest::Sentence;
using testsupport::PumpUntil;

namespace {

const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const std::string kRmcVoid = "$GPRMC,123519,V,,,,,,,230394,,*33";
const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A";

// Records what reaches the clock setter and answers as told.
struct TRecordingClock : tk::TSystemClock {
    struct TCall {
        bool local;
        tk::TClockFields fields;
    };
    std::vector<TCall> calls;
    bool answer = true;
    bool fail = false;
    bool SetSystemTime(const tk::TClockFields& f) override { return Record(false, f); }
    bool SetLocalTime(const tk::TClockFields& f) override { return Record(true, f); }
    bool Record(bool local, const tk::TClockFields& f) {
        calls.push_back({local, f});
        if (fail) {
            throw std::runtime_error("clock setter failed");
        }
        return answer;
    }
};

// Milliseconds of the day of clock fields.
int64_t MsOfDay(const tk::TClockFields& f) {
    return ((f.hour * 60 + f.minute) * 60 + f.second) * 1000LL + f.milliseconds;
}

// Records the calls of the sound player, interleaved with the events of a trail.
struct TRecordingSound : tk::TSound {
    std::vector<std::string>* trail = nullptr;
    std::vector<std::string> own;
    void Add(std::string s) { (trail ? *trail : own).push_back(std::move(s)); }
    void Beep(uint32_t hz, uint32_t ms) override {
        Add("Beep " + std::to_string(hz) + " " + std::to_string(ms));
    }
    void Pause(uint32_t ms) override { Add("Pause " + std::to_string(ms)); }
    void SystemBeep() override { Add("SystemBeep"); }
};

const std::vector<std::string> kAlarm = {"Beep 750 500", "Pause 25", "Beep 1000 700", "Pause 25",
                                         "Beep 750 500"};

}  // namespace

TEST(ReceiverComponent, OwnsItsPortAndTimerWithTheirStartingValues) {
    TGPS gps;
    EXPECT_EQ(gps.Owner(), nullptr);
    ASSERT_EQ(gps.ComponentCount(), 2u);
    EXPECT_EQ(gps.Components(0), &gps.ComPort());
    EXPECT_EQ(gps.Components(1), &gps.LossTimer());
    EXPECT_EQ(gps.ComPort().Owner(), &gps);
    EXPECT_EQ(gps.LossTimer().Owner(), &gps);
    EXPECT_EQ(gps.ComPort().Baud(), 4800);
    EXPECT_TRUE(static_cast<bool>(gps.ComPort().OnTriggerAvail()));
    EXPECT_EQ(gps.LossTimer().Interval(), 3000u);
    EXPECT_TRUE(gps.LossTimer().Enabled());
    EXPECT_EQ(gps.ComBaud(), 4800);
    EXPECT_EQ(gps.ComNumber(), 0);
    EXPECT_FALSE(gps.ComOpen());
    EXPECT_EQ(gps.ComTimeOut(), 3000);
    EXPECT_FALSE(gps.Silent());
    EXPECT_EQ(gps.Version(), "1.0.0");
    gps.SetVersion("2.0");
    EXPECT_EQ(gps.Version(), "1.0.0");

    // The properties lead to the port while it is closed.
    gps.SetComBaud(9600);
    gps.SetComNumber(2);
    EXPECT_EQ(gps.ComPort().Baud(), 9600);
    EXPECT_EQ(gps.ComPort().ComNumber(), 2);
    EXPECT_FALSE(gps.ComOpen());
    gps.ComPort().SetBaud(19200);
    EXPECT_EQ(gps.ComBaud(), 19200);
    // The time-out is the timer's interval; a negative one never fires.
    gps.SetComTimeOut(1500);
    EXPECT_EQ(gps.LossTimer().Interval(), 1500u);
    gps.SetComTimeOut(-5);
    EXPECT_EQ(gps.ComTimeOut(), -5);
    EXPECT_EQ(gps.LossTimer().Interval(), 0u);
    EXPECT_TRUE(gps.LossTimer().Enabled());

    // Owned by a form, freed with it (what it owns along with it).
    int losses = 0;
    {
        tk::TComponent form(nullptr);
        auto* owned = new TGPS(&form);
        EXPECT_EQ(owned->Owner(), &form);
        EXPECT_EQ(form.ComponentCount(), 1u);
        owned->SetComTimeOut(20);
        owned->OnComLoss = [&](TGPS&) { ++losses; };
    }
    testsupport::PumpUntil([] { return false; }, 100);
    EXPECT_EQ(losses, 0);
}

TEST(ReceiverComponent, LossOfDataOncePerSilence) {
    TGPS gps;
    gps.SetComTimeOut(150);
    std::vector<uint32_t> losses;
    gps.OnComLoss = [&](TGPS& sender) {
        EXPECT_EQ(&sender, &gps);
        EXPECT_FALSE(sender.LossTimer().Enabled()) << "disabled before the event";
        losses.push_back(tk::MonotonicMs());
    };
    ASSERT_TRUE(PumpUntil([&] { return losses.size() == 1; }));
    EXPECT_TRUE(gps.Silent());
    PumpUntil([] { return false; }, 400);
    EXPECT_EQ(losses.size(), 1u) << "once per silence";

    // The next line ends the silence and starts the countdown again;
    // characters without a carriage return do not.
    const uint32_t lastLine = tk::MonotonicMs();
    Feed(gps, kGsa + "\r\n");
    EXPECT_FALSE(gps.Silent());
    EXPECT_TRUE(gps.LossTimer().Enabled());
    for (int i = 0; i < 4; ++i) {
        Feed(gps, "$GPGSA,A,3,04");
        PumpUntil([] { return false; }, 20);
    }
    ASSERT_TRUE(PumpUntil([&] { return losses.size() == 2; }));
    // (A system timer may fire up to a clock tick early.)
    EXPECT_GE(losses[1] - lastLine, 150u - 16);
    EXPECT_TRUE(gps.Silent());
}

TEST(ReceiverComponent, SetsTheClockFromTheFixArrivalMovedOnByItsAgeAndTheOffset) {
    TRecordingClock clock;
    tk::TSystemClockInstall install(clock);
    TGPS gps;
    EXPECT_EQ(gps.ClockOffsetMs(), 0);

    // No fix, or a fix that no GPRMC has dated yet: false, the clock untouched.
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    Feed(gps, kGga + "\r\n");
    ASSERT_TRUE(gps.FixValid());
    EXPECT_EQ(gps.UTCTime(), 0.0);
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    // A GPRMC that came from no port (a file): no arrival time, no clock.
    Feed(gps, kRmc + "\r\n");
    ASSERT_GT(gps.UTCTime(), 0.0);
    EXPECT_FALSE(gps.FixArrival().Known());
    double now = 0.0;
    EXPECT_FALSE(gps.GPSNow(now));
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    EXPECT_TRUE(clock.calls.empty());

    // 2094-03-23 12:35:19 UTC (two-digit years are 20xx), a Tuesday, whose
    // "$" came 200 ms ago, from a receiver that sends 50 ms into the second:
    // the same fields reach both clocks, 250 ms and the age on.
    gps.SetClockOffsetMs(50);
    TArrivalTime arrival = TArrivalTime::Now();
    arrival.MonoUs -= 200000;
    FeedArrived(gps, kRmc + "\r\n", arrival);
    EXPECT_EQ(gps.LineArrival(), arrival);
    EXPECT_EQ(gps.FixArrival(), arrival);
    ASSERT_TRUE(gps.SetSysClock());
    ASSERT_TRUE(gps.SetLocalClock());
    ASSERT_EQ(clock.calls.size(), 2u);
    EXPECT_FALSE(clock.calls[0].local);
    EXPECT_TRUE(clock.calls[1].local);
    const int64_t sentence = MsOfDay({2094, 3, 2, 23, 12, 35, 19, 0});
    for (const auto& call : clock.calls) {
        const tk::TClockFields& f = call.fields;
        EXPECT_EQ(f.year, 2094);
        EXPECT_EQ(f.month, 3);
        EXPECT_EQ(f.day, 23);
        EXPECT_EQ(f.dayOfWeek, 2);
        EXPECT_GE(MsOfDay(f) - sentence, 250);
        EXPECT_LE(MsOfDay(f) - sentence, 255);
    }

    // Another line of the same second: its own arrival, the fix's unchanged.
    TArrivalTime later = TArrivalTime::Now();
    FeedArrived(gps, kGsa + "\r\n", later);
    EXPECT_EQ(gps.LineArrival(), later);
    EXPECT_EQ(gps.FixArrival(), arrival);

    // A second on, the time set is a second later.
    tk::Sleep(1000);
    clock.calls.clear();
    const uint64_t before = tk::MonotonicUs();
    ASSERT_TRUE(gps.SetSysClock());
    const uint64_t after = tk::MonotonicUs();
    ASSERT_EQ(clock.calls.size(), 1u);
    const int64_t set = MsOfDay(clock.calls[0].fields) - sentence;
    EXPECT_GE(set, static_cast<int64_t>((before - arrival.MonoUs) / 1000) + 50);
    EXPECT_LE(set, static_cast<int64_t>((after - arrival.MonoUs) / 1000) + 51);

    // The system refuses, or the setter fails: false, nothing thrown.
    clock.answer = false;
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    clock.fail = true;
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    clock.fail = false;
    clock.answer = true;

    // Silent receiver: false without a call until the next line, which need
    // not be a GPRMC (the fix is still valid, its age still counted).
    gps.SetComTimeOut(100);
    Feed(gps, kGsa + "\r\n");
    bool lost = false;
    gps.OnComLoss = [&](TGPS&) { lost = true; };
    ASSERT_TRUE(PumpUntil([&] { return lost; }));
    clock.calls.clear();
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    EXPECT_TRUE(clock.calls.empty());
    Feed(gps, kGsa + "\r\n");
    EXPECT_TRUE(gps.SetSysClock());
    ASSERT_EQ(clock.calls.size(), 1u);
    EXPECT_GE(MsOfDay(clock.calls[0].fields) - sentence, 1350);

    // The fix lost: false again.
    FeedArrived(gps, kRmcVoid + "\r\n", TArrivalTime::Now());
    clock.calls.clear();
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_FALSE(gps.SetLocalClock());
    // A GPRMC with status A whose date does not decode dates nothing.
    FeedArrived(
        gps, Sentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,320394,003.1,W") + "\r\n",
        TArrivalTime::Now());
    ASSERT_TRUE(gps.FixValid());
    EXPECT_FALSE(gps.SetSysClock());
    EXPECT_TRUE(clock.calls.empty());

    // A GPRMC that its decoder rejects dates nothing, though it leaves its
    // time in UTCTime; a fix valid before it stays valid.
    TGPS rejected;
    Feed(rejected, kGsa + "\r\n");
    Feed(rejected, Sentence("GPRMC,120000,A,4800.000,N,01100.000,E,fast,090.0,150624,,") + "\r\n");
    ASSERT_TRUE(rejected.FixValid());
    EXPECT_GT(rejected.UTCTime(), 0.0);
    EXPECT_EQ(rejected.ClockTime(), 0.0);
    EXPECT_FALSE(rejected.SetSysClock());
    EXPECT_FALSE(rejected.SetLocalClock());
    EXPECT_TRUE(clock.calls.empty());
}

TEST(ReceiverComponent, AlarmTonesAndErrorBeepGoThroughTheSoundPlayer) {
    TRecordingSound sound;
    tk::TSoundInstall install(sound);
    FixLossBeep();
    EXPECT_EQ(sound.own, kAlarm);
    sound.own.clear();

    TGPS gps;
    std::vector<std::string> trail;
    sound.trail = &trail;
    gps.OnFixLoss = [&](TGPS&) { trail.emplace_back("FixLoss"); };
    gps.OnError = [&](TGPS&, const std::string& m) { trail.push_back("Error " + m); };
    gps.OnSentence = [&](TGPS&, const std::string& id, const TDataArray&) {
        trail.push_back("Sentence " + id);
    };

    // Switched off: no sound.
    Feed(gps, kRmc + "\r\n" + kRmcVoid + "\r\n$GPGSA*00\r\n");
    EXPECT_EQ(trail, (std::vector<std::string>{"Sentence GPRMC", "FixLoss", "Sentence GPRMC",
                                               "Error Checksum failed"}));
    trail.clear();

    // Switched on: the alarm after the loss event, the system beep after the error.
    gps.SetFixLossAlarm(true);
    gps.SetErrorBeep(true);
    Feed(gps, kRmc + "\r\n" + kRmcVoid + "\r\n$GPGSA*00\r\n");
    std::vector<std::string> expected = {"Sentence GPRMC", "FixLoss"};
    expected.insert(expected.end(), kAlarm.begin(), kAlarm.end());
    expected.insert(expected.end(), {"Sentence GPRMC", "Error Checksum failed", "SystemBeep"});
    EXPECT_EQ(trail, expected);
}
