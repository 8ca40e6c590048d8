// Write errors: a full disk (a small tmpfs of the test's own, where the
// test may mount one), a file-size limit, and /dev/full. Recording stops
// with the system's reason, and the files keep what was written before.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "record/GpxTrack.h"
#include "record/NmeaLog.h"
#include "record/Recorder.h"
#include "record/RecordTestSupport.h"
#include "record/posix/Programs.h"

namespace {

// A tmpfs of the given size mounted on a folder of its own, for as long as
// the object lives; Mounted() false where this process may not mount.
class TSmallDisk {
  public:
    explicit TSmallDisk(size_t bytes) {
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = mount("palmo_test", dir_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                         options.c_str()) == 0;
    }
    ~TSmallDisk() {
        if (mounted_) {
            umount2(dir_.Path().c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }
    std::string File(const std::string& name) const { return dir_.File(name); }

  private:
    rectest::TTempDir dir_;
    bool mounted_ = false;
};

record::TTrackPoint PointNo(int i) {
    record::TTrackPoint p;
    p.Time = 45000.0 + i / 86400.0;
    p.LatDeg = 48.1 + i * 1e-6;
    p.LonDeg = 11.5 - i * 1e-6;
    p.Elevation = 500 + i;
    p.Fix = record::TFixType::ThreeD;
    p.Satellites = 9;
    p.Hdop = 1.1;
    p.SpeedMps = 1.5;
    p.CourseDeg = 90;
    return p;
}

// Adds points until one fails; the number written.
int FillTrack(record::TGpxTrack& track) {
    int i = 0;
    while (i < 100000 && track.AddPoint(PointNo(i))) {
        ++i;
    }
    return i;
}

// The file holds exactly the points written, and is valid.
void ExpectWholeTrack(const std::string& path, uint64_t points) {
    const rectest::TRun lint = rectest::ValidateGpx(path);
    EXPECT_EQ(lint.status, 0) << lint.output;
    EXPECT_EQ(rectest::Count(rectest::ReadFile(path), "<trkpt "), points);
}

TEST(WriteErrors, AFullDiskStopsTheTrackAndKeepsItValid) {
    TSmallDisk disk(32 * 1024);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "no permission to mount a tmpfs here (the file-size limit test covers it)";
    }
    const std::string path = disk.File("full.gpx");
    record::TGpxTrack track;
    ASSERT_TRUE(track.Create(path, false, "t"));
    const int written = FillTrack(track);
    EXPECT_GT(written, 10);
    EXPECT_TRUE(track.Failed());
    EXPECT_EQ(track.Error(), "cannot write " + path + ": No space left on device");
    EXPECT_EQ(track.Points(), static_cast<uint64_t>(written));
    EXPECT_FALSE(track.AddPoint(PointNo(0)));
    ExpectWholeTrack(path, track.Points());
}

TEST(WriteErrors, AFullDiskStopsTheRecordingOnce) {
    TSmallDisk disk(16 * 1024);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "no permission to mount a tmpfs here";
    }
    record::TRecordOptions options;
    options.GpxPath = disk.File("rec.gpx");
    options.NmeaPath = disk.File("rec.nmea");
    record::TRecorder recorder;
    std::vector<std::string> failures;
    recorder.OnFailure = [&](const std::string& m) { failures.push_back(m); };
    ASSERT_TRUE(recorder.Start(options));
    // The log fills the disk: 1 KiB a "second", each due at once.
    const std::string kilo(1024, '$');
    uint32_t now = 0;
    for (int i = 0; i < 100 && recorder.Recording(); ++i, now += 1000) {
        recorder.Bytes(kilo, now);
        recorder.Tick(now);
    }
    EXPECT_FALSE(recorder.Recording());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "cannot write " + options.NmeaPath + ": No space left on device");
    EXPECT_EQ(recorder.Error(), failures[0]);
    // Whatever comes after is dropped quietly.
    recorder.Bytes(kilo, now);
    recorder.Fix(record::TRmcFix{});
    recorder.Stop();
    EXPECT_EQ(failures.size(), 1u);
    ExpectWholeTrack(options.GpxPath, 0);
    EXPECT_EQ(rectest::ReadFile(options.NmeaPath).find_first_not_of('$'), std::string::npos);
}

TEST(WriteErrors, AFileSizeLimitStopsTheTrackAndKeepsItValid) {
    rectest::TTempDir dir;
    const std::string path = dir.File("limit.gpx");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The limit binds this child only; the signal would kill it.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        record::TGpxTrack track;
        std::string report = "create failed";
        if (track.Create(path, false, "t")) {
            report = std::to_string(FillTrack(track)) + "\n" + track.Error();
        }
        (void)!write(pipeFds[1], report.data(), report.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    const size_t newline = report.find('\n');
    ASSERT_NE(newline, std::string::npos) << report;
    EXPECT_EQ(report.substr(newline + 1), "cannot write " + path + ": File too large");
    const uint64_t points = std::stoull(report.substr(0, newline));
    EXPECT_GT(points, 10u);
    ExpectWholeTrack(path, points);
    EXPECT_LE(rectest::ReadFile(path).size(), 20000u);
}

TEST(WriteErrors, DevFullFailsTheLogAndTheTrack) {
    record::TNmeaLog log;
    ASSERT_TRUE(log.Create("/dev/full", false)) << log.Error();  // a device, not a file to keep
    EXPECT_TRUE(log.Append("$GPGGA", 0));
    EXPECT_FALSE(log.Flush());
    EXPECT_EQ(log.Error(), "cannot write /dev/full: No space left on device");
    EXPECT_FALSE(log.Append("$GPGGA", 0));

    record::TGpxTrack track;
    EXPECT_FALSE(track.Create("/dev/full", false, "t"));
    EXPECT_EQ(track.Error(), "cannot write /dev/full: No space left on device");
}

}  // namespace
