// The device layer of the Windows build.
#include <windows.h>

#include "serial/ComPort.h"
#include "serial/dispatch/Dispatcher.h"
#include "serial/win32/Win32Dispatcher.h"

std::unique_ptr<TRirBaseDispatcher> MakePlatformDispatcher(TRirComPort* owner, bool tapi,
                                                           int32_t tapiHandle) {
    if (tapi) {
        return std::make_unique<TRirTAPI32Dispatcher>(owner, tapiHandle);
    }
    return std::make_unique<TRirWin32Dispatcher>(owner);
}

bool OpenDeviceDirectly(const std::string& deviceName) {
    HANDLE h = CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        return false;
    }
    CloseHandle(h);
    return true;
}
