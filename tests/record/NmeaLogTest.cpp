// The raw NMEA log and the recorder around it: the bytes as they came, on
// disk no later than the flush rules say, and a failed start or write that
// stops recording cleanly.
#include <gtest/gtest.h>

#include "record/NmeaLog.h"
#include "record/Recorder.h"
#include "record/RecordTestSupport.h"

namespace {

using record::TNmeaLog;

TEST(NmeaLog, BytesReachTheFileWithinTheFlushDelay) {
    rectest::TTempDir dir;
    const std::string path = dir.File("raw.nmea");
    TNmeaLog log;
    ASSERT_TRUE(log.Create(path, false)) << log.Error();
    const std::string noise("\xFF\x00$GP", 5);
    const uint32_t t0 = 0xFFFFFF00u;  // the clock wraps on the way
    ASSERT_TRUE(log.Append(noise, t0));
    ASSERT_TRUE(log.Append("$GPGGA,1*00\r\n", t0 + 100));
    EXPECT_TRUE(log.Poll(t0 + TNmeaLog::kFlushMs - 1));
    EXPECT_EQ(rectest::ReadFile(path), "");  // still within the delay
    // Data that comes once the oldest byte is due writes everything out.
    ASSERT_TRUE(log.Append("$GPRMC", t0 + TNmeaLog::kFlushMs));
    EXPECT_EQ(rectest::ReadFile(path), noise + "$GPGGA,1*00\r\n$GPRMC");
    EXPECT_EQ(log.Buffered(), 0u);

    // Without data the time check does it.
    const uint32_t t1 = t0 + 2000;
    ASSERT_TRUE(log.Append(",2*00\r\n", t1));
    EXPECT_TRUE(log.Poll(t1 + TNmeaLog::kFlushMs - 1));
    EXPECT_EQ(log.Buffered(), 7u);
    EXPECT_TRUE(log.Poll(t1 + TNmeaLog::kFlushMs));
    EXPECT_EQ(rectest::ReadFile(path), noise + "$GPGGA,1*00\r\n$GPRMC,2*00\r\n");

    // A full buffer goes at once; sentences end in CR LF.
    const std::string big(TNmeaLog::kMaxBuffer, 'x');
    ASSERT_TRUE(log.Append(big, t1 + 5000));
    EXPECT_EQ(log.Buffered(), 0u);
    ASSERT_TRUE(log.AppendLine("$GPGSA,A,1*00", t1 + 5001));
    ASSERT_TRUE(log.Close());
    EXPECT_EQ(rectest::ReadFile(path),
              noise + "$GPGGA,1*00\r\n$GPRMC,2*00\r\n" + big + "$GPGSA,A,1*00\r\n");
    EXPECT_EQ(log.Bytes(), rectest::ReadFile(path).size());
}

TEST(NmeaLog, AnExistingFileIsKeptUnlessOverwriting) {
    rectest::TTempDir dir;
    const std::string path = dir.File("old.nmea");
    rectest::WriteFile(path, "precious");
    TNmeaLog log;
    EXPECT_FALSE(log.Create(path, false));
    EXPECT_NE(log.Error().find(path), std::string::npos);
    EXPECT_FALSE(log.Append("x", 0));
    EXPECT_EQ(rectest::ReadFile(path), "precious");
    ASSERT_TRUE(log.Create(path, true));
    ASSERT_TRUE(log.Close());
    EXPECT_EQ(rectest::ReadFile(path), "");
}

const std::string kRmc =
    rectest::Sentence("GPRMC,101505.00,A,4807.038,N,01131.000,E,022.4,084.4,150624,003.1,W,A");

TEST(Recorder, RecordsTheTrackAndTheRawOrAcceptedLog) {
    rectest::TTempDir dir;
    for (const bool acceptedOnly : {false, true}) {
        record::TRecordOptions options;
        options.GpxPath = dir.File(acceptedOnly ? "accepted.gpx" : "raw.gpx");
        options.NmeaPath = record::NmeaPathFor(options.GpxPath);
        options.AcceptedOnly = acceptedOnly;
        options.Creator = "test";
        record::TRecorder recorder;
        ASSERT_TRUE(recorder.Start(options)) << recorder.Error();
        const std::string bad = "$GPGGA,garbled*00";
        recorder.Bytes("\x01" + bad + "\r\n" + kRmc + "\r\n", 0);
        recorder.Line(bad, false, 0);
        recorder.Line(kRmc, true, 0);
        record::TRmcFix fix;
        ASSERT_TRUE(record::ParseRmc(rectest::Fields(kRmc), fix));
        recorder.Fix(fix);
        EXPECT_EQ(recorder.Points(), 0u);  // waits for a GGA of its epoch
        recorder.Stop();
        EXPECT_FALSE(recorder.Recording());
        EXPECT_EQ(recorder.Points(), 1u);
        EXPECT_EQ(rectest::Count(rectest::ReadFile(options.GpxPath), "<trkpt "), 1u);
        EXPECT_EQ(rectest::ReadFile(options.NmeaPath),
                  acceptedOnly ? kRmc + "\r\n" : "\x01" + bad + "\r\n" + kRmc + "\r\n");
        EXPECT_TRUE(recorder.Error().empty());
    }
    EXPECT_EQ(record::NmeaPathFor("a.b/track.gpx"), "a.b/track.nmea");
    EXPECT_EQ(record::NmeaPathFor("a.b/track"), "a.b/track.nmea");
    EXPECT_EQ(record::NmeaPathFor("dir\\.gpx"), "dir\\.gpx.nmea");
}

TEST(Recorder, AFailedStartLeavesNoFileBehind) {
    rectest::TTempDir dir;
    record::TRecordOptions options;
    options.GpxPath = dir.File("new.gpx");
    options.NmeaPath = dir.File("taken.nmea");
    rectest::WriteFile(options.NmeaPath, "precious");
    record::TRecorder recorder;
    EXPECT_FALSE(recorder.Start(options));
    EXPECT_FALSE(recorder.Recording());
    EXPECT_NE(recorder.Error().find("taken.nmea"), std::string::npos) << recorder.Error();
    EXPECT_FALSE(std::filesystem::exists(options.GpxPath));
    EXPECT_EQ(rectest::ReadFile(options.NmeaPath), "precious");
    recorder.Bytes("$GP", 0);  // not recording: nothing happens
    EXPECT_EQ(rectest::ReadFile(options.NmeaPath), "precious");
}

}  // namespace
