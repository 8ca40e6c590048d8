// The POSIX device layer: a dispatcher that drives a serial terminal device
// through termios, with the same contract for every device operation as the
// Win32 layer.
//
// Device names: "\\.\COMn" leads to a path as PortNames.h describes
// (PALMOGPS_PORTS, else the machine's serial devices); a name starting with
// "/" is a path. The device is opened non-blocking for exclusive use: an
// advisory lock (flock) plus the terminal's exclusive mode (TIOCEXCL); a
// device that another program holds reports Win32 error 5. Failures set the
// calling thread's last system error to Win32 numbers (PosixErrors.h).
//
// The reader's device wait is a poll() on the device and a wake-up
// descriptor (DeviceCancelWait ends it at once); the writer's wait for room
// polls the device together with a flush descriptor that an output flush and
// the stop signal. A device that goes away (its far end closes, a USB
// receiver is unplugged) leaves the port open and quiet: no thread spins, the
// loss is reported once as the line-error bit kDeviceLostError, and the
// reader waits on its wake-up descriptor only, looking at the device again
// once a second. The dispatcher keeps only the five classic line errors, so
// to the application the loss is the receiver's silence (its loss timer),
// as with a receiver that stops sending; DeviceLost() tells the cause.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial/dispatch/Dispatcher.h"
#include "serial/posix/MarkDecoder.h"

// Win32's CE_IOE ("an I/O error occurred while communicating with the
// device"): reported by DeviceStatus once when the device has gone away.
constexpr uint32_t kDeviceLostError = 0x0400;

// Win32 communication event bits of the reader's event mask.
constexpr uint32_t evRxChar = 0x0001;
constexpr uint32_t evCTS = 0x0008;
constexpr uint32_t evDSR = 0x0010;
constexpr uint32_t evRLSD = 0x0020;
constexpr uint32_t evBreak = 0x0040;
constexpr uint32_t evErr = 0x0080;
constexpr uint32_t evRing = 0x0100;

class TRirPosixDispatcher : public TRirBaseDispatcher {
  public:
    explicit TRirPosixDispatcher(TRirComPort* owner);
    ~TRirPosixDispatcher() override;

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
    void StopThreads() override;
    int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;
    int32_t DeviceClose() override;
    int32_t DeviceIdle() override;
    uint8_t DeviceModemLines() override;
    // Access denied by the device node's permissions (not another program's
    // hold), and a path that is no serial port, each with a text naming the
    // path (and the node's group).
    int32_t DeviceOpenProblem(std::string& text) const override;

    // ---- The reader's and the writer's device hooks ----
    // The reader's wait state lives in this dispatcher (one reader each;
    // DeviceOpen resets it), so the base's plain wait record serves.
    // DeviceWaitEvent looks at the device without waiting: true with the
    // events (ev* bits) when there are any, or with mask 0 when the wait was
    // cancelled. DeviceFinishWait then waits until the device has an event or
    // the wait is cancelled (mask 0); false when the device is closed while
    // the threads are not being stopped, so the reader must end.
    bool DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord* wait) override;
    // Ends a pending device wait at once, from any thread.
    void DeviceCancelWait() override;
    // Writes one stretch of the output ring completely. The count, also when
    // the device refused the bytes (they are dropped), or kWriteFlushed when
    // an output flush or the stop ended the wait for room.
    int32_t DeviceWriteStretch(const char* data, uint32_t count) override;

    // ---- State ----
    // The path the last DeviceOpen opened.
    std::string DevicePath() const;
    // Whether the device has gone away since it was opened.
    bool DeviceLost() const { return lost_.load(); }
    // Whether the device has modem-control lines (a pseudo-terminal has none).
    bool HasModemLines() const { return hasModemLines_.load(); }

  protected:
    // How long an output flush waits for the writer to let go of a write
    // that waits for room, in milliseconds.
    uint32_t FlushAckWaitMs = 5000;

  private:
    // The reader's view of the device between two waits.
    struct TWaitState {
        uint32_t lastInQue = 0;     // driver count when data was last reported
        uint64_t lastReadGen = 0;   // reads done by then
        bool stuck = false;         // data waits that nobody takes: look slowly
        bool lostReported = false;  // the loss has gone out as evErr
        uint8_t lines = 0;          // modem lines at the last look
        uint32_t icount[5] = {};    // frame, parity, break, overrun, buffer overrun
    };

    bool WaitForEvent(uint32_t& mask, bool block);
    void MarkLost();
    void ReadErrorCounters(uint32_t counts[5], bool& ok);
    static uint32_t CounterErrors(const uint32_t before[5], const uint32_t after[5]);
    void Signal(int eventFd);
    static void Drain(int eventFd);

    // Device descriptor and everything done on it: every call on fd_ is made
    // holding ioLock_, which is taken last (after any dispatcher lock), so a
    // close can never pull the descriptor from under a read or write. The
    // blocking polls run without it.
    mutable std::mutex ioLock_;
    int fd_ = -1;
    std::string path_;
    int32_t openProblem_ = 0;  // DeviceOpenProblem of the last DeviceOpen
    std::string openProblemText_;
    TLineState shadow_;               // the last record applied
    posixdev::TMarkDecoder decoder_;  // dispatch thread, under ioLock_
    uint32_t statusCount_[5] = {};    // error counters at the last DeviceStatus
    std::atomic<bool> hasModemLines_{false};
    std::atomic<bool> hasCounters_{false};

    int wakeFd_ = -1;   // eventfd: ends the reader's poll
    int flushFd_ = -1;  // eventfd: ends the writer's poll for room

    std::atomic<uint32_t> pendingErrors_{0};
    std::atomic<uint64_t> readGen_{0};
    std::atomic<bool> lost_{false};
    TWaitState wait_;  // reader thread
};
