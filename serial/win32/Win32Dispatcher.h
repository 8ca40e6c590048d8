// The Win32 device layer: a dispatcher that drives a communications handle
// opened for overlapped I/O, and its telephony variant that drives a handle
// opened elsewhere.
//
// The handle, the two overlapped events and the writer's overlapped record are
// kept as opaque pointers here so that users of this header need no Windows
// headers; the bodies in Win32Dispatcher.cpp make the system calls. Starting
// and stopping the worker threads is the dispatcher's own (StartThreads,
// StopThreads); this layer gives them their device hooks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial/dispatch/DeviceWait.h"
#include "serial/dispatch/Dispatcher.h"

class TRirWin32Dispatcher : public TRirBaseDispatcher {
  public:
    explicit TRirWin32Dispatcher(TRirComPort* owner);
    ~TRirWin32Dispatcher() override;

    // ---- The device operations, in slot order ----
    int32_t DeviceEscape(int32_t function) override;
    int32_t DeviceFlush(int32_t side) override;
    uint32_t DeviceStatus(TComStat& status) override;
    void DeviceReadFailed(int32_t code) override;
    int32_t DeviceGetState(TLineState& state) override;
    int32_t DeviceRead(char* dest, uint32_t max) override;
    int32_t DeviceSetState(const TLineState& state) override;
    int32_t DeviceWrite(const char* src, uint32_t count) override;
    bool DeviceWaitEvent(uint32_t& mask, TDeviceWaitRecord* wait) override;
    bool DeviceSetQueues(uint32_t inSize, uint32_t outSize) override;
    int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;
    int32_t DeviceClose() override;
    int32_t DeviceIdle() override;
    uint8_t DeviceModemLines() override;

    // ---- The worker threads' device hooks ----
    std::unique_ptr<TDeviceWaitRecord> DeviceBeginWaits() override;
    bool DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord* wait) override;
    void DeviceCancelWait() override;
    int32_t DeviceWriteStretch(const char* data, uint32_t count) override;

    // The event mask the reader's waits use (0 until DeviceBeginWaits).
    uint32_t WaitMask() const { return waitMask_.load(); }
    // Whether the read and write overlapped events exist.
    bool HasOverlappedEvents() {
        tk::TLockGuard in(InputLock);
        return readEvent_ != nullptr || writeEvent_ != nullptr;
    }

  protected:
    // The device handle as the system knows it (nullptr when closed).
    void* NativeHandle() const;
    // Closes the read and write overlapped events that exist.
    void CloseOverlappedEvents();
    // Creates both overlapped events; false (and none left) when either fails.
    bool CreateOverlappedEvents();

    // The moment the reader's wait saw characters come, when no read has
    // taken them since; else the clocks now.
    TArrivalTime ReadArrivalTime() override;

    // DeviceRead's event and the write record's event; changed only while
    // no read can run (open) or under InputLock (close).
    void* readEvent_ = nullptr;
    void* writeEvent_ = nullptr;

  private:
    // Whether the writer thread exists (an output flush then goes through it).
    bool WriterRunning();
    // Reader thread: a completed wait with EV_RXCHAR notes the moment.
    void NoteWaitArrival(uint32_t mask);
    struct TOverlapped;
    struct TWaitRecord;
    std::unique_ptr<TOverlapped> readRec_;   // DeviceRead's record
    std::unique_ptr<TOverlapped> writeRec_;  // the writer thread's record
    std::atomic<uint32_t> waitMask_{0};
    std::mutex waitMutex_;
    TWaitRecord* activeWait_ = nullptr;  // the reader's record while it lives (waitMutex_)
    TArrivalTime waitArrival_;           // the last wait that saw characters (waitMutex_)
    uint64_t lastReadUs_ = 0;            // the last read that brought bytes (InputLock)
};

// A dispatcher over a communications handle that a telephony line opened: its
// open only prepares the overlapped events and adopts that handle.
class TRirTAPI32Dispatcher : public TRirWin32Dispatcher {
  public:
    // handle: the handle value the line gave (0: none).
    TRirTAPI32Dispatcher(TRirComPort* owner, int32_t handle);

    // Hands the line's handle over to the dispatcher, which closes it with
    // the port; a later open without a new handle fails as one without any.
    int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;

  private:
    int32_t lineHandle_;
};
