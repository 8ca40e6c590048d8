// The satellites window and the main window's context menu in Qt: the sky
// plot's discs where their elevation and azimuth put them, in their
// system's colour, filled or outlined; bar heights by SNR; the legend; the
// menu by mouse and by keyboard; the clipboard. PALMO_SCREENSHOT_DIR, when
// set, receives screenshot-satellites-linux.png.
#include <gtest/gtest.h>

// Before Qt's headers, whose "signals" macro would clash with the receiver's names.
#include "app/Unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/SatellitesForm.h"
#include "serial/posix/PtyPair.h"
#include "toolkit/qt/QtTestSupport.h"

namespace {

using gps::TGnssSystem;
using qttest::WidgetOf;

gps::TSatellite Sat(TGnssSystem system, int32_t prn, std::optional<int32_t> el,
                    std::optional<int32_t> az, std::optional<int32_t> snr, bool used) {
    gps::TSatellite s;
    s.System = system;
    s.PRN = prn;
    s.Elevation = el;
    s.Azimuth = az;
    s.SNR = snr;
    s.Used = used;
    return s;
}

// The systems' colours as the window shows them.
const QColor kGpsGreen(0, 160, 0);
const QColor kGlonassRed(220, 0, 0);
const QColor kGalileoBlue(0, 90, 255);
const QColor kGridGrey(160, 160, 160);

// The window's picture once it has painted since `painted` was last read.
QImage Picture(TSatellitesForm& form, int& paints) {
    const int before = paints;
    EXPECT_TRUE(qttest::RunUntil([&] { return paints > before; }));
    return WidgetOf(form)->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int CountIn(const QImage& image, const QRect& r, const QColor& c) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            n += image.pixelColor(x, y) == c ? 1 : 0;
        }
    }
    return n;
}

// Rows of colour c in column x between top and bottom (exclusive).
int ColumnRun(const QImage& image, int x, int top, int bottom, const QColor& c) {
    int n = 0;
    for (int y = top; y < bottom; ++y) {
        n += image.pixelColor(x, y) == c ? 1 : 0;
    }
    return n;
}

TEST(QtSatellites, SkyPlotBarsAndLegend) {
    ASSERT_TRUE(qttest::StartQt());
    auto form = std::make_unique<TSatellitesForm>(nullptr);
    int paints = 0;
    auto draw = form->Sky->OnPaint;
    form->Sky->OnPaint = [&](tk::TPaintBox& b, tk::TCanvas& c) {
        ++paints;
        draw(b, c);
    };
    form->Show();
    QWidget* window = WidgetOf(*form);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Satellites");
    EXPECT_EQ(window->size(), QSize(360, 480));
    EXPECT_EQ(window->minimumSize(), QSize(240, 320));

    // GPS 5 on the eastern horizon, used; GLONASS 70 at the zenith, not
    // used; Galileo 3 with neither place nor signal.
    form->ShowSatellites({Sat(TGnssSystem::Galileo, 3, {}, {}, {}, false),
                          Sat(TGnssSystem::GLONASS, 70, 90, 0, 20, false),
                          Sat(TGnssSystem::GPS, 5, 0, 90, 40, true)});
    QImage image = Picture(*form, paints);
    EXPECT_EQ(form->Legend(), "GPS 1/1  GLONASS 0/1  Galileo 0/1");
    // Worked out for 360 x 480 with text th pixels high (any th up to 22):
    // the sky is the top 360 x 360 square, the horizon 20 pixels inside it
    // (centre 180, 180, radius 160). The legend line starts th + 6 above
    // the bottom, the bars' base th + 4 above that (470 - 2 th) and the
    // bars reach up to 364, 4 pixels under the sky; three slots of 120
    // pixels hold bars 24 wide in their middle (left edges 48, 168, 288).
    const int th = QFontMetrics(tk::qt::ToQFont(form->Font())).height();
    ASSERT_LE(th, 22);
    const int barsTop = 364;
    const int base = 470 - 2 * th;
    const int legendTop = 474 - th;
    const QPoint east(340, 180);    // elevation 0, azimuth 90
    const QPoint zenith(180, 180);  // elevation 90
    const int d = 7;                // half a disc
    // Filled: the disc's inside is the system's colour.
    EXPECT_EQ(CountIn(image, QRect(east.x() - 3, east.y() - 3, 7, 7), kGpsGreen), 49);
    // Outlined: the ring is the colour, the inside is not.
    EXPECT_GT(CountIn(image, QRect(zenith.x() - d, zenith.y() - d, 2 * d, 2 * d), kGlonassRed), 30);
    EXPECT_EQ(CountIn(image, QRect(zenith.x() - 3, zenith.y() - 3, 7, 7), kGlonassRed), 0);
    EXPECT_EQ(image.pixelColor(zenith.x() + 2, zenith.y() + 2), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(zenith.x() + d - 1, zenith.y()), kGlonassRed);
    // Neither disc on the northern horizon (180, 20), where swapped axes or
    // an upside-down elevation would put them.
    EXPECT_EQ(CountIn(image, QRect(180 - 3, 20 - 3, 7, 7), kGpsGreen), 0);
    EXPECT_EQ(CountIn(image, QRect(180 - 3, 20 - 3, 7, 7), kGlonassRed), 0);

    // The bars' grey base line across the width, and the bars on it in
    // system order: GPS 40 dB-Hz four fifths of the full height (SNR 50),
    // GLONASS 20 two fifths; Galileo's slot empty.
    EXPECT_EQ(image.pixelColor(2, base), kGridGrey);
    EXPECT_EQ(image.pixelColor(357, base), kGridGrey);
    const int full = base - barsTop;
    EXPECT_EQ(ColumnRun(image, 48, barsTop, base, kGpsGreen), full * 4 / 5);
    EXPECT_EQ(image.pixelColor(48, base - 1), kGpsGreen);
    EXPECT_EQ(CountIn(image, QRect(50, base - 5, 20, 3), kGpsGreen), 20 * 3);
    EXPECT_EQ(ColumnRun(image, 168, barsTop, base, kGlonassRed), full * 2 / 5);
    EXPECT_EQ(image.pixelColor(168, base - 1), kGlonassRed);
    EXPECT_EQ(CountIn(image, QRect(170, base - 5, 20, 3), kGlonassRed), 0);  // outlined
    EXPECT_EQ(CountIn(image, QRect(288, barsTop, 24, full), kGalileoBlue), 0);
    // The legend's swatches and texts in the systems' colours.
    const QRect legend(0, legendTop, 360, 480 - legendTop);
    for (const QColor& c : {kGpsGreen, kGlonassRed, kGalileoBlue}) {
        EXPECT_GT(CountIn(image, legend, c), 20) << c.name().toStdString();
    }

    // A full sky, for the README, at a bigger size.
    window->resize(400, 560);
    ASSERT_TRUE(qttest::RunUntil([&] { return form->ClientWidth() == 400; }));
    EXPECT_EQ(form->Sky->Height(), 560);
    gps::TSatelliteList sky;
    const struct {
        TGnssSystem s;
        int prn, el, az, snr;
        bool used;
    } kSky[] = {{TGnssSystem::GPS, 2, 62, 40, 45, true},
                {TGnssSystem::GPS, 5, 35, 120, 41, true},
                {TGnssSystem::GPS, 12, 18, 210, 33, true},
                {TGnssSystem::GPS, 25, 8, 310, 22, false},
                {TGnssSystem::GPS, 29, 47, 280, 39, true},
                {TGnssSystem::SBAS, 36, 30, 160, 35, false},
                {TGnssSystem::GLONASS, 67, 55, 330, 38, true},
                {TGnssSystem::GLONASS, 76, 24, 80, 30, true},
                {TGnssSystem::GLONASS, 82, 5, 190, 15, false},
                {TGnssSystem::Galileo, 4, 71, 230, 42, true},
                {TGnssSystem::Galileo, 19, 28, 20, 36, true},
                {TGnssSystem::BeiDou, 23, 40, 140, 37, true},
                {TGnssSystem::BeiDou, 37, 12, 260, 0, false},
                {TGnssSystem::QZSS, 195, 15, 100, 28, false}};
    for (const auto& s : kSky) {
        sky.push_back(Sat(s.s, s.prn, s.el, s.az, s.snr, s.used));
    }
    form->ShowSatellites(sky);
    image = Picture(*form, paints);
    EXPECT_EQ(image.size(), QSize(400, 560));
    if (const char* dir = std::getenv("PALMO_SCREENSHOT_DIR"); dir != nullptr && *dir != '\0') {
        QDir().mkpath(dir);
        EXPECT_TRUE(image.save(QDir(dir).filePath("screenshot-satellites-linux.png")));
    }

    // Cleared: no satellite colour anywhere, and the legend says so.
    form->Clear();
    image = Picture(*form, paints);
    EXPECT_EQ(form->Legend(), "No satellites in view");
    EXPECT_EQ(CountIn(image, image.rect(), kGpsGreen), 0);
    int dark = 0;  // the text's pixels (smoothed at their edges)
    for (int y = image.height() - th - 6; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            dark += image.pixelColor(x, y).lightness() < 100 ? 1 : 0;
        }
    }
    EXPECT_GT(dark, 40);
}

TEST(QtMainWindowMenu, ModeSatellitesAndClipboard) {
    ASSERT_TRUE(qttest::StartQt());
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.GPS1->SetComTimeOut(0);  // no loss of data to blank the labels while the test runs
    form.Show();
    QWidget* window = WidgetOf(form);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(376, 421));  // the layout is unchanged

    // A right click on a label goes to the form's menu.
    QWidget* label = WidgetOf(*form.Lat1);
    QStringList items = qttest::UseMenu(
        [&] {
            QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                                    label->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(label, &click);
        },
        0);
    EXPECT_EQ(items, QStringList({"All satellite systems (GNSS)", "Satellites...", "Copy position",
                                  "Share with other programs (port 2947)", "Record track...",
                                  "Record track and NMEA log...", "Stop recording"}));
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    // Shift+F10 and the context-menu key open it too, the tick shown.
    items = qttest::UseMenu(
        [&] {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
            QApplication::sendEvent(window, &key);
        },
        0);
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[0], "[x] All satellite systems (GNSS)");
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGP);
    items = qttest::UseMenu(
        [&] {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Menu, Qt::NoModifier);
            QApplication::sendEvent(window, &key);
        },
        1);
    ASSERT_NE(form.SatellitesWindow(), nullptr);
    QWidget* sats = WidgetOf(*form.SatellitesWindow());
    ASSERT_NE(sats, nullptr);
    EXPECT_TRUE(sats->isVisible());
    EXPECT_EQ(sats->windowTitle(), "Satellites");

    form.Lat1->SetCaption("Lat: 48\xB0 07' 02\" N");
    qttest::UseMenu(
        [&] {
            QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(300, 300),
                                    window->mapToGlobal(QPoint(300, 300)));
            QApplication::sendEvent(window, &click);
        },
        2);
    EXPECT_EQ(QApplication::clipboard()->text(),
              QString::fromUtf8("Lat: 48\u00B0 07' 02\" N  Long1  Lat2 Long2  Date Time UTC"));
    form.Close();
}

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

TEST(QtMainWindowGnss, FixLabelsFillFromGnrmcOnlyInGnssMode) {
    ASSERT_TRUE(qttest::StartQt());
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.GPS1->SetComTimeOut(0);  // no loss of data to blank the labels while the test runs
    form.Show();
    WidgetOf<QCheckBox>(*form.CheckBox1)->click();
    ASSERT_TRUE(form.GPS1->ComOpen());
    const std::string lines =
        Nmea("GNRMC,211434.00,A,4807.038,N,01131.000,E,022.4,084.4,071226,003.1,W,A") +
        Nmea("GNGGA,211434.00,4807.038,N,01131.000,E,1,14,0.9,545.4,M,46.9,M,,");
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] { pty.Write(lines); });
    feed.start(100);
    auto* valid = WidgetOf<QLabel>(*form.Valid);
    // GPS mode: the lines are logged but decode into nothing.
    EXPECT_TRUE(qttest::RunUntil([&] { return form.Memo1->Lines().size() >= 4; }));
    EXPECT_EQ(valid->text(), "Not Valid");
    EXPECT_EQ(form.Lat1->Caption(), "Lat1\xB0");
    // The menu's item switches to GNSS mode: the labels fill.
    qttest::UseMenu(
        [&] {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Menu, Qt::NoModifier);
            QApplication::sendEvent(WidgetOf(form), &key);
        },
        0);
    ASSERT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    // (The first fix comes with the GNRMC, before its epoch's GNGGA.)
    ASSERT_TRUE(qttest::RunUntil([&] {
        return valid->text() == "Valid" && WidgetOf<QLabel>(*form.GPSs)->text() == "Sat Count: 14";
    }));
    EXPECT_TRUE(
        WidgetOf<QLabel>(*form.Lat1)->text().startsWith(QString::fromUtf8("Lat: 48\u00B0")));
    feed.stop();
    form.Close();
}

}  // namespace
