// What the port component tests share: real ports with a far end the test
// plays, and a message pump for the test thread, which owns the components'
// notification windows.
//
// POSIX: pseudo-terminal pairs listed in PALMOGPS_PORTS, so COM1..COM4 are
// their slave sides and the far end is the master side. Windows (under
// Wine): the COM pairs of tests/support/wine-ptys.sh (PALMO_WINE_COM), COM1
// with COM2 and COM3 with COM4 as far ends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "serial/ComPort.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"
#include "support/Pump.h"
#include "toolkit/Messages.h"

#ifdef _WIN32
#include "serial/win32/WinPorts.h"
#else
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include "serial/posix/PosixDispatcher.h"
#include "serial/posix/PtyPair.h"
#endif

namespace cptest {

// The two ports the component side uses, and a number that leads nowhere.
constexpr uint16_t kPortA = 1;
constexpr uint16_t kPortB = 3;
#ifdef _WIN32
constexpr uint16_t kMissingPort = 12;
#else
constexpr uint16_t kMissingPort = 9;
#endif

using testsupport::PumpUntil;

// Serves messages for a while (to show that nothing arrives).
inline void PumpFor(uint32_t ms) {
    PumpUntil([] { return false; }, ms);
}

// The error code of what fn raises, negative as the dispatcher gives it (a
// system error raised as EInOutError by its number); 0 when it raises nothing.
inline int32_t CodeOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ERirException& e) {
        return e.ErrorCode() != 0 ? e.ErrorCode() : -1;
    } catch (const EInOutError& e) {
        return -e.ErrorCode();
    }
    return 0;
}

#ifdef _WIN32

#define REQUIRE_PORTS() REQUIRE_COM_PAIRS()

inline bool UnderWine() {
    return winports::UnderWine();
}

// Under Wine every COM number opens, and one with nothing behind it fails
// only when its queues are set up: a probe cannot tell it from a real port.
inline bool MissingPortsOpen() {
    return UnderWine();
}

// Each test starts with empty pairs, as new pseudo-terminal pairs are.
class TPorts {
  public:
    TPorts() {
        for (int n = 1; n <= 4; ++n) {
            winports::DropInput(n);
        }
    }
};

// The far end of component port n.
class TFar {
  public:
    explicit TFar(TPorts&, uint16_t n) : end_(n + 1) {}
    bool Ok() const { return end_.Ok(); }
    bool Write(const std::string& bytes) { return end_.Write(bytes); }
    std::string Read(size_t count, uint32_t timeoutMs = 5000) {
        return end_.Read(count, timeoutMs);
    }

  private:
    winports::TFarEnd end_;
};

// The bytes that wait at the device of component port n while no port
// component has it open.
inline uint32_t HeldAtDevice(TPorts&, uint16_t n) {
    return winports::HeldInput(n);
}

using TPlatformDispatcher = TRirWin32Dispatcher;

inline uint64_t OsThreadId() {
    return GetCurrentThreadId();
}

// The scheduling priority the system holds for a thread, in its own units.
inline std::optional<int> OsPriority(uint64_t tid) {
    HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(tid));
    if (!h) {
        return std::nullopt;
    }
    const int p = GetThreadPriority(h);
    CloseHandle(h);
    return p == THREAD_PRIORITY_ERROR_RETURN ? std::nullopt : std::optional<int>(p);
}

inline int OsPriorityFor(tk::TThreadPriority p) {
    return p == tk::TThreadPriority::Higher    ? THREAD_PRIORITY_ABOVE_NORMAL
           : p == tk::TThreadPriority::Highest ? THREAD_PRIORITY_HIGHEST
                                               : THREAD_PRIORITY_NORMAL;
}

// Whether the device behind a port takes every framing: real ports do; the
// pseudo-terminals behind them under Wine keep 8 data bits without parity.
inline bool DeviceHoldsEveryFraming() {
    return !UnderWine();
}

// Any thread may raise its own priority on Windows.
inline bool MayRaisePriority() {
    return true;
}

// The device's framing as seen past the device layer: a COM pair's far end
// cannot see it, so there is nothing (the device layer's own read of the
// driver state is checked instead).
struct TFraming {
    bool odd = false, stick = false, twoStop = false;
};
inline std::optional<TFraming> DeviceFraming(TPorts&, uint16_t) {
    return std::nullopt;
}

#else

#define REQUIRE_PORTS()

inline bool UnderWine() {
    return false;
}

inline bool MissingPortsOpen() {
    return false;
}

// Four pseudo-terminal pairs behind COM1..COM4 for the life of the object.
class TPorts {
  public:
    TPorts()
        : env_((pairs_[0].Path() + ":" + pairs_[1].Path() + ":" + pairs_[2].Path() + ":" +
                pairs_[3].Path())) {}
    ptytest::TPtyPair& Pair(uint16_t n) { return pairs_[n - 1]; }

  private:
    ptytest::TPtyPair pairs_[4];
    ptytest::TPortsEnv env_;
};

class TFar {
  public:
    TFar(TPorts& ports, uint16_t n) : pair_(ports.Pair(n)) {}
    bool Ok() const { return pair_.Ok(); }
    bool Write(const std::string& bytes) { return pair_.Write(bytes); }
    std::string Read(size_t count, uint32_t timeoutMs = 5000) {
        return pair_.Read(count, static_cast<int>(timeoutMs));
    }

  private:
    ptytest::TPtyPair& pair_;
};

// The bytes that wait at the device of component port n, read through the
// test's own descriptor of it.
inline uint32_t HeldAtDevice(TPorts& ports, uint16_t n) {
    int count = 0;
    return ioctl(ports.Pair(n).Slave(), FIONREAD, &count) == 0 ? static_cast<uint32_t>(count) : 0;
}

using TPlatformDispatcher = TRirPosixDispatcher;

inline uint64_t OsThreadId() {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

// The nice value the kernel holds for a thread.
inline std::optional<int> OsPriority(uint64_t tid) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return errno != 0 ? std::nullopt : std::optional<int>(nice);
}

// The ports are pseudo-terminals, which keep 8 data bits without parity.
inline bool DeviceHoldsEveryFraming() {
    return false;
}

inline int OsPriorityFor(tk::TThreadPriority p) {
    return p == tk::TThreadPriority::Higher ? -5 : p == tk::TThreadPriority::Highest ? -10 : 0;
}

// Whether this process may raise a thread's priority (lower its nice value):
// only with the privilege for it (root, CAP_SYS_NICE or RLIMIT_NICE).
inline bool MayRaisePriority() {
    bool may = false;
    std::thread probe([&] {
        may = setpriority(PRIO_PROCESS, static_cast<id_t>(OsThreadId()),
                          OsPriorityFor(tk::TThreadPriority::Higher)) == 0;
    });
    probe.join();
    return may;
}

// The framing the kernel holds for component port n's device, read through
// the test's own descriptor of it. A pseudo-terminal keeps 8 data bits
// without parity whatever is asked; the parity kind and stop bits stick.
struct TFraming {
    bool odd = false, stick = false, twoStop = false;
};
inline std::optional<TFraming> DeviceFraming(TPorts& ports, uint16_t n) {
    termios t{};
    if (tcgetattr(ports.Pair(n).Slave(), &t) != 0) {
        return std::nullopt;
    }
    return TFraming{(t.c_cflag & PARODD) != 0, (t.c_cflag & CMSPAR) != 0,
                    (t.c_cflag & CSTOPB) != 0};
}

#endif

// The platform's device layer with two stand-ins that a COM pair cannot
// provide: modem input lines (a pseudo-terminal has none) and, where the
// far end cannot make them, line errors. The device layer reports what the
// test sets as its own at its next look, so the dispatcher's threads, its
// triggers and the component meet them as they meet a real port's. It also
// notes the threads that run its device operations and what it was asked
// to apply.
template <typename Base>
class TStandInDevice : public Base {
  public:
    using Base::Base;
    ~TStandInDevice() override { this->Shutdown(); }

    std::atomic<uint8_t> lines{0};
    std::atomic<uint32_t> errors{0};
    std::atomic<uint64_t> readerTid{0}, dispatchTid{0}, writerTid{0};
    std::atomic<uint32_t> queueIn{0}, queueOut{0};
    std::atomic<bool> queuesOk{false};
    TLineState applied;  // the last state asked for (test thread only)

    uint8_t DeviceModemLines() override { return Base::DeviceModemLines() | lines.load(); }
    uint32_t DeviceStatus(TComStat& status) override {
        return Base::DeviceStatus(status) | errors.exchange(0);
    }
    bool DeviceSetQueues(uint32_t inSize, uint32_t outSize) override {
        queueIn = inSize;
        queueOut = outSize;
        queuesOk = Base::DeviceSetQueues(inSize, outSize);
        return queuesOk;
    }
    int32_t DeviceSetState(const TLineState& state) override {
        applied = state;
        return Base::DeviceSetState(state);
    }
    bool DeviceWaitEvent(uint32_t& mask, TDeviceWaitRecord* wait) override {
        readerTid = OsThreadId();
        return Base::DeviceWaitEvent(mask, wait);
    }
    int32_t DeviceRead(char* dest, uint32_t max) override {
        dispatchTid = OsThreadId();
        return Base::DeviceRead(dest, max);
    }
    int32_t DeviceWriteStretch(const char* data, uint32_t count) override {
        writerTid = OsThreadId();
        return Base::DeviceWriteStretch(data, count);
    }
};

using TStandIn = TStandInDevice<TPlatformDispatcher>;

// A port component whose dispatcher is the stand-in device layer.
class TStandInPort : public TRirComPort {
  public:
    using TRirComPort::TRirComPort;
    std::unique_ptr<TRirBaseDispatcher> MakeDispatcher() override {
        return std::make_unique<TStandIn>(this);
    }
    TStandIn& Device() { return static_cast<TStandIn&>(RequireDispatcher()); }
};

// A line error at component port n's device: a break, or else a byte 'x'
// received with a framing error.
#ifdef _WIN32
// A COM pair carries no line errors (Wine reports none at all): the device
// layer's status reports them.
inline bool LineErrorArrives(TPorts&, uint16_t, TFar&, TStandIn& device, bool lineBreak) {
    device.errors |= lineBreak ? leBreak : leFraming;
    return true;
}
#else
// The far end writes the marks that a serial driver puts into the stream
// ("\377\0\0" for a break, "\377\0" before a bad byte). The
// pseudo-terminal's own marking is turned off first, so that the marks pass
// as they are, and the device layer decodes them as it decodes a UART's.
inline bool LineErrorArrives(TPorts& ports, uint16_t n, TFar& far, TStandIn&, bool lineBreak) {
    termios t{};
    const int slave = ports.Pair(n).Slave();
    if (tcgetattr(slave, &t) != 0) {
        return false;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(PARMRK);
    return tcsetattr(slave, TCSANOW, &t) == 0 &&
           far.Write(lineBreak ? std::string("\377\0\0", 3) : std::string("\377\0x", 3));
}
#endif

// Whether a port in use refuses a second holder: Wine lets one in.
inline bool SecondHolderRefused() {
    return !UnderWine();
}

// A component that counts every message its window handles (DoTrigger runs
// for each, whether or not an event is assigned).
class TCountingPort : public TRirComPort {
  public:
    using TRirComPort::TRirComPort;
    int messages = 0;
    void DoTrigger(uint16_t msg, uint16_t handle, uint16_t data) override {
        ++messages;
        TRirComPort::DoTrigger(msg, handle, data);
    }
};

// A closed component set up for port n at 115200 8N1 with no prompt.
template <typename T = TRirComPort>
std::unique_ptr<T> MakePort(uint16_t n) {
    auto p = std::make_unique<T>(nullptr);
    p->SetComNumber(n);
    p->SetBaud(115200);
    p->SetPromptForPort(false);
    return p;
}

}  // namespace cptest
