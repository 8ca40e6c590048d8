// The receiver fed through PortTriggerAvail: line assembly, the checksum
// gate, the order of events and the seams for timer and sounds.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "NmeaTestSupport.h"
#include "gps/GPS.h"

using namespace gps;
using gpstest::Feed;
using gpstest::Sentence;
using gpstest::TBufferSource;
using gpstest::TEventLog;
using Events = std::vector<std::string>;

namespace {

const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A";
const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const std::string kRmcVoid = "$GPRMC,123519,V,,,,,,,230394,,*33";
const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";

// Counts the calls of the receiver's seams, and where in the event order they came.
class TProbeGPS : public TGPS {
  public:
    std::vector<std::string>* trail = nullptr;
    int timerRestarts = 0;
    int lossBeeps = 0;
    int errorBeeps = 0;

  protected:
    void RestartLossTimer() override {
        ++timerRestarts;
        if (trail) {
            trail->push_back("Timer");
        }
    }
    void PlayFixLossBeep() override {
        ++lossBeeps;
        if (trail) {
            trail->push_back("LossBeep");
        }
    }
    void PlayErrorBeep() override {
        ++errorBeeps;
        if (trail) {
            trail->push_back("ErrorBeep");
        }
    }
};

}  // namespace

TEST(LineAssembly, CarriageReturnEndsLineAndLineFeedIsDropped) {
    TGPS gps;
    TEventLog log(gps);
    Feed(gps, kGsa + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGSA", "FixProgress 3D Fix 3"}));
    EXPECT_EQ(gps.NmeaSentence(), kGsa);
    EXPECT_EQ(gps.LineBuffer(), "");  // the carriage return emptied it
    EXPECT_EQ(gps.Fields()[0], "GPGSA");
    EXPECT_EQ(gps.Fields()[17], "2.2");

    // A carriage return with nothing before it is no line: CR CR LF, LF CR
    // and bare CR endings give each line once, and a stray CR cuts a line.
    for (const char* ending : {"\r\r\n", "\n\r", "\r", "\r\n\r\n"}) {
        Feed(gps, "\r" + kGsa + ending + kGsa + ending);
        EXPECT_EQ(log.Take(), (Events{"Sentence GPGSA", "Sentence GPGSA"})) << ending;
    }
    Feed(gps, "$GPGSA,A,3,04,05,,09,12\r,,,24,,,,,2.5,1.3,2.2*3A\r\n");
    EXPECT_EQ(log.Take(), (Events{"Error Checksum failed", "Error Checksum failed"}));

    // Line feeds inside a line vanish; "$" mid-line discards what came before.
    Feed(gps, "$GPGSA,A,3,04,0\n5,,09,12,,,24,,,,,2.5,1.3,2.2*3A\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGSA"}));
    Feed(gps, "$GPRMC,123519,A,48$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGSA"}));
    EXPECT_EQ(gps.NmeaSentence(), kGsa);
}

TEST(LineAssembly, ChunkingDoesNotChangeTheOutcome) {
    const std::string stream = "xx,tail*7F\r\n" + kRmc + "\r\n" + kGga + "\r\n" + kGsa + "\r\n" +
                               Sentence("GPGSV,3,1,11,03,03,111,00") + "\r\n" + kRmcVoid + "\r\n";
    Events reference;
    for (size_t chunk : {stream.size(), size_t{1}, size_t{2}, size_t{7}, size_t{64}}) {
        TGPS gps;
        TEventLog log(gps);
        Feed(gps, stream, chunk);
        if (reference.empty()) {
            reference = log.Take();
            ASSERT_EQ(reference.size(), 10u);
        } else {
            EXPECT_EQ(log.Take(), reference) << "chunk " << chunk;
        }
    }
}

TEST(LineAssembly, TakesExactlyCountCharacters) {
    TGPS gps;
    TEventLog log(gps);
    TBufferSource source(kGsa + "\r\n" + kGsa + "\r\n");
    gps.PortTriggerAvail(source, 0);
    EXPECT_EQ(source.Waiting(), kGsa.size() * 2 + 4);
    gps.PortTriggerAvail(source, static_cast<uint16_t>(kGsa.size() + 1));
    EXPECT_EQ(source.Waiting(), kGsa.size() + 3);
    EXPECT_EQ(log.Take().size(), 2u);
    // Asking for more than is waiting reaches the source's own failure.
    EXPECT_THROW(gps.PortTriggerAvail(source, 1000), std::out_of_range);
}

TEST(LineAssembly, ClosedPortAppendsCarriageReturn) {
    TGPS gps;
    TEventLog log(gps);
    TBufferSource source(kGsa + "\r");
    source.SetOpen(false);
    gps.PortTriggerAvail(source, static_cast<uint16_t>(source.Waiting()));
    EXPECT_TRUE(log.Take().empty());
    EXPECT_EQ(gps.LineBuffer(), kGsa + "\r");
    // Reopened, the next carriage return ends the line, which now has a
    // carriage return inside it after its checksum.
    source.SetOpen(true);
    source.Append("\r");
    gps.PortTriggerAvail(source, 1);
    EXPECT_EQ(log.Take(), (Events{"Error Checksum failed"}));
    EXPECT_EQ(gps.NmeaSentence(), "");
}

TEST(LineAssembly, GarbageBeforeFirstDollarAndAppendedLinesFail) {
    TGPS gps;
    TEventLog log(gps);
    // Cold start: the tail of a sentence caught mid-way.
    Feed(gps, "4.4,230394,003.1,W*6A\r\n" + kGsa + "\r\n");
    EXPECT_EQ(log.Take(),
              (Events{"Error Checksum failed", "Sentence GPGSA", "FixProgress 3D Fix 3"}));
    // Garbage between lines that is not "$" is a line of its own that fails.
    Feed(gps, std::string("\x00\xFF\r", 3));
    EXPECT_EQ(log.Take(), (Events{"Error Checksum failed"}));
    EXPECT_EQ(gps.NmeaSentence(), kGsa);
    EXPECT_EQ(gps.ErrorText(), "Checksum failed");
}

TEST(LineAssembly, LineBufferStaysBoundedAndOverflowNeverDecodes) {
    TProbeGPS gps;
    TEventLog log(gps);
    // An endless stream with neither "$" nor carriage return.
    const std::string noise(4096, 'x');
    for (int i = 0; i < 256; ++i) {
        Feed(gps, noise, 4096);
    }
    EXPECT_LE(gps.LineBuffer().size(), TGPS::kMaxLineLength);
    EXPECT_TRUE(log.Take().empty());
    EXPECT_EQ(gps.timerRestarts, 0);  // characters alone are no line

    // A valid fix followed by more bytes than the bound, all before the
    // carriage return: the checksum near the start must not let it through.
    Feed(gps, kRmc + std::string(2 * TGPS::kMaxLineLength, '\0') + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Error Line too long"}));
    EXPECT_FALSE(gps.FixValid());
    EXPECT_EQ(gps.NmeaSentence(), "");
    // The carriage return ended the overlong line: another one is no line.
    Feed(gps, "\r");
    EXPECT_TRUE(log.Take().empty());
    Feed(gps, kRmc + "\r\n");
    EXPECT_EQ(log.Take().size(), 2u);
    EXPECT_TRUE(gps.FixValid());

    // A line of exactly the bound is still whole.
    std::string payload = "PXYZ,";
    payload += std::string(TGPS::kMaxLineLength - payload.size() - 4, 'a');
    const std::string longest = Sentence(payload);
    ASSERT_EQ(longest.size(), TGPS::kMaxLineLength);
    Feed(gps, longest + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence PXYZ"}));
    EXPECT_EQ(gps.NmeaSentence(), longest);
}

TEST(ChecksumGate, FailedLinesRaiseOnlyErrorAndChangeNothing) {
    TProbeGPS gps;
    TEventLog log(gps);
    Feed(gps, kRmc + "\r\n");
    log.Take();
    const double lat = gps.LatDeg();
    for (const std::string& bad :
         {std::string("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3a"),
          std::string("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*"),
          std::string("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2"),
          std::string("$GPRMC,123519,V,,,,,,,230394,,*34"),
          std::string("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6a")}) {
        Feed(gps, bad + "\r\n");
        // Fields still hold the earlier GPRMC, but a corrupted line reports no fix.
        EXPECT_EQ(log.Take(), (Events{"Error Checksum failed"})) << bad;
        EXPECT_EQ(gps.Fields()[0], "GPRMC");
        EXPECT_EQ(gps.NmeaSentence(), kRmc);
        EXPECT_TRUE(gps.FixValid());
        EXPECT_EQ(gps.LatDeg(), lat);
    }
    EXPECT_EQ(gps.errorBeeps, 0);
    gps.SetErrorBeep(true);
    Events trail;
    gps.trail = &trail;
    Feed(gps, "$GPGSA*00\r\n");
    EXPECT_EQ(trail, (Events{"Timer", "ErrorBeep"}));
    EXPECT_EQ(gps.timerRestarts, 7);
}

TEST(ChecksumGate, OtherIdentifiersAreAcceptedUndecoded) {
    TGPS gps;
    TEventLog log(gps);
    std::vector<TDataArray> seen;
    gps.OnSentence = [&](TGPS&, const std::string& id, const TDataArray& a) {
        EXPECT_EQ(&a, &gps.Fields());
        EXPECT_EQ(id, a[0]);
        seen.push_back(a);
    };
    const std::string gnrmc =
        "$GNRMC,083559.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A,V*33";
    Feed(gps, gnrmc + "\r\n$*00\r\n");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0][0], "GNRMC");
    EXPECT_EQ(seen[0][3], "4717.11437");
    EXPECT_EQ(seen[0][13], "V");
    EXPECT_EQ(seen[1][0], "");
    EXPECT_FALSE(gps.FixValid());
    EXPECT_EQ(gps.LatDeg(), 0.0);
    EXPECT_EQ(gps.NmeaSentence(), "$*00");
    // Identifiers compare case-sensitively.
    Feed(gps, Sentence("gprmc,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,,") + "\r");
    EXPECT_FALSE(gps.FixValid());
    // 25 fields: the first 21 reach the handler.
    std::string payload = "PGRMX";
    for (int i = 1; i <= 24; ++i) {
        payload += "," + std::to_string(i);
    }
    Feed(gps, Sentence(payload) + "\r\n");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3][20], "20");
}

TEST(EventOrder, FixGainedLostAndProgress) {
    TProbeGPS gps;
    TEventLog log(gps);
    gps.SetFixLossAlarm(true);
    Events trail;
    gps.trail = &trail;
    gps.OnValidFix = [&](TGPS&, double lat, double lon, double sog, double cog) {
        trail.push_back("ValidFix");
        EXPECT_DOUBLE_EQ(lat, 48 + 7.038 / 60);
        EXPECT_DOUBLE_EQ(lon, 11 + 31.0 / 60);
        EXPECT_DOUBLE_EQ(sog, 22.4);
        EXPECT_DOUBLE_EQ(cog, 84.4);
    };
    gps.OnFixLoss = [&](TGPS&) { trail.push_back("FixLoss"); };
    gps.OnSentence = [&](TGPS&, const std::string& id, const TDataArray&) {
        trail.push_back("Sentence " + id);
    };

    Feed(gps, kRmc + "\r\n");
    EXPECT_EQ(trail, (Events{"Timer", "Sentence GPRMC", "ValidFix"}));
    trail.clear();
    // Status V after A: the fix is lost (alarm after the event), no valid fix.
    Feed(gps, kRmcVoid + "\r\n");
    EXPECT_EQ(trail, (Events{"Timer", "FixLoss", "LossBeep", "Sentence GPRMC"}));
    trail.clear();
    // The alarm sounds whether or not the event is assigned.
    Feed(gps, kRmc + "\r\n");
    gps.OnFixLoss = nullptr;
    Feed(gps, kRmcVoid + "\r\n");
    EXPECT_EQ(gps.lossBeeps, 2);

    // The first GSA with dimension 1 reports progress from 0.
    TGPS fresh;
    TEventLog freshLog(fresh);
    Feed(fresh, Sentence("GPGSA,A,1,,,,,,,,,,,,,,,") + "\r\n" +
                    Sentence("GPGSA,A,2,04,05,09,,,,,,,,,,3.1,2.9,1.0") + "\r\n" + kGsa + "\r\n" +
                    kGsa + "\r\n");
    EXPECT_EQ(freshLog.Take(), (Events{"Sentence GPGSA", "FixProgress Fix not available 1",
                                       "Sentence GPGSA", "FixProgress 2D Fix 2", "Sentence GPGSA",
                                       "FixProgress 3D Fix 3", "Sentence GPGSA"}));
}

TEST(EventOrder, QualityChangesAndFailedDecodes) {
    TGPS gps;
    TEventLog log(gps);
    Feed(gps, kGga + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGGA", "FixQuality GPS Fix (SPS) 1"}));
    Feed(gps,
         Sentence("GPGGA,123520,4807.038,N,01131.000,E,2,08,0.9,545.4,M,46.9,M,3.0,0136") + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGGA", "FixQuality DGPS 2"}));
    // Quality 0 loses the fix: loss first, quality last.
    Feed(gps, Sentence("GPGGA,123521,,,,,0,00,,,,,,,") + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"FixLoss", "Sentence GPGGA", "FixQuality Fix Not Valid 0"}));

    // A GPRMC with status A whose course is junk: an error and no fix event,
    // though the values of the earlier steps stay.
    const std::string rmcBadCourse =
        Sentence("GPRMC,123519,A,4807.038,S,01131.000,E,022.4,x,230394,,");
    Feed(gps, rmcBadCourse + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Error GPRMC is invalid"}));
    EXPECT_EQ(gps.ErrorText(), "GPRMC is invalid");
    EXPECT_EQ(gps.NmeaSentence(), rmcBadCourse);
    EXPECT_DOUBLE_EQ(gps.LatDeg(), -(48 + 7.038 / 60));

    // A failed GSA after a good one: error only; values of earlier steps stay,
    // and the next decoded line reports the change against what was reported.
    Feed(gps, kGsa + "\r\n");
    log.Take();
    Feed(gps, Sentence("GPGSA,A,2,04,3.5,,,,,,,,,,,2.0,1.0,1.0") + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Error GPGSA is invalid"}));
    EXPECT_EQ(gps.FixDim(), 2);
    Feed(gps, Sentence("GPGSA,A,2,04,,,,,,,,,,,,2.0,1.0,1.0") + "\r\n");
    EXPECT_EQ(log.Take(), (Events{"Sentence GPGSA", "FixProgress 2D Fix 2"}));
}

TEST(EventOrder, HandlersSeeAndChangeStateOfTheSameLine) {
    TGPS gps;
    double reported = 0;
    // A sentence handler that switches units changes the valid-fix values
    // of the same line.
    gps.OnSentence = [](TGPS& g, const std::string&, const TDataArray&) {
        g.SetPosUnits(TFloatUnits::Min);
        g.SetUnits(TUnits::Metric);
    };
    gps.OnValidFix = [&](TGPS& g, double lat, double, double sog, double) {
        reported = lat;
        EXPECT_DOUBLE_EQ(sog, 22.4 * 1.852);
        EXPECT_EQ(g.LatAsStr(), "48\xB0 07' 02\" N");
    };
    Feed(gps, kRmc + "\r\n");
    EXPECT_DOUBLE_EQ(reported, (48 + 7.038 / 60) * 60);

    // A failure thrown by a handler ends the line and the batch; the
    // remaining characters stay in the port.
    TGPS thrower;
    int progress = 0;
    thrower.OnSentence = [](TGPS&, const std::string&, const TDataArray&) {
        throw std::runtime_error("handler failed");
    };
    thrower.OnFixProgress = [&](TGPS&, const std::string&, int32_t) { ++progress; };
    TBufferSource source(kGsa + "\r\n" + kGsa + "\r\n");
    EXPECT_THROW(thrower.PortTriggerAvail(source, static_cast<uint16_t>(source.Waiting())),
                 std::runtime_error);
    EXPECT_EQ(progress, 0);
    EXPECT_EQ(source.Waiting(), kGsa.size() + 3);
    EXPECT_EQ(thrower.FixDim(), 3);
}

TEST(Receiver, ReceiverOutputFromColdStartToDifferentialFix) {
    // Output of a receiver as it would arrive: the tail of a line caught at
    // power-up, no fix, a GN talker, NMEA 2.3 and 4.1 extra fields, time
    // fractions of 0 to 3 digits, a negative altitude, lines without and with
    // lower-case checksums, two lines merged by a lost carriage return.
    const std::string stream =
        "0,M,,*4F\r\n"
        "$GPGGA,000012.00,,,,,0,00,99.99,,,,,,*65\r\n"
        "$GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99*30\r\n"
        "$GPGSV,1,1,02,05,,,28,12,,,30*74\r\n"
        "$GPRMC,000013.00,V,,,,,,,,,,N*7F\r\n"
        "$GNRMC,000014.00,A,3342.6618,N,11751.3858,W,0.02,,091202,,,A*49\r\n" +
        Sentence("GPGSA,A,2,05,12,21,,,,,,,,,,3.4,3.2,1.0,1") + "\r\n" +
        Sentence("GPGGA,002153.0,3342.6618,N,11751.3858,W,1,03,3.2,-27.0,M,-34.2,M,,") + "\r\n" +
        Sentence("GPRMC,002153.0,A,3342.6618,N,11751.3858,W,0.5,271.3,091202,12.5,E,A") + "\r\n" +
        Sentence("GPVTG,271.3,T,258.8,M,0.5,N,0.9,K,A") + "\r\n" +
        "$GPRMC,002154,A,3342.6620,N,11751.3860,W,0.4,270.9,091202,,,A*6a\r\n" +
        "$GPRMC,002154,A,3342.6620,N,11751.3860,W,0.4,270.9,091202,,,A\r\n" +
        Sentence("GPGSA,A,3,05,12,21,29,,,,,,,,,1.9,1.1,1.5,1") + "\r\n" +
        Sentence("GPGGA,002155.000,3342.6621,N,11751.3861,W,2,05,1.1,-27.4,M,-34.2,M,1.5,0136") +
        "\r\n" + "$GPGGA,002156.000,3342.66" +
        Sentence("GPRMC,002156.000,A,3342.6622,N,11751.3862,W,0.3,270.1,091202,,,D,V") + "\r\n";

    TGPS gps;
    TEventLog log(gps);
    Feed(gps, stream, 13);
    const Events expected = {
        "Error Checksum failed",
        "Sentence GPGGA",
        "Sentence GPGSA",
        "FixProgress Fix not available 1",
        "Sentence GPGSV",
        "Sentence GPRMC",
        "Sentence GNRMC",
        "Sentence GPGSA",
        "FixProgress 2D Fix 2",
        "Sentence GPGGA",
        "FixQuality GPS Fix (SPS) 1",
        "Sentence GPRMC",
        "ValidFix 33.711030 -117.856430 0.5000 271.30",
        "Sentence GPVTG",
        "Error Checksum failed",
        "Error Checksum failed",
        "Sentence GPGSA",
        "FixProgress 3D Fix 3",
        "Sentence GPGGA",
        "FixQuality DGPS 2",
        "Sentence GPRMC",
        "ValidFix 33.711037 -117.856437 0.3000 270.10",
    };
    EXPECT_EQ(log.Take(), expected);

    EXPECT_TRUE(gps.FixValid());
    EXPECT_DOUBLE_EQ(gps.UTCTime(), 37599 + (21 * 60 + 56) / 86400.0);
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), -27.4);
    EXPECT_EQ(gps.AltUnits(), 'M');
    EXPECT_TRUE(gps.HasGeoidDelta());
    EXPECT_DOUBLE_EQ(gps.GeoidDelta(), -34.2);
    EXPECT_TRUE(gps.IsDGPS());
    EXPECT_DOUBLE_EQ(gps.AgeDGPS(), 1.5);
    EXPECT_EQ(gps.StnDGPS(), "0136");
    EXPECT_EQ(gps.FixSatCount(), 5);
    EXPECT_EQ(gps.FixSatSet(), (1u << 5) | (1u << 12) | (1u << 21) | (1u << 29));
    EXPECT_TRUE(gps.HasMagVar());
    EXPECT_DOUBLE_EQ(gps.MagVar(), 12.5);
    EXPECT_EQ(gps.FixMode(), "Automatic");
}

TEST(EventOrder, RejectedLinesRaiseNoFixEvents) {
    TGPS gps;
    TEventLog log(gps);
    // Each line has a correct checksum; all but the first are corrupt.
    Feed(gps, Sentence("GPRMC,120000,A,4800.000,N,01100.000,E,010.0,090.0,150624,,") + "\r\n");
    log.Take();
    Feed(gps, Sentence("GPRMC,120001,A,1000.000,S,02000.000,W,nan,090.0,150624,,") + "\r\n" +
                  Sentence("GPRMC,120000,A,9999.99,N,99999.99,E,-5,-90,150624,,") + "\r\n" +
                  Sentence("GPGGA,120002,4800.000,N,01100.000,E,-1,08,0.9,545.4,M,46.9,M,,") +
                  "\r\n" + Sentence("GPGSA,A,99999,1") + "\r\n" +
                  Sentence("GPRMC,120000,A,4807.03800000junk,N,01100.000,E,1,0,150624,,") + "\r\n");
    EXPECT_EQ(log.Take(),
              (Events{"Error GPRMC is invalid", "Error GPRMC is invalid", "Error GPGGA is invalid",
                      "Error GPGSA is invalid", "Error GPRMC is invalid"}));
    EXPECT_EQ(gps.FixDim(), 0);
    EXPECT_EQ(gps.FixQuality(), 0);

    // A quality that a failed line stored is reported by the next good line.
    TGPS second;
    TEventLog secondLog(second);
    Feed(second, Sentence("GPGGA,120002,4800.000,N,01100.000,E,2,08,0.9,x,M,,,,") + "\r\n");
    EXPECT_EQ(secondLog.Take(), (Events{"Error GPGGA is invalid"}));
    EXPECT_FALSE(second.FixValid());
    Feed(second, Sentence("GPGGA,120003,4800.000,N,01100.000,E,2,08,0.9,5,M,,,,") + "\r\n");
    EXPECT_EQ(secondLog.Take(), (Events{"Sentence GPGGA", "FixQuality DGPS 2"}));
}

TEST(Receiver, LinesOfRealReceiversDecode) {
    // Sentences as receivers of several makes write them: fractions of a
    // second, many or few decimals, NMEA 2.3 mode fields, zero padding,
    // empty optional fields, negative altitudes and separations.
    TGPS gps;
    for (const char* payload : {
             "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
             "GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E",
             "GPRMC,083559.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A",
             "GPRMC,092750.000,A,5321.6802,N,00630.3372,W,0.02,31.66,280511,,,A",
             "GPRMC,161229.487,A,3723.2475,N,12158.3416,W,0.13,309.62,120598,,",
             "GPRMC,002154,A,3342.6620,N,11751.3860,W,0.4,270.9,091202,,,A",
             "GPRMC,000013.00,V,,,,,,,,,,N",
             "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
             "GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,",
             "GPGGA,134658.00,5106.9792,N,11402.3003,W,2,09,1.0,1048.47,M,-16.27,M,08,AAAA",
             "GPGGA,002153.000,3342.6618,N,11751.3858,W,1,10,1.2,27.0,M,-34.2,M,,0000",
             "GPGGA,161229.487,3723.2475,N,12158.3416,W,1,07,1.0,9.0,M,,,,0000",
             "GPGGA,172814.0,3723.46587704,N,12202.26957864,W,2,6,1.2,18.893,M,-25.669,M,2.0,0031",
             "GPGGA,101500.00,,,,,0,00,99.99,,,,,,",
             "GPGGA,120002,4800.000,N,01100.000,E,1,05,01.4,00460.0,M,047.0,M,,",
             "GPGSA,A,3,10,07,05,02,29,04,08,13,,,,,1.72,1.03,1.38",
             "GPGSA,A,3,,,,,,16,18,,22,24,,,3.6,2.1,2.2",
             "GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99",
             "GPGSA,M,2,04,05,,09,12,,,24,,,,,02.5,01.3,02.2",
         }) {
        EXPECT_TRUE(gps.ProcessSentence(Sentence(payload))) << payload;
    }
    // The sample log of a receiver on a boat: every line that passes its
    // checksum decodes.
    std::ifstream in(std::string(PALMO_SOURCE_DIR) + "/samples/receiver.nmea", std::ios::binary);
    ASSERT_TRUE(in.is_open());
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int decodeErrors = 0;
    gps.OnError = [&](TGPS&, const std::string& message) {
        decodeErrors += message != TGPS::kChecksumFailed && message != TGPS::kLineTooLong;
    };
    Feed(gps, bytes);
    EXPECT_EQ(decodeErrors, 0);
}
