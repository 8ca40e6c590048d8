// The POSIX device layer's operations on real pseudo-terminals: the test
// holds the far (master) end, the dispatcher opens the slave as COM1.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/ioctl.h>

#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "PtyPair.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/posix/PosixDispatcher.h"
#include "toolkit/OsInfo.h"

namespace {

using namespace ptytest;
using Clock = std::chrono::steady_clock;

constexpr const char* kCom1 = "\\\\.\\COM1";
constexpr const char* kCom2 = "\\\\.\\COM2";

long ThreadId() {
    return syscall(SYS_gettid);
}

// A dispatcher with the device operations open to the test. An output
// flush waits a minute for the writer's answer: one that comes in time came
// from the writer, not from the end of the wait, however slow the machine.
class TDevice : public TRirPosixDispatcher {
  public:
    static constexpr uint32_t kFlushWaitMs = 60000;
    TDevice() : TRirPosixDispatcher(nullptr) { FlushAckWaitMs = kFlushWaitMs; }
    void SetKill(bool on) { KillThreads = on; }
    // The reader's wait: a look, then a wait when the look found nothing.
    bool WaitDeviceEvent(uint32_t& mask) {
        return DeviceWaitEvent(mask, nullptr) || DeviceFinishWait(mask, nullptr);
    }
    // The thread that writes stretches to the device.
    std::atomic<long> writerTid{0};
    int32_t DeviceWriteStretch(const char* data, uint32_t count) override {
        writerTid = ThreadId();
        return TRirPosixDispatcher::DeviceWriteStretch(data, count);
    }
};

// Whether thread tid of this process sleeps in the kernel (state S), as in
// a wait for a device or an event.
bool Sleeping(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t name = line.rfind(')');
    return name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S';
}

// Polls cond every millisecond; false when it still fails after ms.
template <typename F>
bool Eventually(F cond, double ms = 60000) {
    const auto start = Clock::now();
    while (!cond()) {
        if (ElapsedMs(start) > ms) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The bytes the device holds for the dispatcher to read.
uint32_t Held(TDevice& d) {
    TComStat st;
    d.DeviceStatus(st);
    return st.InQue;
}

TEST(PosixDevice, OpenMissingAndHeldDevices) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path() + ":/nonexistent/ttyUSB9");

    {
        TDevice d;
        const int32_t h = d.DeviceOpen(kCom1, 4096, 2048);
        ASSERT_GE(h, 0);
        EXPECT_EQ(d.DevicePath(), pty.Path());
        EXPECT_FALSE(d.HasModemLines());
        // The device is in raw mode for binary data.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(d.DeviceClose(), 0);
        EXPECT_EQ(d.DeviceClose(), -1);  // nothing left to close
    }

    {
        // Missing: a list entry that does not exist, a number past the list,
        // an empty list.
        TDevice d;
        EXPECT_EQ(d.DeviceOpen(kCom2, 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 2u);
        EXPECT_EQ(d.DeviceOpen("\\\\.\\COM3", 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 2u);
        EXPECT_EQ(d.OpenPort(kCom2, 4800, 0, 8, 1, 4096, 2048, 0), ecFileNotFound);
        EXPECT_FALSE(d.IsOpen());
        TPortsEnv none("");
        EXPECT_EQ(d.OpenPort(kCom1, 4800, 0, 8, 1, 4096, 2048, 0), ecFileNotFound);
        // Not a terminal.
        TPortsEnv file("/dev/null");
        EXPECT_EQ(d.DeviceOpen(kCom1, 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 1u);
    }

    {
        // Held: by this layer itself, by another program's advisory lock, by
        // another program's exclusive mode.
        TDevice a;
        TDevice b;
        ASSERT_GE(a.DeviceOpen(kCom1, 4096, 2048), 0);
        EXPECT_EQ(b.DeviceOpen(kCom1, 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 5u);
        EXPECT_EQ(b.OpenPort(kCom1, 4800, 0, 8, 1, 4096, 2048, 0), ecAccessDenied);
        EXPECT_EQ(a.DeviceClose(), 0);
        ASSERT_GE(b.DeviceOpen(kCom1, 4096, 2048), 0);
        EXPECT_EQ(b.DeviceClose(), 0);

        const int other = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(other, 0);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(a.DeviceOpen(kCom1, 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 5u);
        flock(other, LOCK_UN);
        ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
        EXPECT_EQ(a.DeviceOpen(kCom1, 4096, 2048), -1);
        EXPECT_EQ(tk::LastSystemError(), 5u);
        ioctl(other, TIOCNXCL);
        close(other);
        ASSERT_GE(a.DeviceOpen(kCom1, 4096, 2048), 0);
        EXPECT_EQ(a.DeviceClose(), 0);
    }
}

TEST(PosixDevice, LineSettingsRoundTrip) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TDevice d;
    ASSERT_GE(d.DeviceOpen(kCom1, 4096, 2048), 0);

    TLineState s;
    ASSERT_EQ(d.DeviceGetState(s), 0);
    // Standard rates, an arbitrary one, a legacy code.
    for (uint32_t baud : {4800u, 115200u, 123457u, 300u}) {
        s.BaudRate = baud;
        ASSERT_EQ(d.DeviceSetState(s), 0) << baud;
        TLineState back;
        ASSERT_EQ(d.DeviceGetState(back), 0);
        EXPECT_EQ(back.BaudRate, baud);
    }
    s.BaudRate = 0xFF16;  // 9600
    ASSERT_EQ(d.DeviceSetState(s), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    TLineState back;
    ASSERT_EQ(d.DeviceGetState(back), 0);
    EXPECT_EQ(back.BaudRate, 0xFF16u);

    // Stop bits, flow control and the fields termios cannot hold.
    s.BaudRate = 4800;
    s.StopBits = lsTwoStopBits;
    s.Flags = lsfBinary | lsfOutX | lsfInX | lsfRtsControlHandshake | lsfDtrControlHandshake |
              lsfOutxDsrFlow;
    s.XonChar = 0x21;
    s.XoffChar = 0x23;
    s.XonLim = 100;
    s.XoffLim = 200;
    s.EvtChar = '\n';
    ASSERT_EQ(d.DeviceSetState(s), 0);
    ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x21);
    ASSERT_EQ(d.DeviceGetState(back), 0);
    EXPECT_EQ(back, s);

    // Mark parity reaches the device; a pseudo-terminal itself always
    // carries 8 bits without parity, and the layer reports what it holds.
    s.Flags = lsfBinary;
    s.Parity = lsParityMark;
    ASSERT_EQ(d.DeviceSetState(s), 0);
    ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
    EXPECT_NE(t.c_cflag & CMSPAR, 0u);
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    ASSERT_EQ(d.DeviceGetState(back), 0);
    EXPECT_EQ(back.ByteSize, (t.c_cflag & CSIZE) == CS8 ? 8 : back.ByteSize);

    // What no line can do is refused with the Win32 "parameter is incorrect".
    TLineState bad = s;
    bad.BaudRate = 0;
    EXPECT_EQ(d.DeviceSetState(bad), -87);
    bad = s;
    bad.ByteSize = 5;
    bad.StopBits = lsTwoStopBits;
    EXPECT_EQ(d.DeviceSetState(bad), -87);
    EXPECT_EQ(tk::LastSystemError(), 87u);

    // A device without modem lines: escapes do nothing and succeed, no lines.
    EXPECT_EQ(d.DeviceEscape(escSetDTR), 0);
    EXPECT_EQ(d.DeviceEscape(escClearRTS), 0);
    EXPECT_EQ(d.DeviceEscape(escGetBaseAddress), 0);
    EXPECT_EQ(d.DeviceEscape(99), -1);
    EXPECT_EQ(d.DeviceModemLines(), 0);
    EXPECT_EQ(d.DeviceClose(), 0);
    EXPECT_EQ(d.DeviceGetState(back), -1);
}

TEST(PosixDevice, BytesBothWaysAndStatus) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TDevice d;
    ASSERT_GE(d.DeviceOpen(kCom1, 4096, 2048), 0);

    // Every byte value arrives unchanged, 0xFF included (the driver doubles
    // it in the marked stream).
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    ASSERT_TRUE(pty.Write(all + all));
    std::string got;
    char buf[300];
    const auto start = Clock::now();
    while (got.size() < 512 && ElapsedMs(start) < 60000) {
        TComStat st;
        d.DeviceStatus(st);
        if (st.InQue == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const int32_t n = d.DeviceRead(buf, sizeof buf);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, static_cast<int32_t>(sizeof buf));
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, all + all);
    TComStat st;
    EXPECT_EQ(d.DeviceStatus(st), 0u);
    EXPECT_EQ(st.InQue, 0u);
    EXPECT_EQ(d.DeviceRead(buf, sizeof buf), 0);

    // A stretch goes out whole.
    const std::string out = "$GPGGA,1*00\r\n" + all;
    EXPECT_EQ(d.DeviceWriteStretch(out.data(), static_cast<uint32_t>(out.size())),
              static_cast<int32_t>(out.size()));
    EXPECT_EQ(pty.Read(out.size()), out);

    // An input purge drops what the driver holds.
    ASSERT_TRUE(pty.Write("stale"));
    ASSERT_TRUE(Eventually([&] { return Held(d) == 5; }));
    EXPECT_EQ(d.DeviceFlush(flushInput), 0);
    EXPECT_EQ(d.DeviceRead(buf, sizeof buf), 0);

    // An output purge without a writer thread purges the output side only:
    // received bytes stay. (A pseudo-terminal hands written bytes over at
    // once, so there is no queued output here to see go.)
    ASSERT_TRUE(pty.Write("kept"));
    ASSERT_TRUE(Eventually([&] { return Held(d) == 4; }));
    EXPECT_EQ(d.DeviceFlush(flushOutput), 0);
    EXPECT_EQ(d.DeviceRead(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "kept");
    EXPECT_EQ(d.DeviceClose(), 0);
}

TEST(PosixDevice, EventWaitWokenByDataAndByCancel) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TDevice d;
    ASSERT_GE(d.DeviceOpen(kCom1, 4096, 2048), 0);

    // Data arriving later ends the wait: the far end writes once this
    // thread sleeps in it, and the wait ends after the write.
    uint32_t mask = 0xFFFF;
    const long self = ThreadId();
    std::atomic<bool> wrote{false};
    std::thread far([&] {
        Eventually([&] { return Sleeping(self); });
        wrote = true;
        pty.Write("$");
    });
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    EXPECT_TRUE(wrote.load());
    EXPECT_EQ(mask, evRxChar);
    far.join();

    // Data nobody has taken is not reported again: the wait sleeps; a
    // cancel ends it.
    std::atomic<bool> done{false};
    std::atomic<long> waiterId{0};
    std::thread waiter([&] {
        waiterId = ThreadId();
        uint32_t m = 0xFFFF;
        EXPECT_TRUE(d.WaitDeviceEvent(m));
        EXPECT_EQ(m, 0u);
        done = true;
    });
    EXPECT_TRUE(Eventually([&] { return waiterId != 0 && Sleeping(waiterId); }));
    EXPECT_FALSE(done.load());
    d.DeviceCancelWait();
    EXPECT_TRUE(Eventually([&] { return done.load(); })) << "the cancel did not end the wait";
    waiter.join();

    // Once the data has been read, new bytes are news again.
    char buf[16];
    EXPECT_EQ(d.DeviceRead(buf, sizeof buf), 1);
    ASSERT_TRUE(pty.Write("G"));
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    EXPECT_EQ(mask, evRxChar);

    // A cancel before the wait is not lost; with the kill flag the wait
    // returns at once.
    d.DeviceCancelWait();
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    EXPECT_EQ(mask, 0u);
    d.SetKill(true);
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    EXPECT_EQ(mask, 0u);
    d.SetKill(false);
    EXPECT_EQ(d.DeviceClose(), 0);
    EXPECT_FALSE(d.WaitDeviceEvent(mask));
}

TEST(PosixDevice, FarEndClosingLeavesThePortQuiet) {
    TPtyPair pty(false);
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TDevice d;
    ASSERT_GE(d.DeviceOpen(kCom1, 4096, 2048), 0);

    // The far end goes while a wait sleeps: the wait ends with the loss.
    const long self = ThreadId();
    std::thread far([&] {
        Eventually([&] { return Sleeping(self); });
        pty.CloseMaster();
    });
    uint32_t mask = 0;
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    far.join();
    EXPECT_EQ(mask, evErr);
    EXPECT_TRUE(d.DeviceLost());
    TComStat st;
    EXPECT_EQ(d.DeviceStatus(st), kDeviceLostError);
    EXPECT_EQ(d.DeviceStatus(st), 0u);  // reported once

    // Reads find nothing, writes are dropped at once.
    char buf[16];
    EXPECT_EQ(d.DeviceRead(buf, sizeof buf), 0);
    EXPECT_EQ(d.DeviceWriteStretch("abc", 3), 3);

    // A wait on the lost device neither returns nor burns the processor:
    // it sleeps, and over a second of watching it used next to no time.
    std::atomic<bool> done{false};
    std::atomic<long> waiterId{0};
    const double cpuBefore = ProcessCpuMs();
    std::thread waiter([&] {
        waiterId = ThreadId();
        uint32_t m = 0xFFFF;
        EXPECT_TRUE(d.WaitDeviceEvent(m));
        EXPECT_EQ(m, 0u);
        done = true;
    });
    EXPECT_TRUE(Eventually([&] { return waiterId != 0 && Sleeping(waiterId); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the watch, not a wait
    EXPECT_FALSE(done.load());
    const double cpu = ProcessCpuMs() - cpuBefore;
    EXPECT_LT(cpu, 50.0) << "the wait spins";
    d.DeviceCancelWait();
    waiter.join();
    EXPECT_EQ(d.DeviceClose(), 0);

    // A device that is back opens again.
    TPtyPair again;
    ASSERT_TRUE(again.Ok());
    TPortsEnv env2(again.Path());
    ASSERT_GE(d.DeviceOpen(kCom1, 4096, 2048), 0);
    EXPECT_FALSE(d.DeviceLost());
    ASSERT_TRUE(again.Write("x"));
    ASSERT_TRUE(d.WaitDeviceEvent(mask));
    EXPECT_EQ(mask, evRxChar);
    EXPECT_EQ(d.DeviceClose(), 0);
}

TEST(PosixDevice, WriterWaitingForRoomEndsWithAFlushAndTheClose) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TDevice d;
    constexpr uint32_t kRing = 65536;
    ASSERT_EQ(d.OpenPort(kCom1, 115200, 0, 8, 1, 4096, kRing, opDtrOn | opRtsOn), 0);
    ASSERT_TRUE(d.ThreadsRunning());

    // The far end reads nothing: the driver's queues fill, the writer waits
    // for room inside a stretch and the output ring fills up behind it.
    const std::string block(4096, 'z');
    // Fills the ring until it is full and the writer sleeps with a stretch
    // of it: the writer is stuck. (Whether the device would take more is no
    // sign: a pseudo-terminal can answer a poll with room that it has not
    // woken its waiting writer for.)
    auto fill = [&] {
        return Eventually([&] {
            const uint32_t room = d.OutputRoom();
            if (room != 0) {
                EXPECT_EQ(d.WriteBlock(block.data(), std::min<uint32_t>(room, 4096)), 0);
                return false;
            }
            const long writer = d.writerTid;
            return writer != 0 && Sleeping(writer) && d.OutputRoom() == 0;
        });
    };
    ASSERT_TRUE(fill()) << "the writer does not wait for room";

    // An output flush ends the waiting write: the writer answers (the flush
    // would otherwise wait out its minute for it) and the ring is empty.
    auto start = Clock::now();
    EXPECT_EQ(d.ClearOutput(), 0);
    EXPECT_LT(ElapsedMs(start), TDevice::kFlushWaitMs);
    EXPECT_EQ(d.OutputCount(), 0u);

    // The writer still works after the flush: the driver's queue is still
    // full, so new output stays waiting for room again.
    ASSERT_TRUE(fill());

    // The close stops the writer in its wait as well.
    start = Clock::now();
    d.ClosePort();
    EXPECT_LT(ElapsedMs(start), TDevice::kFlushWaitMs);
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_FALSE(d.IsOpen());
}

TEST(PosixDevice, OpenCloseCyclesLeakNothing) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    {
        // The first dispatcher makes the process-wide objects of the library.
        TDevice warm;
        ASSERT_EQ(warm.OpenPort(kCom1, 115200, 0, 8, 1, 4096, 2048, opDtrOn | opRtsOn), 0);
        warm.ClosePort();
    }
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        TDevice d;
        ASSERT_EQ(d.OpenPort(kCom1, 115200, 0, 8, 1, 4096, 2048, opDtrOn | opRtsOn), 0) << i;
        ASSERT_TRUE(d.IsOpen());
        ASSERT_TRUE(pty.Write("x"));
        d.ClosePort();
        ASSERT_FALSE(d.IsOpen());
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
