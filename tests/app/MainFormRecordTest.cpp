// Recording from the window with no display: the menu's items and the save
// dialog, the status bar's count, the files, and a file that cannot be made.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/StartOptions.h"
#include "app/Unit1.h"
#include "record/RecordTestSupport.h"
#include "toolkit/FormsFakeBackend.h"
// After the toolkit's headers: on Windows it brings windows.h and its macros.
#include "serial/ComPortTestSupport.h"

namespace {

using namespace cptest;

// The fake backend with a save dialog that answers as the test says.
class TSaveBackend : public formstest::TFakeBackend {
  public:
    bool SaveFileName(tk::TForm&, const std::string& title, const std::string& filterName,
                      const std::string& extension, std::string& path) override {
        asked.push_back(title + "|" + filterName + "|" + extension + "|" + path);
        if (answer.empty()) {
            return false;
        }
        path = answer;
        return true;
    }
    std::string answer;  // empty: the user cancels
    std::vector<std::string> asked;
};

std::string Epoch(int second) {
    const std::string t = "1015" + std::string(second < 10 ? "0" : "") + std::to_string(second);
    return rectest::Sentence("GPGGA," + t +
                             ".00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
           "\r\n" + rectest::Sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1") + "\r\n" +
           rectest::Sentence("GPRMC," + t + ".00,A,4807.038,N,01131.000,E,022.4,084.4,150624,,,A") +
           "\r\n";
}

TEST(MainFormRecord, TheMenuRecordsATrackAndItsLogAndTheStatusBarCounts) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    rectest::TTempDir dir;
    TSaveBackend backend;
    TForm1 form(nullptr);
    EXPECT_EQ(form.RecordItem->Caption(), "Record track...");
    EXPECT_EQ(form.RecordWithLogItem->Caption(), "Record track and NMEA log...");
    EXPECT_EQ(form.StopRecordItem->Caption(), "Stop recording");

    // Cancelled: nothing records. The dialog offers a name from the clock.
    form.RecordItem->Click();
    EXPECT_FALSE(form.Recording());
    ASSERT_EQ(backend.asked.size(), 1u);
    EXPECT_EQ(backend.asked[0].rfind("Record track|GPX tracks|gpx|track-", 0), 0u)
        << backend.asked[0];
    EXPECT_EQ(backend.asked[0].size(),
              std::string("Record track|GPX tracks|gpx|track-20240615-101505.gpx").size());

    backend.answer = dir.File("walk.gpx");
    form.RecordWithLogItem->Click();
    ASSERT_TRUE(form.Recording());
    EXPECT_EQ(form.StatusBar1->Caption(), "Recording: 0 points");
    form.UserContextMenu(-1, -1);  // brings the items up to date
    EXPECT_TRUE(form.RecordWithLogItem->Checked());
    EXPECT_FALSE(form.RecordItem->Checked());
    EXPECT_FALSE(form.RecordItem->Enabled());
    EXPECT_TRUE(form.StopRecordItem->Enabled());

    const std::string bytes = "\x01noise\r\n" + Epoch(5) + Epoch(6) + Epoch(7);
    form.GPS1->Decoder().FeedBytes(bytes);
    EXPECT_EQ(form.Valid->Caption(), "Valid");  // the window's own events go on
    form.RecordTimerTimer();
    EXPECT_EQ(form.StatusBar1->Caption(), "Recording: 3 points");

    form.StopRecordItem->Click();
    EXPECT_FALSE(form.Recording());
    EXPECT_EQ(form.StatusBar1->Caption(), TForm1::kStatusText);
    form.UserContextMenu(-1, -1);
    EXPECT_FALSE(form.RecordWithLogItem->Checked());
    EXPECT_FALSE(form.StopRecordItem->Enabled());
    EXPECT_EQ(rectest::Count(rectest::ReadFile(dir.File("walk.gpx")), "<trkpt "), 3u);
    EXPECT_EQ(rectest::ReadFile(dir.File("walk.nmea")), bytes);
    EXPECT_TRUE(backend.boxes.empty());

    // The track alone; the dialog asked before the file was taken, so it is replaced.
    form.RecordItem->Click();
    ASSERT_TRUE(form.Recording());
    form.GPS1->Decoder().FeedBytes(Epoch(8));
    form.StopRecording();
    EXPECT_EQ(rectest::Count(rectest::ReadFile(dir.File("walk.gpx")), "<trkpt "), 1u);
    EXPECT_EQ(rectest::ReadFile(dir.File("walk.nmea")), bytes);  // not part of this one

    EXPECT_EQ(TForm1::RecordingText(1), "Recording: 1 point");
    EXPECT_EQ(TForm1::RecordingText(1234), "Recording: 1,234 points");
    EXPECT_EQ(TForm1::RecordingText(1234567), "Recording: 1,234,567 points");
}

TEST(MainFormRecord, AFileThatCannotBeMadeIsSaidInABox) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    rectest::TTempDir dir;
    TSaveBackend backend;
    TForm1 form(nullptr);
    const std::string taken = dir.File("taken.gpx");
    rectest::WriteFile(taken, "precious");
    // As --record does: an existing file is not replaced.
    EXPECT_FALSE(form.StartRecording(taken, true, false));
    EXPECT_FALSE(form.Recording());
    ASSERT_EQ(backend.boxes.size(), 1u);
    EXPECT_EQ(backend.boxes[0],
              "PalmoGPS|Cannot record: cannot create " + taken + ": the file exists.");
    EXPECT_EQ(rectest::ReadFile(taken), "precious");
    EXPECT_FALSE(std::filesystem::exists(dir.File("taken.nmea")));
    EXPECT_EQ(form.StatusBar1->Caption(), TForm1::kStatusText);
}

TEST(MainFormRecord, RecordStartOption) {
    EXPECT_EQ(ParseStartOptions({"--record", "walk.gpx"}).Record, "walk.gpx");
    EXPECT_EQ(ParseStartOptions({"--record=walk.gpx", "--open"}).Record, "walk.gpx");
    const TStartOptions missing = ParseStartOptions({"--record"});
    ASSERT_EQ(missing.Problems.size(), 1u);
    EXPECT_EQ(missing.Problems[0],
              "--record needs a value (a file, as in --record track.gpx); it is ignored.");
    EXPECT_NE(StartOptionsUsage().find("--record FILE.gpx"), std::string::npos);
}

}  // namespace
