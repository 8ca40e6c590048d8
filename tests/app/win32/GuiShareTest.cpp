// The main window's share tick with the Win32 peers (under Wine, on an X
// display): the item picked from the real context menu, the status bar's
// text following two clients connecting and leaving, the tick shown.
// The client (Asio) comes first: Winsock 2 must be in before <windows.h>.
#include "share/ShareClient.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ReceiverShare.h"
#include "app/Unit1.h"
#include "support/win32/MenuDriver.h"
#include "support/win32/WindowTree.h"
#include "toolkit/Forms.h"
#include "toolkit/Messages.h"

namespace {

using testsupport::Children;
using testsupport::ClassOf;
using testsupport::TMenuDriver;
using testsupport::WindowText;

// Serves the application's messages until done(); false after 10 s.
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

}  // namespace

TEST(Win32MainWindowShare, TheTickAndTheClientCountInTheStatusBar) {
    InstallBackend();
    tk::TApplication app;
    TForm1& form = app.CreateForm<TForm1>();
    form.SetSharePort(0);  // a free port: tests never take gpsd's
    form.Show();
    const HWND hwnd = FindWindowA("PalmoGPSForm", "Palmo GPS Receiver...");
    ASSERT_NE(hwnd, nullptr);
    HWND bar = nullptr;
    for (HWND h : Children(hwnd)) {
        bar = ClassOf(h) == "msctls_statusbar32" ? h : bar;
    }
    ASSERT_NE(bar, nullptr);
    auto shown = [bar] { return WindowText(bar); };

    POINT at{200, 330};
    ClientToScreen(hwnd, &at);
    TMenuDriver::Start(3);
    PostMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(at.x, at.y));
    ASSERT_TRUE(Serve([&] { return form.Share() != nullptr && form.Share()->Active(); }));
    ASSERT_EQ(TMenuDriver::seen.size(), 7u);
    EXPECT_EQ(TMenuDriver::seen[3], "Share with other programs (port 0)");
    EXPECT_EQ(shown(), "Shared: 0 clients");
    const uint16_t port = form.Share()->Port();

    auto first = std::make_unique<sharetest::TClient>(port);
    auto second = std::make_unique<sharetest::TClient>(port);
    EXPECT_TRUE(Serve([&] { return shown() == "Shared: 2 clients"; })) << shown();
    first.reset();
    EXPECT_TRUE(Serve([&] { return shown() == "Shared: 1 client"; })) << shown();
    second.reset();
    EXPECT_TRUE(Serve([&] { return shown() == "Shared: 0 clients"; })) << shown();

    TMenuDriver::Start(3);
    PostMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(at.x, at.y));
    ASSERT_TRUE(Serve([&] { return !form.Share()->Active(); }));
    ASSERT_EQ(TMenuDriver::seen.size(), 7u);
    EXPECT_EQ(TMenuDriver::seen[3], "[x] Share with other programs (port 0)");
    EXPECT_EQ(shown(), TForm1::kStatusText);
    form.Close();
}
