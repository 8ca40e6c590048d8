// What the Win32 device-layer tests share: the pseudo-terminal COM pairs that
// tests/support/wine-ptys.sh puts behind COM1..COM8 (COM1-COM2, COM3-COM4,
// COM5-COM6, COM7-COM8), a far end opened with plain Win32 calls, and a
// dispatcher whose worker threads are left out for the device-operation tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "serial/dispatch/DispatcherThreads.h"
#include "serial/win32/Win32Dispatcher.h"

namespace winports {

inline bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The folder of the pairs (a Z: path), or empty when the wrapper made none.
inline std::string PairFolder() {
    const char* dir = std::getenv("PALMO_WINE_COM");
    return dir ? dir : "";
}

#define REQUIRE_COM_PAIRS()                                                                      \
    if (winports::PairFolder().empty()) {                                                        \
        GTEST_SKIP() << "no pseudo-terminal COM pairs (run through tests/support/wine-ptys.sh)"; \
    }

inline std::string ComName(int n) {
    return "\\\\.\\COM" + std::to_string(n);
}

// Asks the wrapper to take a pair away; waits until the far end notices.
inline void MakePairVanish(int n) {
    std::ofstream(PairFolder() + "\\vanish-" + std::to_string(n)).put('x');
}

// Drops what waits to be read at end n: the pairs live as long as the test
// program, and a test must not see bytes an earlier one left behind.
inline void DropInput(int n) {
    HANDLE h = CreateFileA(ComName(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
        CloseHandle(h);
    }
}

// The bytes that wait to be read at end n (none when it cannot be opened).
inline uint32_t HeldInput(int n) {
    HANDLE h = CreateFileA(ComName(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    const bool ok = ClearCommError(h, &errors, &stat);
    CloseHandle(h);
    return ok ? stat.cbInQue : 0;
}

inline uint32_t Now() {
    return GetTickCount();
}

// The far end of a pair: a plain handle whose reads return at once.
class TFarEnd {
  public:
    explicit TFarEnd(int n) {
        h_ = CreateFileA(ComName(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) {
            return;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        GetCommState(h_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fOutX = dcb.fInX = FALSE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
        SetCommState(h_, &dcb);
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        SetCommTimeouts(h_, &t);
        Drain();
    }
    ~TFarEnd() { Close(); }
    TFarEnd(const TFarEnd&) = delete;
    TFarEnd& operator=(const TFarEnd&) = delete;

    bool Ok() const { return h_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
            h_ = INVALID_HANDLE_VALUE;
        }
    }
    // Writes everything; false when the device refused.
    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 4096));
            if (!WriteFile(h_, bytes.data() + done, chunk, &n, nullptr)) {
                return false;
            }
            done += n;
        }
        return true;
    }
    // What has arrived, without waiting.
    std::string ReadNow() {
        char buf[4096];
        DWORD n = 0;
        if (!ReadFile(h_, buf, sizeof(buf), &n, nullptr)) {
            return {};
        }
        return std::string(buf, n);
    }
    // Reads until count bytes came or timeoutMs passed without any byte.
    std::string Read(size_t count, uint32_t timeoutMs = 5000) {
        std::string got;
        uint32_t last = Now();
        while (got.size() < count && Now() - last < timeoutMs) {
            const std::string part = ReadNow();
            if (part.empty()) {
                Sleep(1);
                continue;
            }
            got += part;
            last = Now();
        }
        return got;
    }
    // Throws away whatever an earlier test left in the pair.
    void Drain() {
        PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
        uint32_t quietSince = Now();
        while (Now() - quietSince < 100) {
            if (!ReadNow().empty()) {
                quietSince = Now();
            } else {
                Sleep(5);
            }
        }
    }
    HANDLE Handle() const { return h_; }

  private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A dispatcher layer with its device operations reachable and, for the
// device-operation tests, without worker threads: OpenPort then only opens
// and sets up the device, and the test prepares the reader's time-outs.
template <typename Base>
class TProbe : public Base {
  public:
    using Base::Base;
    ~TProbe() override { this->Shutdown(); }

    bool withThreads = false;

    void StartThreads() override {
        if (withThreads) {
            Base::StartThreads();
        }
    }
    void StopThreads() override {
        if (withThreads) {
            Base::StopThreads();
        }
    }

    uint32_t OutHeadAt() {
        tk::TLockGuard out(this->OutputLock);
        return this->OutHead;
    }
    uint32_t OutTailAt() {
        tk::TLockGuard out(this->OutputLock);
        return this->OutTail;
    }
    bool OutFullNow() {
        tk::TLockGuard out(this->OutputLock);
        return this->OutFull;
    }
    void SetOutput(uint32_t head, uint32_t tail, bool full) {
        tk::TLockGuard out(this->OutputLock);
        this->OutHead = head;
        this->OutTail = tail;
        this->OutFull = full;
    }
    std::string OutRing() {
        tk::TLockGuard out(this->OutputLock);
        return std::string(this->OutBuf.get(), this->OutputSize_);
    }
    void* Device() const { return this->NativeHandle(); }
    void SetKill(bool kill) { this->KillThreads = kill; }

    // A writer thread that exists but never answers (its body never runs).
    struct TSilentWriter final : TRirDispatcherThread {
        using TRirDispatcherThread::TRirDispatcherThread;
        void Execute() override {}
    };
    void InstallSilentWriter(bool on) {
        tk::TLockGuard g(this->GeneralLock);
        if (on) {
            this->WriterThread = std::make_unique<TSilentWriter>(*this);
        } else {
            this->WriterThread.reset();
        }
    }
};

using TWin32Probe = TProbe<TRirWin32Dispatcher>;

// Opens a dispatcher on COMn at 115200 8N1 with the given queue sizes.
inline int32_t OpenOn(TRirBaseDispatcher& d, int n, uint32_t outSize = 4096) {
    return d.OpenPort(ComName(n), 115200, 0, 8, 1, 4096, outSize, opDtrOn | opRtsOn);
}

}  // namespace winports
