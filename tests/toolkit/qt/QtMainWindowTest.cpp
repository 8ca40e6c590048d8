// The program's main window in Qt: a pseudo-terminal behind COM1 carries NMEA
// lines, the box is ticked on its widget, and the labels, the log and the
// painted window show the fix. PALMO_SCREENSHOT_DIR, when set, receives the
// window's picture as screenshot-linux.png.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "serial/posix/PtyPair.h"
#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

// A sentence with its checksum and line end.
std::string Nmea(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// The window's gradient row y: white at the top to the window's colour
// (red 132, green 221, blue 255) over max(376, 421) rows.
QColor GradientRow(int y) {
    constexpr int kRows = 421;
    auto channel = [y](int from, int to) { return from + (to - from) * y / kRows; };
    return QColor(channel(255, 132), channel(255, 221), channel(255, 255));
}

TEST(QtMainWindow, ShowsALiveFixFromCom1) {
    ASSERT_TRUE(qttest::StartQt());
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());

    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.Show();
    QWidget* window = WidgetOf(form);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Palmo GPS Receiver...");
    EXPECT_EQ(window->size(), QSize(376, 421));

    auto* ports1 = WidgetOf<QComboBox>(*form.PortsComboBox);
    ASSERT_NE(ports1, nullptr);
    ASSERT_EQ(ports1->count(), 1);
    EXPECT_EQ(ports1->itemText(0), "COM1");
    EXPECT_EQ(WidgetOf<QComboBox>(*form.BaudChoices)->currentText(), "4800");

    // Ticking the box on screen opens COM1.
    auto* tick = WidgetOf<QCheckBox>(*form.CheckBox1);
    ASSERT_NE(tick, nullptr);
    EXPECT_EQ(tick->text(), "GPS Available ");
    tick->click();
    ASSERT_TRUE(form.GPS1->ComOpen());
    EXPECT_TRUE(tick->isChecked());

    // The receiver sends its lines once a second; here every 200 ms.
    const std::string lines =
        Nmea("GPRMC,211434.00,A,4807.038,N,01131.000,E,022.4,084.4,071226,003.1,W") +
        Nmea("GPGGA,211434.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
        Nmea("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] { pty.Write(lines); });
    feed.start(200);
    pty.Write(lines);
    auto* valid = WidgetOf<QLabel>(*form.Valid);
    auto* sats = WidgetOf<QLabel>(*form.GPSs);
    ASSERT_TRUE(valid && sats);
    ASSERT_TRUE(qttest::RunUntil([&] {
        return valid->text() == "Valid" && sats->text() == "Sat Count: 8";
    })) << valid->text().toStdString()
        << " / " << sats->text().toStdString();

    // Every label shows its control's text, bytes turned into Unicode.
    for (tk::TLabel* label : {form.Lat1, form.Long1, form.Date, form.Time, form.Valid, form.Lat2,
                              form.Long2, form.Alt, form.Label3, form.GPSs}) {
        EXPECT_EQ(WidgetOf<QLabel>(*label)->text(), tk::qt::ToQString(label->Caption()))
            << label->Name();
    }
    const QString lat = WidgetOf<QLabel>(*form.Lat1)->text();
    EXPECT_TRUE(lat.startsWith(QString::fromUtf8("Lat: 48\u00B0"))) << lat.toStdString();
    EXPECT_TRUE(WidgetOf<QLabel>(*form.Long1)->text().startsWith("Long: "));
    EXPECT_TRUE(WidgetOf<QLabel>(*form.Alt)->text().startsWith("Altitude: "));
    EXPECT_TRUE(WidgetOf<QLabel>(*form.Alt)->text().endsWith(" M"));
    EXPECT_EQ(WidgetOf<QLabel>(*form.Label3)->text(), "Fix Progress: 3D Fix");
    // The log: one line per sentence, no blank lines from the carriage returns.
    const QStringList logged = WidgetOf<QPlainTextEdit>(*form.Memo1)->toPlainText().split('\n');
    ASSERT_GE(logged.size(), 3);
    EXPECT_EQ(logged[0].toStdString() + "\r\n", "GPRMC: " + lines.substr(0, lines.find('\n') + 1));
    EXPECT_TRUE(logged[1].startsWith("GPGGA: $GPGGA,211434.00"));
    EXPECT_TRUE(logged[2].startsWith("GPGSA: $GPGSA,A,3"));
    EXPECT_FALSE(logged.contains(QString()));

    // The picture: the gradient's first and last rows beside the controls,
    // and the blue "Valid" with the gradient through its background.
    const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(376, 421));
    for (int y : {0, 1, 200, 401}) {
        EXPECT_EQ(image.pixelColor(4, y), GradientRow(y)) << "row " << y;
        EXPECT_EQ(image.pixelColor(370, y), GradientRow(y)) << "row " << y;
    }
    EXPECT_EQ(image.pixelColor(4, 0), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(4, 410), QColor(255, 255, 255));  // the white status bar
    const QRect r = valid->geometry();
    EXPECT_EQ(r.right() + 1, 361);  // the right edge of the design, kept
    int blue = 0, gradient = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.blue() > 200 && c.red() < 60 && c.green() < 60) {
                ++blue;
            } else if (c == GradientRow(y)) {
                ++gradient;
            }
        }
    }
    EXPECT_GT(blue, 20);
    EXPECT_GT(gradient, r.width() * r.height() / 3);

    if (const char* dir = std::getenv("PALMO_SCREENSHOT_DIR"); dir != nullptr && *dir != '\0') {
        QDir().mkpath(dir);
        EXPECT_TRUE(image.save(QDir(dir).filePath("screenshot-linux.png")));
    }

    // Unticking closes the port.
    feed.stop();
    tick->click();
    EXPECT_FALSE(form.GPS1->ComOpen());
    EXPECT_FALSE(tick->isChecked());
    form.Close();
    EXPECT_TRUE(app.Terminated());
}

TEST(QtMainWindow, StatusBarHintsAtGnssModeForAMultiSystemReceiver) {
    ASSERT_TRUE(qttest::StartQt());
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.Show();
    auto* bar = WidgetOf<QStatusBar>(*form.StatusBar1);
    ASSERT_NE(bar, nullptr);
    auto* panel = bar->findChild<QLabel*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->text(), tk::qt::ToQString(TForm1::kStatusText));

    WidgetOf<QCheckBox>(*form.CheckBox1)->click();
    ASSERT_TRUE(form.GPS1->ComOpen());
    const std::string gn =
        Nmea("GNRMC,211434.00,A,4807.038,N,01131.000,E,022.4,084.4,071226,003.1,W") +
        Nmea("GNGGA,211434.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    pty.Write(gn + gn + gn);
    const QString hint =
        "This receiver sends GNSS sentences - right-click and choose All satellite systems (GNSS)";
    ASSERT_TRUE(qttest::RunUntil([&] { return panel->text() == hint; }))
        << panel->text().toStdString();
    EXPECT_TRUE(panel->isVisible());
    std::printf("the hint is %d pixels wide in a status bar of %d\n",
                panel->fontMetrics().horizontalAdvance(hint), bar->width());

    // GNSS mode on: the credit is back.
    form.GnssItem->Click();
    EXPECT_EQ(panel->text(), tk::qt::ToQString(TForm1::kStatusText));
    WidgetOf<QCheckBox>(*form.CheckBox1)->click();
    form.Close();
}

}  // namespace
