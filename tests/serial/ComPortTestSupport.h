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

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/ComPort.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"
#include "support/Pump.h"
#include "toolkit/Messages.h"

#ifdef _WIN32
#include "serial/win32/WinPorts.h"
#else
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

// The error code of what fn raises; 0 when it raises nothing.
inline int32_t CodeOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ERirException& e) {
        return e.ErrorCode() != 0 ? e.ErrorCode() : -1;
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
