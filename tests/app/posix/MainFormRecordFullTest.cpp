// A write error while the window records: a full disk (a small tmpfs of the
// test's own, where it may mount one) stops the recording with a message
// box, unticks the item and leaves the receiver running.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "app/Unit1.h"
#include "record/RecordTestSupport.h"
#include "record/posix/Programs.h"
#include "toolkit/FormsFakeBackend.h"
#include "serial/ComPortTestSupport.h"

namespace {

TEST(MainFormRecord, AFullDiskStopsTheRecordingWithAMessage) {
    rectest::TTempDir dir;
    if (mount("palmo_test", dir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16k") != 0) {
        GTEST_SKIP() << "no permission to mount a tmpfs here";
    }
    struct TUnmount {
        std::string path;
        ~TUnmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.Path().string()};
    [[maybe_unused]] cptest::TPorts ports;
    formstest::TFakeBackend backend;
    TForm1 form(nullptr);
    const std::string gpx = dir.File("full.gpx");
    ASSERT_TRUE(form.StartRecording(gpx, true, false));
    const std::string line =
        rectest::Sentence("GPRMC,101505.00,A,4807.038,N,01131.000,E,022.4,084.4,150624,,,A") +
        "\r\n";
    for (int i = 0; i < 200 && backend.boxes.empty(); ++i) {
        form.GPS1->Decoder().FeedBytes(line + std::string(512, ' '));
        form.RecordTimerTimer();
    }
    ASSERT_EQ(backend.boxes.size(), 1u);
    EXPECT_EQ(backend.boxes[0],
              "PalmoGPS|Recording stopped: cannot write " + gpx + ": No space left on device.");
    EXPECT_FALSE(form.Recording());
    EXPECT_EQ(form.StatusBar1->Caption(), TForm1::kStatusText);
    form.UserContextMenu(-1, -1);
    EXPECT_FALSE(form.RecordWithLogItem->Checked());
    EXPECT_TRUE(form.RecordWithLogItem->Enabled());
    // The receiver still decodes.
    form.Valid->SetCaption("?");
    form.GPS1->Decoder().FeedBytes(line);
    EXPECT_EQ(form.Valid->Caption(), "Valid");
    form.RecordTimerTimer();
    EXPECT_EQ(backend.boxes.size(), 1u);
    // The track holds what was written before the disk filled.
    const rectest::TRun lint = rectest::Run("xmllint --noout '" + gpx + "'");
    EXPECT_EQ(lint.status, 0) << lint.output;
}

}  // namespace
