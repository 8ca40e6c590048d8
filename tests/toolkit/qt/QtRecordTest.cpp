// Recording in the Qt window: the simulated receiver behind COM1, the box
// ticked, ten seconds of it recorded while the status bar counts, stopped
// from the menu, and the track read back by gpsbabel.
#include <gtest/gtest.h>

// Before Qt's headers, whose "signals" macro would clash with the receiver's names.
#include "app/Unit1.h"

#include <QCheckBox>
#include <QLabel>
#include <QStatusBar>

#include <string>

#include "record/RecordTestSupport.h"
#include "record/posix/Programs.h"
#include "serial/posix/PtyPair.h"
#include "tests/tools/posix/ChildProcess.h"
#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

TEST(QtRecord, TenSecondsOfTheSimulatorReadBackByGpsbabel) {
    ASSERT_TRUE(qttest::StartQt());
    rectest::TTempDir dir;
    const std::string link = dir.File("gps0");
    // --persist: the window's port probe opens and closes COM1 before the tick.
    childtest::TChild sim(NMEASIM_EXE,
                          {"--link", link, "--seed", "7", "--speed", "5", "--persist"});
    ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
    ptytest::TPortsEnv ports(link);

    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.Show();
    auto* tick = WidgetOf<QCheckBox>(*form.CheckBox1);
    ASSERT_NE(tick, nullptr);
    tick->click();
    ASSERT_TRUE(form.GPS1->ComOpen());

    const std::string gpx = dir.File("window.gpx");
    ASSERT_TRUE(form.StartRecording(gpx, true, false));
    QLabel* status = WidgetOf<QStatusBar>(*form.StatusBar1)->findChild<QLabel*>();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "Recording: 0 points");
    // Ten seconds of the receiver's fixes (at five times its pace).
    ASSERT_TRUE(qttest::RunUntil([&] { return form.RecordedPoints() >= 10; }, 60000))
        << form.RecordedPoints() << " points";
    ASSERT_TRUE(qttest::RunUntil([&] {
        return status->text().toStdString() == TForm1::RecordingText(form.RecordedPoints());
    }));

    form.StopRecordItem->Click();
    EXPECT_FALSE(form.Recording());
    EXPECT_EQ(status->text().toStdString(), TForm1::kStatusText);
    tick->click();

    const rectest::TRun lint = rectest::ValidateGpx(gpx);
    EXPECT_EQ(lint.status, 0) << lint.output;
    const rectest::TRun csv = rectest::Run("gpsbabel -t -i gpx -f '" + gpx + "' -o unicsv -F -");
    ASSERT_EQ(csv.status, 0) << csv.output;
    const auto rows = rectest::CsvRows(csv.output);
    const size_t points = rectest::Count(rectest::ReadFile(gpx), "<trkpt ");
    EXPECT_GE(points, 10u);
    EXPECT_EQ(rows.size(), points + 1) << csv.output;
    // The raw log beside it holds the receiver's sentences.
    EXPECT_NE(rectest::ReadFile(dir.File("window.nmea")).find("$GPRMC,"), std::string::npos);
}

}  // namespace
