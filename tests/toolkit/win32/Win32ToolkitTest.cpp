#include <windows.h>

#include <gtest/gtest.h>

#include "toolkit/Messages.h"
#include "toolkit/OsInfo.h"
#include "toolkit/Sync.h"

namespace {

TEST(Win32Toolkit, EventsAreKernelObjects) {
    // The device layer hands these handles to overlapped I/O.
    tk::TEvent manual(true, false);
    const HANDLE h = static_cast<HANDLE>(manual.NativeHandle());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(h));
    EXPECT_EQ(manual.Wait(0), tk::kWaitObject0);
    manual.Reset();
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32Toolkit, SystemTextsAndVersion) {
    EXPECT_FALSE(tk::SystemErrorText(ERROR_ACCESS_DENIED).empty());
    EXPECT_FALSE(tk::SystemErrorText(ERROR_FILE_NOT_FOUND).empty());
    const std::string os = tk::OsDescription();
    EXPECT_NE(os.find('.'), std::string::npos) << os;
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(tk::LastSystemError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    tk::SetLastSystemError(ERROR_SEM_TIMEOUT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST(Win32Toolkit, NotificationWindowsAreRealWindows) {
    const tk::TWindowHandle w = tk::CreateNotifyWindow(
        "PalmoTestWindow",
        [](tk::TWindowHandle, uint32_t, tk::TWParam wp, tk::TLParam) -> tk::TLResult {
            return static_cast<tk::TLResult>(wp + 1);
        });
    ASSERT_NE(w, 0u);
    const HWND hwnd = reinterpret_cast<HWND>(w);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), GetCurrentThreadId());
    // A message posted with the plain Win32 call reaches the procedure.
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 5, 41, 0));
    tk::TMessage m;
    ASSERT_TRUE(tk::TakeMessage(m));
    EXPECT_EQ(m.msg, static_cast<uint32_t>(WM_USER + 5));
    EXPECT_EQ(tk::DispatchTaken(m), 42);
    EXPECT_TRUE(tk::DestroyNotifyWindow(w));
    EXPECT_FALSE(IsWindow(hwnd));
}

}  // namespace
