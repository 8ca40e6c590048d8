// Decoding of GPRMC, GPGGA and GPGSA into the fix state, and the fix read
// in the units asked for.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "NmeaTestSupport.h"
#include "gps/GPS.h"

using namespace gps;
using gpstest::Sentence;

namespace {

// Processes one sentence built from its payload; returns the line's result.
bool Process(TGPS& gps, const std::string& payload) {
    return gps.ProcessSentence(Sentence(payload));
}

const char* kRmcA = "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";

}  // namespace

TEST(DecodeRMC, StatusDecidesWhetherAnythingChanges) {
    TGPS gps;
    EXPECT_TRUE(Process(gps, kRmcA));
    EXPECT_TRUE(gps.FixValid());
    EXPECT_DOUBLE_EQ(gps.UTCTime(), 70941 + (12 * 3600 + 35 * 60 + 19) / 86400.0);
    EXPECT_DOUBLE_EQ(gps.LatDeg(), 48 + 7.038 / 60);
    EXPECT_DOUBLE_EQ(gps.LonDeg(), 11 + 31.0 / 60);
    EXPECT_DOUBLE_EQ(gps.SpeedKnots(), 22.4);
    EXPECT_DOUBLE_EQ(gps.COG(), 84.4);
    EXPECT_TRUE(gps.HasMagVar());
    EXPECT_DOUBLE_EQ(gps.MagVar(), -3.1);

    // Status V (or anything but exactly "A"): true, invalid, nothing else changes.
    for (const char* status : {"V", "a", "AA", ""}) {
        EXPECT_TRUE(Process(gps, std::string("GPRMC,130000,") + status +
                                     ",1000.000,S,02000.000,W,1.0,2.0,010100,,"))
            << status;
        EXPECT_FALSE(gps.FixValid());
        EXPECT_DOUBLE_EQ(gps.LatDeg(), 48 + 7.038 / 60);
        EXPECT_DOUBLE_EQ(gps.UTCTime(), 70941 + (12 * 3600 + 35 * 60 + 19) / 86400.0);
    }

    // South and west negate; only the exact upper-case letter counts.
    EXPECT_TRUE(Process(gps, "GPRMC,123519,A,4807.038,S,01131.000,W,0,0,230394,,"));
    EXPECT_DOUBLE_EQ(gps.LatDeg(), -(48 + 7.038 / 60));
    EXPECT_DOUBLE_EQ(gps.LonDeg(), -(11 + 31.0 / 60));
    EXPECT_TRUE(Process(gps, "GPRMC,123519,A,4807.038,s,01131.000,WW,0,0,230394,,"));
    EXPECT_GT(gps.LatDeg(), 0);
    EXPECT_GT(gps.LonDeg(), 0);
    // An empty variation keeps the last one.
    EXPECT_TRUE(gps.HasMagVar());
    EXPECT_DOUBLE_EQ(gps.MagVar(), -3.1);
    EXPECT_TRUE(Process(gps, "GPRMC,123519,A,4807.038,N,01131.000,E,0,0,230394,4.5,E"));
    EXPECT_DOUBLE_EQ(gps.MagVar(), 4.5);
}

TEST(DecodeRMC, EmptySpeedOrCourseIsNotKnownAndFailureKeepsEarlierSteps) {
    TGPS gps;
    // A receiver standing still leaves the course (or the speed) empty: the
    // fix stands, the value is not known.
    EXPECT_TRUE(Process(gps, "GPRMC,123519,A,4807.038,S,01131.000,E,022.4,,230394,,"));
    EXPECT_TRUE(gps.FixValid());
    EXPECT_DOUBLE_EQ(gps.LatDeg(), -(48 + 7.038 / 60));
    EXPECT_DOUBLE_EQ(gps.SpeedKnots(), 22.4);
    EXPECT_TRUE(std::isnan(gps.COG()));
    EXPECT_TRUE(Process(gps, "GPRMC,123520,A,4807.038,S,01131.000,E,,084.4,230394,,"));
    EXPECT_TRUE(std::isnan(gps.SpeedKnots()));
    EXPECT_DOUBLE_EQ(gps.COG(), 84.4);

    // A course that is not a number fails; time and position are already
    // stored, and the fix is as valid as it was before the line.
    TGPS failed;
    EXPECT_FALSE(Process(failed, "GPRMC,123519,A,4807.038,S,01131.000,E,022.4,east,230394,,"));
    EXPECT_EQ(failed.ErrorText(), "GPRMC is invalid");
    EXPECT_FALSE(failed.FixValid());
    EXPECT_DOUBLE_EQ(failed.LatDeg(), -(48 + 7.038 / 60));
    EXPECT_DOUBLE_EQ(failed.SpeedKnots(), 22.4);
    EXPECT_GT(failed.UTCTime(), 0);
    EXPECT_EQ(failed.COG(), 0.0);
    EXPECT_TRUE(Process(failed, "GPRMC,123519,A,4807.038,S,01131.000,E,022.4,1,230394,,"));
    EXPECT_FALSE(Process(failed, "GPRMC,123520,A,4807.038,S,01131.000,E,-1,1,230394,,"));
    EXPECT_TRUE(failed.FixValid());

    // A bad latitude stops before the longitude.
    TGPS second;
    EXPECT_FALSE(Process(second, "GPRMC,123519,A,07.038,N,01131.000,E,1,2,230394,,"));
    EXPECT_EQ(second.LatDeg(), 0.0);
    EXPECT_EQ(second.LonDeg(), 0.0);
    // A bad variation: HasMagVar stays false.
    EXPECT_FALSE(Process(second, "GPRMC,123519,A,4807.038,N,01131.000,E,1,2,230394,x,W"));
    EXPECT_FALSE(second.HasMagVar());
    EXPECT_DOUBLE_EQ(second.COG(), 2.0);
    // Fields of "5." and ".5" as some receivers write them convert.
    EXPECT_TRUE(Process(second, "GPRMC,123519,A,4807.,N,01131.5,E,5.,.5,230394,,"));
    EXPECT_DOUBLE_EQ(second.SpeedKnots(), 5.0);
    EXPECT_DOUBLE_EQ(second.COG(), 0.5);
    // A 500-byte field fails cleanly.
    EXPECT_FALSE(
        Process(second, "GPRMC,123519,A," + std::string(500, '7') + ",N,01131.000,E,1,2,230394,,"));
}

TEST(DecodeRMC, BadDateOrTimeIsNoFailure) {
    TGPS gps;
    EXPECT_TRUE(Process(gps, "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,310294,,"));
    EXPECT_EQ(gps.UTCTime(), -1.0);
    EXPECT_TRUE(Process(gps, "GPRMC,,A,4807.038,N,01131.000,E,022.4,084.4,230394,,"));
    EXPECT_EQ(gps.UTCTime(), -1.0);
    // NMEA 2.3 mode and 4.1 navigational status fields are read past.
    EXPECT_TRUE(
        Process(gps, "GPRMC,083559.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A,V"));
    EXPECT_DOUBLE_EQ(gps.UTCTime(), 37599 + (8 * 3600 + 35 * 60 + 59) / 86400.0);
    EXPECT_DOUBLE_EQ(gps.SpeedKnots(), 0.004);
}

TEST(DecodeGGA, QualityGatesTheOtherValues) {
    TGPS gps;
    EXPECT_TRUE(Process(gps, "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_TRUE(gps.FixValid());
    EXPECT_EQ(gps.FixQuality(), 1);
    EXPECT_EQ(gps.FixSatCount(), 8);
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), 545.4);
    EXPECT_EQ(gps.AltUnits(), 'M');
    EXPECT_TRUE(gps.HasGeoidDelta());
    EXPECT_DOUBLE_EQ(gps.GeoidDelta(), 46.9);
    EXPECT_EQ(gps.DeltaUnits(), 'M');
    EXPECT_FALSE(gps.IsDGPS());

    // Quality 0: valid falls, satellites 0, altitude untouched.
    EXPECT_TRUE(Process(gps, "GPGGA,123520,,,,,0,05,,999.0,M,,,,"));
    EXPECT_FALSE(gps.FixValid());
    EXPECT_EQ(gps.FixQuality(), 0);
    EXPECT_EQ(gps.FixSatCount(), 0);
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), 545.4);

    // Quality 2 with an age but no station: no differential data.
    EXPECT_TRUE(Process(gps, "GPGGA,123521,4807.038,N,01131.000,E,2,09,0.9,-12.5,F,,,3.0,"));
    EXPECT_FALSE(gps.IsDGPS());
    EXPECT_EQ(gps.AgeDGPS(), 0.0);
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), -12.5);
    EXPECT_EQ(gps.AltUnits(), 'F');
    // The geoid separation keeps its last value when the field is empty.
    EXPECT_DOUBLE_EQ(gps.GeoidDelta(), 46.9);
    EXPECT_TRUE(Process(gps, "GPGGA,123522,4807.038,N,01131.000,E,2,09,0.9,10,M,-34.2,M,3.0,0136"));
    EXPECT_TRUE(gps.IsDGPS());
    EXPECT_DOUBLE_EQ(gps.AgeDGPS(), 3.0);
    EXPECT_EQ(gps.StnDGPS(), "0136");
    EXPECT_DOUBLE_EQ(gps.GeoidDelta(), -34.2);
    // Later sentences without differential data leave it as it was.
    EXPECT_TRUE(Process(gps, "GPGGA,123523,4807.038,N,01131.000,E,1,09,0.9,10,M,,,,"));
    EXPECT_TRUE(gps.IsDGPS());
    EXPECT_EQ(gps.StnDGPS(), "0136");
}

TEST(DecodeGGA, FailuresAtEachStep) {
    TGPS gps;
    // Unreadable quality: nothing changes.
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,x,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_EQ(gps.ErrorText(), "GPGGA is invalid");
    EXPECT_EQ(gps.FixQuality(), 0);
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,1.0,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_FALSE(gps.FixValid());
    // Empty altitude unit: satellites and altitude are already stored, but
    // the failed line does not make the fix valid.
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,1,07,0.9,545.4,,46.9,M,,"));
    EXPECT_FALSE(gps.FixValid());
    EXPECT_EQ(gps.FixQuality(), 1);
    EXPECT_EQ(gps.FixSatCount(), 7);
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), 545.4);
    EXPECT_EQ(gps.AltUnits(), '\0');
    EXPECT_FALSE(gps.HasGeoidDelta());
    // Satellite count that is no integer: the count stays at 0.
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,1,7.5,0.9,545.4,M,,,,"));
    EXPECT_EQ(gps.FixSatCount(), 0);
    // Geoid separation without its unit: the value is stored, the flag is not set.
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,1,07,0.9,545.4,M,46.9,,,"));
    EXPECT_DOUBLE_EQ(gps.GeoidDelta(), 46.9);
    EXPECT_FALSE(gps.HasGeoidDelta());
    // Unreadable age.
    EXPECT_FALSE(Process(gps, "GPGGA,123519,,,,,2,07,0.9,545.4,M,,,x,0136"));
    EXPECT_FALSE(gps.IsDGPS());
    EXPECT_EQ(gps.StnDGPS(), "");
}

TEST(DecodeGSA, DimensionSatellitesAndDilutions) {
    TGPS gps;
    double h = -1;
    double v = -1;
    double p = -1;
    gps.GDOP(h, v, p);
    EXPECT_EQ(h, 0.0);
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(p, 0.0);

    EXPECT_TRUE(Process(gps, "GPGSA,M,3,04,05,,09,12,,,24,,33,,,2.5,1.3,2.2"));
    EXPECT_TRUE(gps.FixValid());
    EXPECT_EQ(gps.FixMode(), "Manual");
    EXPECT_EQ(gps.FixDim(), 3);
    EXPECT_EQ(gps.FixSatSet(), (1u << 4) | (1u << 5) | (1u << 9) | (1u << 12) | (1u << 24));
    gps.GDOP(h, v, p);
    EXPECT_DOUBLE_EQ(h, 1.3);
    EXPECT_DOUBLE_EQ(v, 2.2);
    EXPECT_DOUBLE_EQ(p, 2.5);

    // NMEA 4.1 system id after the dilutions; satellite 0 and 31 are recorded,
    // negative numbers and non-numbers are not.
    EXPECT_TRUE(Process(gps, "GPGSA,A,2,00,31,-1,xx,32,,,,,,,,1.94,1.18,1.54,1"));
    EXPECT_EQ(gps.FixMode(), "Automatic");
    EXPECT_EQ(gps.FixSatSet(), (1u << 0) | (1u << 31));

    // Dimension 1: empty set, dilutions 100.
    EXPECT_TRUE(Process(gps, "GPGSA,A,1,04,05,,,,,,,,,,,2.5,1.3,2.2"));
    EXPECT_FALSE(gps.FixValid());
    EXPECT_EQ(gps.FixSatSet(), 0u);
    gps.GDOP(h, v, p);
    EXPECT_EQ(h, 100.0);
    EXPECT_EQ(v, 100.0);
    EXPECT_EQ(p, 100.0);
    EXPECT_EQ(gps.FixDim(), 1);
}

TEST(DecodeGSA, FailuresAtEachStep) {
    TGPS gps;
    EXPECT_TRUE(Process(gps, "GPGSA,M,3,04,,,,,,,,,,,,2.5,1.3,2.2"));
    // Empty mode: nothing changes.
    EXPECT_FALSE(Process(gps, "GPGSA,,2,05,,,,,,,,,,,,3.0,3.0,3.0"));
    EXPECT_EQ(gps.ErrorText(), "GPGSA is invalid");
    EXPECT_EQ(gps.FixMode(), "Manual");
    EXPECT_EQ(gps.FixDim(), 3);
    EXPECT_EQ(gps.FixSatSet(), 1u << 4);
    // Unreadable dimension: only the mode has changed.
    EXPECT_FALSE(Process(gps, "GPGSA,A,,05,,,,,,,,,,,,3.0,3.0,3.0"));
    EXPECT_EQ(gps.FixMode(), "Automatic");
    EXPECT_EQ(gps.FixDim(), 3);
    EXPECT_TRUE(gps.FixValid());
    // A satellite number with a fraction: earlier slots are recorded.
    EXPECT_FALSE(Process(gps, "GPGSA,A,3,07,3.5,09,,,,,,,,,,2.0,1.0,1.0"));
    EXPECT_EQ(gps.FixSatSet(), 1u << 7);
    double h = 0;
    double v = 0;
    double p = 0;
    gps.GDOP(h, v, p);
    EXPECT_EQ(p, 100.0);
    // Missing vertical dilution: the other two are stored.
    EXPECT_FALSE(Process(gps, "GPGSA,A,3,07,,,,,,,,,,,,2.0,1.0,"));
    gps.GDOP(h, v, p);
    EXPECT_DOUBLE_EQ(p, 2.0);
    EXPECT_DOUBLE_EQ(h, 1.0);
    EXPECT_EQ(v, 100.0);
}

TEST(DecodeGSA, FieldCountPlacesSlotsAndDilutions) {
    TGPS gps;
    gps.SetDialect(TNmeaDialect::ndGNSS);
    double h = 0;
    double v = 0;
    double p = 0;
    // 12 slots plus a system ID, read as PDOP/HDOP/VDOP when a count is off.
    EXPECT_FALSE(Process(gps, "GNGSA,A,3,1,2,3,4,5,6,7,8,9,10,11,12,13,14,30,1.0,0.9,0.5,1"));
    EXPECT_FALSE(
        Process(gps, "GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,13,14,16,1.5,0.9,1.2"));
    EXPECT_EQ(gps.ErrorText(), "GPGSA is invalid");
    EXPECT_EQ(gps.FixDim(), 0);
    // 24 slots (a NAVIOR-24 board): dilutions from the last three fields.
    EXPECT_TRUE(Process(gps, "GPGSA,A,3,23,13,07,25,,,,,,,,,,,,,,,,,,,,,09.2,07.2,05.7"));
    gps.GDOP(h, v, p);
    EXPECT_DOUBLE_EQ(p, 9.2);
    EXPECT_DOUBLE_EQ(h, 7.2);
    EXPECT_DOUBLE_EQ(v, 5.7);
    EXPECT_EQ(gps.FixSatSet(), (1u << 23) | (1u << 13) | (1u << 7) | (1u << 25));
    // Mode and dimension only, without a fix (an i.Trek M3).
    EXPECT_TRUE(Process(gps, "GPGSA,A,1,,,"));
    EXPECT_EQ(gps.FixDim(), 1);
    EXPECT_FALSE(Process(gps, "GPGSA,A,3,,,"));
}

TEST(FixUnits, AnglesSpeedAltitudeAndTexts) {
    TGPS gps;
    EXPECT_EQ(gps.LatAsStr(), "--");
    EXPECT_EQ(gps.LonAsStr(), "--");
    EXPECT_EQ(gps.Altitude(), 0.0);
    EXPECT_EQ(gps.Version(), "1.0.0");
    gps.SetVersion("9.9");
    EXPECT_EQ(gps.Version(), "1.0.0");

    // 33 deg 52.128 min south = -33.8688 degrees; 10 knots.
    ASSERT_TRUE(Process(gps, "GPRMC,010203,A,3352.128,S,15112.6,E,10,45,010124,,"));
    EXPECT_DOUBLE_EQ(gps.Lat(), -33.8688);
    gps.SetPosUnits(TFloatUnits::Min);
    EXPECT_DOUBLE_EQ(gps.Lat(), -2032.128);
    gps.SetPosUnits(TFloatUnits::Sec);
    EXPECT_DOUBLE_EQ(gps.Lat(), -33.8688 * 3600);
    gps.SetPosUnits(TFloatUnits::Rad);
    EXPECT_DOUBLE_EQ(gps.Lat(), -33.8688 * 0.017453292519943295);
    EXPECT_DOUBLE_EQ(gps.Lon(), (151 + 12.6 / 60) * 0.017453292519943295);

    EXPECT_DOUBLE_EQ(gps.SOG(), 10.0);
    gps.SetUnits(TUnits::Statute);
    EXPECT_DOUBLE_EQ(gps.SOG(), 11.50779);
    gps.SetUnits(TUnits::Metric);
    EXPECT_DOUBLE_EQ(gps.SOG(), 18.52);
    EXPECT_DOUBLE_EQ(gps.COG(), 45.0);

    // Position texts ignore PosUnits and follow StrFormat.
    EXPECT_EQ(gps.LatAsStr(), "33\xB0 52' 08\" S");
    gps.SetStrFormat(TStrFormat::DDMMmm);
    EXPECT_EQ(gps.LatAsStr(), "33\xB0 52.13 S");
    EXPECT_EQ(gps.LonAsStr(), "151\xB0 12.60 E");

    ASSERT_TRUE(Process(gps, "GPGGA,010203,,,,,1,05,1.0,100,M,,,,"));
    EXPECT_DOUBLE_EQ(gps.Altitude(), 100.0);
    gps.SetUnits(TUnits::Nautical);
    EXPECT_DOUBLE_EQ(gps.Altitude(), 328.08);
    gps.SetUnits(TUnits::Statute);
    EXPECT_DOUBLE_EQ(gps.Altitude(), 328.08);
    // Another unit letter is multiplied even for Metric.
    ASSERT_TRUE(Process(gps, "GPGGA,010203,,,,,1,05,1.0,100,F,,,,"));
    gps.SetUnits(TUnits::Metric);
    EXPECT_DOUBLE_EQ(gps.Altitude(), 328.08);

    // Without a valid fix the texts fall back, the numbers stay.
    ASSERT_TRUE(Process(gps, "GPGSA,A,1,,,,,,,,,,,,,,,"));
    EXPECT_EQ(gps.LatAsStr(), "--");
    EXPECT_EQ(gps.LonAsStr(), "--");
    gps.SetPosUnits(TFloatUnits::Deg);
    EXPECT_DOUBLE_EQ(gps.Lat(), -33.8688);
}

TEST(Decoders, ImpossibleValuesFailAndChangeNothingTheyName) {
    TGPS gps;
    ASSERT_TRUE(Process(gps, kRmcA));
    ASSERT_TRUE(Process(gps, "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    ASSERT_TRUE(Process(gps, "GPGSA,A,3,04,05,,,,,,,,,,,2.5,1.3,2.2"));
    for (const char* rmc : {
             "GPRMC,120000,A,9100.000,N,01100.000,E,1,0,150624,,",           // latitude above 90
             "GPRMC,120000,A,9999.99,N,99999.99,E,-5,-90,150624,,",          // both out of range
             "GPRMC,120000,A,4800.000,N,18100.000,E,1,0,150624,,",           // longitude above 180
             "GPRMC,120000,A,4860.000,N,01100.000,E,1,0,150624,,",           // 60 minutes
             "GPRMC,120000,A,-4807.038,N,01100.000,E,1,0,150624,,",          // a sign
             "GPRMC,120000,A,4807.03800000junk,N,01100.000,E,1,0,150624,,",  // junk past the cut
             "GPRMC,120000,A,48 7.038,N,01100.000,E,1,0,150624,,",
             "GPRMC,120001,A,1000.000,S,02000.000,W,nan,090.0,150624,,",
             "GPRMC,120001,A,1000.000,S,02000.000,W,inf,090.0,150624,,",
             "GPRMC,120001,A,1000.000,S,02000.000,W,1e300,090.0,150624,,",
             "GPRMC,120001,A,1000.000,S,02000.000,W,-5,090.0,150624,,",
             "GPRMC,120001,A,1000.000,S,02000.000,W,5,1000001,150624,,",
         }) {
        EXPECT_FALSE(Process(gps, rmc)) << rmc;
        EXPECT_EQ(gps.ErrorText(), "GPRMC is invalid") << rmc;
        EXPECT_LE(std::abs(gps.LatDeg()), 90.0) << rmc;
        EXPECT_LE(std::abs(gps.LonDeg()), 180.0) << rmc;
        EXPECT_GE(gps.SpeedKnots(), 0.0) << rmc;
        EXPECT_LE(gps.COG(), 1e6) << rmc;
    }

    ASSERT_TRUE(Process(gps, "GPRMC,123519,V,,,,,,,230394,,"));
    for (const char* gga : {
             "GPGGA,120002,4800.000,N,01100.000,E,-1,08,0.9,545.4,M,46.9,M,,",  // quality
             "GPGGA,120002,4800.000,N,01100.000,E,9,08,0.9,545.4,M,46.9,M,,",
         }) {
        EXPECT_FALSE(Process(gps, gga)) << gga;
        EXPECT_EQ(gps.FixQuality(), 1) << gga;
        EXPECT_FALSE(gps.FixValid()) << gga;
    }
    for (const char* gga : {
             "GPGGA,120002,4800.000,N,01100.000,E,2,100,0.9,545.4,M,46.9,M,,",  // satellites
             "GPGGA,120002,4800.000,N,01100.000,E,2,-1,0.9,545.4,M,46.9,M,,",
             "GPGGA,120002,4800.000,N,01100.000,E,2,08,0.9,2e6,M,46.9,M,,",  // altitude
             "GPGGA,120002,4800.000,N,01100.000,E,2,08,0.9,545.4,M,-1e7,M,,",
         }) {
        EXPECT_FALSE(Process(gps, gga)) << gga;
        EXPECT_EQ(gps.ErrorText(), "GPGGA is invalid") << gga;
        // The failed line leaves the fix as the last good line left it.
        EXPECT_FALSE(gps.FixValid()) << gga;
        EXPECT_LE(gps.FixSatCount(), 99) << gga;
        EXPECT_DOUBLE_EQ(gps.RawAltitude(), 545.4) << gga;
        EXPECT_DOUBLE_EQ(gps.GeoidDelta(), 46.9) << gga;
    }
    for (const char* gsa : {
             "GPGSA,A,99999,1",  // dimension
             "GPGSA,A,0,04,,,,,,,,,,,,2.5,1.3,2.2", "GPGSA,A,4,04,,,,,,,,,,,,2.5,1.3,2.2",
             "GPGSA,A,3,04,,,,,,,,,,,,2.5,1.3,1e9",  // dilution
         }) {
        EXPECT_FALSE(Process(gps, gsa)) << gsa;
        EXPECT_EQ(gps.ErrorText(), "GPGSA is invalid") << gsa;
        EXPECT_FALSE(gps.FixValid()) << gsa;
        EXPECT_GE(gps.FixDim(), 1) << gsa;
        EXPECT_LE(gps.FixDim(), 3) << gsa;
    }

    // The forms receivers write stay good: "5." and ".5", zero padding, empty
    // optional fields, 90 and 180 degrees exactly.
    EXPECT_TRUE(Process(gps, "GPRMC,120000,A,9000.000,S,18000.000,W,5.,.5,150624,,"));
    EXPECT_DOUBLE_EQ(gps.LatDeg(), -90.0);
    EXPECT_DOUBLE_EQ(gps.LonDeg(), -180.0);
    EXPECT_TRUE(Process(gps, "GPGGA,120002,0000.000,N,00000.000,E,8,00,01.4,00460.0,M,,,,"));
    EXPECT_DOUBLE_EQ(gps.RawAltitude(), 460.0);
    EXPECT_TRUE(Process(gps, "GPGSA,A,3,,,,,,,,,,,,,01.4,00.9,01.1"));
    EXPECT_TRUE(Process(gps, "GPGGA,120002,,,,,1,99,,-00012.5,M,,,,"));
}
