// The context menu, the satellites window and the start-up options with no
// display: the menu's items on the receiver and the clipboard, repaints
// gathered to at most ten a second, the window cleared when data stop, and
// options good and bad.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/SatellitesForm.h"
#include "app/StartOptions.h"
#include "app/Unit1.h"
#include "toolkit/FormsFakeBackend.h"
// After the toolkit's headers: on Windows it brings windows.h and its macros.
#include "serial/ComPortTestSupport.h"

namespace {

using namespace cptest;
using gps::TGnssSystem;

gps::TSatellite Sat(TGnssSystem system, int32_t prn, int32_t el, int32_t az, int32_t snr,
                    bool used) {
    gps::TSatellite s;
    s.System = system;
    s.PRN = prn;
    s.Elevation = el;
    s.Azimuth = az;
    s.SNR = snr;
    s.Used = used;
    return s;
}

TEST(MainFormMenu, ItemsSetTheModeOpenTheSatellitesAndCopyThePosition) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TForm1 form(nullptr);
    ASSERT_EQ(form.PopupMenu(), form.PopupMenu1);
    ASSERT_EQ(form.PopupMenu1->Items().size(), 7u);
    EXPECT_EQ(form.GnssItem->Caption(), "All satellite systems (GNSS)");
    EXPECT_EQ(form.CopyItem->Caption(), "Copy position");

    // The tick follows the receiver's mode, and a click flips both.
    EXPECT_TRUE(form.UserContextMenu(10, 10));  // no backend: nothing shows
    EXPECT_FALSE(form.GnssItem->Checked());
    form.GnssItem->Click();
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    form.GnssItem->Click();
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGP);
    form.GPS1->SetDialect(gps::TNmeaDialect::ndGNSS);
    form.UserContextMenu(-1, -1);
    EXPECT_TRUE(form.GnssItem->Checked());

    form.Lat1->SetCaption("Lat: 48\xB0 07' 02\" N");
    form.Long1->SetCaption("Long: 11\xB0 31' 00\" E");
    form.Lat2->SetCaption("Lat: 48.1173");
    form.Long2->SetCaption("Long: 11.5167");
    form.Date->SetCaption("07/12/2026");
    form.Time->SetCaption("21:14:34");
    form.CopyItem->Click();
    EXPECT_EQ(tk::Clipboard().AsText(),
              "Lat: 48\xB0 07' 02\" N  Long: 11\xB0 31' 00\" E  Lat: 48.1173 Long: 11.5167  "
              "07/12/2026 21:14:34 UTC");

    // "Satellites..." makes the window once; satellites the receiver reports
    // reach it, and it is cleared when the data stop.
    EXPECT_EQ(form.SatellitesWindow(), nullptr);
    form.SatellitesItem->Click();
    TSatellitesForm* sats = form.SatellitesWindow();
    ASSERT_NE(sats, nullptr);
    EXPECT_TRUE(sats->Showing());
    form.SatellitesItem->Click();
    EXPECT_EQ(form.SatellitesWindow(), sats);
    EXPECT_EQ(sats->Caption(), "Satellites");
    EXPECT_EQ(sats->ClientWidth(), 360);
    EXPECT_EQ(sats->ClientHeight(), 480);
    EXPECT_EQ(sats->Sky->Width(), 360);
    EXPECT_EQ(sats->Legend(), "No satellites in view");
    ASSERT_TRUE(form.GPS1->OnSatellites);
    form.GPS1->OnSatellites(*form.GPS1, {Sat(TGnssSystem::GLONASS, 70, 10, 10, 30, false),
                                         Sat(TGnssSystem::GPS, 5, 40, 90, 44, true),
                                         Sat(TGnssSystem::GPS, 9, 40, 90, 12, false)});
    EXPECT_EQ(sats->Legend(), "GPS 1/2  GLONASS 0/1");
    EXPECT_EQ(sats->Satellites().front().PRN, 5);  // by system, then number
    form.GPS1->SetComTimeOut(100);
    ASSERT_TRUE(PumpUntil([&] { return sats->Legend() == "No satellites in view"; }));
    EXPECT_EQ(form.Label3->Caption(), "GPS Lossed");
}

TEST(SatellitesForm, RepaintsOnlyChangesAndAtMostTenASecond) {
    formstest::TFakeBackend backend;
    TSatellitesForm form(nullptr);
    form.Show();
    auto repaints = [&] {
        int n = 0;
        for (const formstest::TNotice& notice : backend.Of(tk::TChange::Repaint)) {
            n += notice.control == "Sky" ? 1 : 0;
        }
        return n;
    };
    const auto start = std::chrono::steady_clock::now();
    int beforeLast = 0;
    for (int i = 0; i < 200; ++i) {
        beforeLast = repaints();
        form.ShowSatellites({Sat(TGnssSystem::GPS, 1, 45, i % 360, 40, true)});
        PumpFor(1);
    }
    // Whatever the machine's speed: one at once, then at most one per
    // 100 ms (ten a second) of the time the changes took.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(repaints(), 1);
    EXPECT_LE(repaints(), 2 + ms / 100);
    // The last change is painted, at once or when its interval is over.
    ASSERT_TRUE(PumpUntil([&] { return repaints() > beforeLast; }));
    // Then all is quiet: once three intervals' worth of timers have had
    // their turn, the same list again paints nothing.
    ASSERT_TRUE(testsupport::PumpPastTimers(300));
    const int settled = repaints();
    form.ShowSatellites({Sat(TGnssSystem::GPS, 1, 45, 199 % 360, 40, true)});
    ASSERT_TRUE(testsupport::PumpPastTimers(200));
    EXPECT_EQ(repaints(), settled);  // the same list: no repaint
    EXPECT_EQ(form.Satellites().front().Azimuth, 199);
    // A change after the quiet is painted at once.
    form.Clear();
    EXPECT_EQ(repaints(), settled + 1);
}

TEST(StartOptions, ParsedAndAppliedWithBadValuesReported) {
    const TStartOptions all = ParseStartOptions(
        {"--gnss", "--port", "3", "--baud=9600", "--open", "--satellites", "--help"});
    EXPECT_TRUE(all.Gnss && all.Open && all.Satellites && all.Help);
    EXPECT_EQ(all.Port, "3");
    EXPECT_EQ(all.Baud, "9600");
    EXPECT_TRUE(all.Problems.empty());
    const TStartOptions none = ParseStartOptions({});
    EXPECT_FALSE(none.Gnss || none.Open || none.Satellites || none.Help);
    EXPECT_TRUE(none.Port.empty() && none.Baud.empty() && none.Problems.empty());
    const TStartOptions bad = ParseStartOptions({"--fast", "--open=1", "--port"});
    ASSERT_EQ(bad.Problems.size(), 3u);
    EXPECT_NE(bad.Problems[0].find("\"--fast\""), std::string::npos);
    EXPECT_NE(bad.Problems[2].find("--port needs a value"), std::string::npos);
    EXPECT_NE(StartOptionsUsage().find("--satellites"), std::string::npos);

    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TForm1 form(nullptr);
    EXPECT_TRUE(
        form.ApplyStartOptions(ParseStartOptions({"--gnss", "--port", "3", "--baud", "9600"}))
            .empty());
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    EXPECT_EQ(form.PortsComboBox->Text(), "COM3");
    EXPECT_EQ(form.GPS1->ComNumber(), 3);
    EXPECT_EQ(form.GPS1->ComBaud(), 9600);

    // Bad values: said clearly, and the choice stays.
    const auto problems =
        form.ApplyStartOptions(ParseStartOptions({"--port", "77", "--baud", "1234"}));
    ASSERT_EQ(problems.size(), 2u) << testing::PrintToString(problems);
    EXPECT_EQ(problems[0].rfind("Port COM77 is not one of the choices COM1, COM2, COM3, COM4", 0),
              0u)
        << problems[0];
    EXPECT_NE(problems[0].find("COM3 stays."), std::string::npos) << problems[0];
    EXPECT_EQ(problems[1].rfind("Baud rate 1234 is not one of the choices 150, 300", 0), 0u)
        << problems[1];
    EXPECT_NE(problems[1].find("9600 stays."), std::string::npos);
    EXPECT_EQ(form.GPS1->ComNumber(), 3);
    EXPECT_EQ(form.GPS1->ComBaud(), 9600);
    EXPECT_EQ(form.ApplyStartOptions(ParseStartOptions({"--port", "x1"})).size(), 1u);
}

}  // namespace
