#include "serial/PortProbe.h"

#include <cstdio>
#include <mutex>

#include "serial/ComPort.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/OsInfo.h"

std::atomic<bool> ProbeThroughDispatcher{true};
std::atomic<bool> CountBusyPorts{true};

namespace {

constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kProbeQueueSize = 64;

std::mutex& DialogMutex() {
    static std::mutex m;
    return m;
}
TPortSelectDialog& Dialog() {
    static TPortSelectDialog d;
    return d;
}

}  // namespace

std::string PortDeviceName(uint32_t n) {
    return "\\\\.\\COM" + std::to_string(n);
}

char* PortDeviceName(char* buffer, uint32_t n) {
    std::snprintf(buffer, 16, "\\\\.\\COM%u", n);
    return buffer;
}

bool ProbePort(uint32_t n) {
    if (n == 0) {
        return false;
    }
    const std::string name = PortDeviceName(n);
    try {
        if (ProbeThroughDispatcher.load()) {
            // The dispatcher has no owner; it is freed however the probe ends.
            std::unique_ptr<TRirBaseDispatcher> d = MakePlatformDispatcher(nullptr);
            if (!d) {
                return false;
            }
            if (d->DeviceOpen(name, kProbeQueueSize, kProbeQueueSize) >= 0) {
                d->DeviceClose();
                return true;
            }
            return CountBusyPorts.load() && tk::LastSystemError() == kAccessDenied;
        }
        if (OpenDeviceDirectly(name)) {
            return true;
        }
        return CountBusyPorts.load() && tk::LastSystemError() == kAccessDenied;
    } catch (...) {
        // A probe never raises: whatever went wrong, the port is not usable.
        return false;
    }
}

TPortSelectDialog SetPortSelectDialog(TPortSelectDialog dialog) {
    std::lock_guard<std::mutex> g(DialogMutex());
    TPortSelectDialog old = std::move(Dialog());
    Dialog() = std::move(dialog);
    return old;
}

bool ShowPortSelectDialog(uint16_t& selected) {
    TPortSelectDialog dialog;
    {
        std::lock_guard<std::mutex> g(DialogMutex());
        dialog = Dialog();
    }
    return dialog && dialog(selected);
}
