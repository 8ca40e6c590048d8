// The satellites window and the main window's context menu with the Win32
// peers (under Wine, on an X display): the sky plot's and bars' pixels read
// back from the paint box, the legend, the menu opened by the system's
// messages and picked with the keyboard, and the clipboard.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/SatellitesForm.h"
#include "app/Unit1.h"
#include "serial/win32/WinPorts.h"
#include "support/Pump.h"
#include "support/win32/MenuDriver.h"
#include "support/win32/WindowTree.h"
#include "toolkit/Forms.h"
#include "toolkit/Messages.h"

namespace {

using testsupport::TMenuDriver;

using gps::TGnssSystem;
using testsupport::Children;
using testsupport::ClassOf;

constexpr const char* kFormClass = "PalmoGPSForm";

void InstallBackend() {
    static const bool installed = [] {
        int argc = 1;
        char name[] = "test_winapp";
        char* argv[] = {name, nullptr};
        std::string reason;
        const bool ok = tk::InstallGuiBackend(argc, argv, reason);
        EXPECT_TRUE(ok) << reason;
        return ok;
    }();
    ASSERT_TRUE(installed);
}

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

// A copy of a window's pixels.
class TPicture {
  public:
    explicit TPicture(HWND hwnd) {
        RECT r{};
        GetClientRect(hwnd, &r);
        width_ = r.right;
        height_ = r.bottom;
        HDC screen = GetDC(hwnd);
        dc_ = CreateCompatibleDC(screen);
        bitmap_ = CreateCompatibleBitmap(screen, width_, height_);
        old_ = SelectObject(dc_, bitmap_);
        BitBlt(dc_, 0, 0, width_, height_, screen, 0, 0, SRCCOPY);
        ReleaseDC(hwnd, screen);
    }
    ~TPicture() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;
    tk::TColor At(int x, int y) const { return GetPixel(dc_, x, y) & 0xFFFFFF; }
    int Count(int left, int top, int w, int h, tk::TColor c) const {
        int n = 0;
        for (int y = top; y < top + h; ++y) {
            for (int x = left; x < left + w; ++x) {
                n += At(x, y) == c ? 1 : 0;
            }
        }
        return n;
    }
    int Width() const { return width_; }
    int Height() const { return height_; }

  private:
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
    int width_ = 0, height_ = 0;
};

HWND ChildOfClass(HWND parent, const std::string& cls) {
    for (HWND h : Children(parent)) {
        if (ClassOf(h) == cls) {
            return h;
        }
    }
    return nullptr;
}

TEST(Win32Satellites, SkyPlotBarsAndLegend) {
    InstallBackend();
    auto form = std::make_unique<TSatellitesForm>(nullptr);
    int paints = 0;
    auto draw = form->Sky->OnPaint;
    form->Sky->OnPaint = [&](tk::TPaintBox& b, tk::TCanvas& c) {
        ++paints;
        draw(b, c);
    };
    form->Show();
    const HWND hwnd = FindWindowA(kFormClass, "Satellites");
    ASSERT_NE(hwnd, nullptr);
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 360);
    EXPECT_EQ(client.bottom, 480);
    EXPECT_TRUE(GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_THICKFRAME);
    const HWND sky = ChildOfClass(hwnd, "PalmoGPSPaintBox");
    ASSERT_NE(sky, nullptr);

    form->ShowSatellites({Sat(TGnssSystem::Galileo, 3, {}, {}, {}, false),
                          Sat(TGnssSystem::GLONASS, 70, 90, 0, 20, false),
                          Sat(TGnssSystem::GPS, 5, 0, 90, 40, true)});
    const int before = paints;
    ASSERT_TRUE(testsupport::PumpUntil([&] {
        UpdateWindow(sky);
        return paints > before;
    }));
    EXPECT_EQ(form->Legend(), "GPS 1/1  GLONASS 0/1  Galileo 0/1");
    {
        const TPicture image(sky);
        ASSERT_EQ(image.Width(), 360);
        ASSERT_EQ(image.Height(), 480);
        // Worked out for 360 x 480: the sky is the top 360 x 360 square, the
        // horizon 20 pixels inside it (centre 180, 180, radius 160); the bars
        // reach up to 364, 4 pixels under the sky, from their grey base line
        // above the legend; three slots of 120 pixels hold bars 24 wide in
        // their middle (left edges 48, 168, 288). Colours as 00BBGGRR.
        constexpr tk::TColor gpsGreen = 0x00A000;
        constexpr tk::TColor gloRed = 0x0000DC;
        constexpr tk::TColor grid = 0xA0A0A0;
        const int ex = 340, ey = 180;                                // elevation 0, azimuth 90
        const int zx = 180, zy = 180;                                // elevation 90
        const int d = 7;                                             // half a disc
        EXPECT_EQ(image.Count(ex - 3, ey - 3, 7, 7, gpsGreen), 49);  // filled
        EXPECT_GT(image.Count(zx - d, zy - d, 2 * d, 2 * d, gloRed), 30);
        EXPECT_EQ(image.Count(zx - 3, zy - 3, 7, 7, gloRed), 0);  // outlined
        EXPECT_EQ(image.At(zx + 2, zy + 2), tk::clWhite);
        EXPECT_EQ(image.At(zx + d - 1, zy), gloRed);
        // Neither disc on the northern horizon (180, 20).
        EXPECT_EQ(image.Count(180 - 3, 20 - 3, 7, 7, gpsGreen), 0);
        EXPECT_EQ(image.Count(180 - 3, 20 - 3, 7, 7, gloRed), 0);

        // The base line: the first grey row under the bars' top at the left
        // edge, with room for the legend's text under it.
        const int barsTop = 364;
        int base = barsTop;
        while (base < 480 && image.At(2, base) != grid) {
            ++base;
        }
        ASSERT_GT(base, barsTop + 20);
        ASSERT_LT(base, 480 - 20);
        EXPECT_EQ(image.At(357, base), grid);
        // GPS 40 dB-Hz four fifths of the full height (SNR 50), GLONASS 20
        // two fifths, standing on the base line.
        const int full = base - barsTop;
        EXPECT_EQ(image.Count(48, barsTop, 1, full, gpsGreen), full * 4 / 5);
        EXPECT_EQ(image.At(48, base - 1), gpsGreen);
        EXPECT_EQ(image.Count(50, base - 5, 20, 3, gpsGreen), 20 * 3);
        EXPECT_EQ(image.Count(168, barsTop, 1, full, gloRed), full * 2 / 5);
        EXPECT_EQ(image.At(168, base - 1), gloRed);
        EXPECT_EQ(image.Count(170, base - 5, 20, 3, gloRed), 0);
        EXPECT_GT(image.Count(0, base + 1, 360, 480 - base - 1, gpsGreen), 20);  // legend
    }

    form->Clear();
    const int cleared = paints;
    ASSERT_TRUE(testsupport::PumpUntil([&] {
        UpdateWindow(sky);
        return paints > cleared;
    }));
    EXPECT_EQ(form->Legend(), "No satellites in view");
    const TPicture image(sky);
    EXPECT_EQ(image.Count(0, 0, image.Width(), image.Height(), 0x00A000), 0);  // no GPS green
    EXPECT_GT(image.Count(0, image.Height() - 24, image.Width(), 24, 0x202020), 10);  // the text
}

// Serves the application's messages through the backend (as its loop
// does, keyboard handling included) until done(); false after 10 s.
bool Serve(const std::function<bool()>& done) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > 10000) {
            return false;
        }
        tk::Application()->ProcessMessages();
        tk::WaitForMessage(5);
    }
    return true;
}

TEST(Win32MainWindowMenu, ModeSatellitesAndClipboard) {
    InstallBackend();
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.GPS1->SetComTimeOut(0);  // no loss of data to blank the labels while the test runs
    form.Show();
    const HWND hwnd = FindWindowA(kFormClass, "Palmo GPS Receiver...");
    ASSERT_NE(hwnd, nullptr);
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 376);  // the layout is unchanged
    EXPECT_EQ(client.bottom, 421);

    // A right click (the system's message for it) on the form.
    POINT at{200, 330};
    ClientToScreen(hwnd, &at);
    TMenuDriver::Start(0);
    PostMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(at.x, at.y));
    ASSERT_TRUE(Serve([&] { return form.GPS1->Dialect() == gps::TNmeaDialect::ndGNSS; }));
    EXPECT_EQ(
        TMenuDriver::seen,
        (std::vector<std::string>{"All satellite systems (GNSS)", "Satellites...", "Copy position",
                                  "Share with other programs (port 2947)", "Record track...",
                                  "Record track and NMEA log...", "Stop recording"}));

    // Shift+F10 on the control with the focus: the tick shows the mode.
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    TMenuDriver::Start(0);
    const HWND focus = GetFocus() ? GetFocus() : hwnd;
    PostMessageA(focus, WM_KEYDOWN, VK_F10, 0);
    const bool toggled = Serve([&] { return form.GPS1->Dialect() == gps::TNmeaDialect::ndGP; });
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    ASSERT_TRUE(toggled);
    ASSERT_EQ(TMenuDriver::seen.size(), 7u);
    EXPECT_EQ(TMenuDriver::seen[0], "[x] All satellite systems (GNSS)");

    // The context-menu key: "Satellites...".
    TMenuDriver::Start(1);
    PostMessageA(focus, WM_KEYDOWN, VK_APPS, 0);
    ASSERT_TRUE(Serve([&] { return form.SatellitesWindow() != nullptr; }));
    const HWND sats = FindWindowA(kFormClass, "Satellites");
    ASSERT_NE(sats, nullptr);
    EXPECT_TRUE(IsWindowVisible(sats));

    // "Copy position": the labels as shown, on the system's clipboard.
    form.Lat1->SetCaption("Lat: 48\xB0 07' 02\" N");
    TMenuDriver::Start(2);
    PostMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(at.x, at.y));
    std::string copied;
    ASSERT_TRUE(Serve([&] {
        if (!TMenuDriver::done || !OpenClipboard(nullptr)) {
            return false;
        }
        copied.clear();
        if (HANDLE mem = GetClipboardData(CF_TEXT)) {
            copied = static_cast<const char*>(GlobalLock(mem));
            GlobalUnlock(mem);
        }
        CloseClipboard();
        return copied.find("UTC") != std::string::npos;
    }));
    EXPECT_EQ(copied, "Lat: 48\xB0 07' 02\" N  Long1  Lat2 Long2  Date Time UTC");
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

TEST(Win32MainWindowGnss, FixLabelsFillFromGnrmcOnlyInGnssMode) {
    REQUIRE_COM_PAIRS();
    InstallBackend();
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.GPS1->SetComTimeOut(0);  // no loss of data to blank the labels while the test runs
    form.Show();
    const HWND hwnd = FindWindowA(kFormClass, "Palmo GPS Receiver...");
    ASSERT_NE(hwnd, nullptr);
    form.CheckBox1->SetChecked(true);
    ASSERT_TRUE(form.GPS1->ComOpen());
    winports::TFarEnd remote(2);  // COM2 is the other end of COM1
    ASSERT_TRUE(remote.Ok());
    const std::string lines =
        Nmea("GNRMC,211434.00,A,4807.038,N,01131.000,E,022.4,084.4,071226,003.1,W,A") +
        Nmea("GNGGA,211434.00,4807.038,N,01131.000,E,1,14,0.9,545.4,M,46.9,M,,");
    auto feedUntil = [&](const std::function<bool()>& done) {
        DWORD last = 0;
        return Serve([&] {
            if (GetTickCount() - last > 100) {
                last = GetTickCount();
                remote.Write(lines);
            }
            return done();
        });
    };
    // GPS mode: logged, decoded into nothing.
    ASSERT_TRUE(feedUntil([&] { return form.Memo1->Lines().size() >= 4; }));
    EXPECT_EQ(form.Valid->Caption(), "Not Valid");
    EXPECT_EQ(testsupport::WindowText(testsupport::ChildWithText(hwnd, "Not Valid")), "Not Valid");
    // The menu's item: GNSS mode, and the labels fill.
    POINT at{200, 330};
    ClientToScreen(hwnd, &at);
    TMenuDriver::Start(0);
    PostMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(at.x, at.y));
    ASSERT_TRUE(feedUntil([&] {
        return form.Valid->Caption() == "Valid" && form.GPSs->Caption() == "Sat Count: 14";
    }));
    EXPECT_EQ(form.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    EXPECT_NE(testsupport::ChildWithText(hwnd, "Sat Count: 14"), nullptr);
    form.CheckBox1->SetChecked(false);
    form.Close();
}

}  // namespace
