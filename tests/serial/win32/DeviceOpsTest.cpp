// The Win32 device operations on real COM ports (pseudo-terminal pairs).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "serial/diag/ErrorCodes.h"
#include "serial/win32/WinPorts.h"

namespace {

using namespace winports;

DWORD HandleCount() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    }
    return s;
}

TEST(Win32Device, OpeningAMissingPortFailsAndLeavesNothingOpen) {
    const DWORD before = HandleCount();
    {
        // A port number that no device answers to.
        TWin32Probe d(nullptr);
        SetLastError(0);
        EXPECT_EQ(d.DeviceOpen(ComName(300), 4096, 4096), -1);
        const DWORD err = GetLastError();
        EXPECT_TRUE(err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) << err;
        EXPECT_FALSE(d.HasOverlappedEvents());
        EXPECT_LT(d.DeviceHandle(), 0);

        // Through OpenPort the cause comes back as the negated system error.
        const int32_t r = OpenOn(d, 300);
        EXPECT_TRUE(r == ecFileNotFound || r == ecPathNotFound) << r;
        EXPECT_FALSE(d.IsOpen());
        EXPECT_FALSE(d.HasBuffers());
        EXPECT_FALSE(d.HasOverlappedEvents());
    }
    {
        // COM9 has no pseudo-terminal behind it. Windows refuses the open
        // itself; Wine opens a known port name and refuses the queue set-up.
        // Either way the open fails and undoes itself.
        TWin32Probe d(nullptr);
        const int32_t r = OpenOn(d, 9);
        EXPECT_LT(r, 0);
        EXPECT_FALSE(d.IsOpen());
        EXPECT_FALSE(d.HasBuffers());
        EXPECT_FALSE(d.HasOverlappedEvents());
    }
    if (before != 0) {  // Wine reports no count; Windows does
        EXPECT_EQ(HandleCount(), before);
    }
}

TEST(Win32Device, APortInUseCannotBeOpenedTwice) {
    REQUIRE_COM_PAIRS();
    TWin32Probe first(nullptr);
    ASSERT_EQ(OpenOn(first, 3), 0);
    TWin32Probe second(nullptr);
    SetLastError(0);
    const int32_t h = second.DeviceOpen(ComName(3), 4096, 4096);
    if (UnderWine() && h >= 0) {
        second.DeviceClose();
        GTEST_SKIP() << "Wine opens serial devices without exclusive access (no error 5)";
    }
    EXPECT_EQ(h, -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(second.HasOverlappedEvents());
}

TEST(Win32Device, ReadsStatusAndWritesAgainstAFarEnd) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 1, 256), 0);
    ASSERT_TRUE(d.HasOverlappedEvents());
    ASSERT_NE(d.DeviceBeginWaits(), nullptr);  // sets the immediate-return time-outs
    EXPECT_EQ(d.WaitMask(), 0x1F9u);
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Ok());

    // Nothing waiting: a read returns at once with nothing. (Wine's serial
    // driver lets an overlapped read wait for data despite the time-outs;
    // the dispatcher reads only what the driver reports waiting.)
    char buf[64];
    if (!UnderWine()) {
        EXPECT_EQ(d.DeviceRead(buf, sizeof(buf)), 0);
    }
    TComStat st;
    EXPECT_EQ(d.DeviceStatus(st), 0u);
    EXPECT_EQ(st.InQue, 0u);
    EXPECT_EQ(st.OutQue, 0u);

    // Bytes from the far end show in the driver's count and come back in order.
    ASSERT_TRUE(peer.Write("hello, port"));
    const uint32_t start = Now();
    while (d.DeviceStatus(st), st.InQue < 11 && Now() - start < 5000) {
        Sleep(1);
    }
    EXPECT_EQ(st.InQue, 11u);
    EXPECT_EQ(d.DeviceRead(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(d.DeviceRead(buf, sizeof(buf)), 6);
    EXPECT_EQ(std::string(buf, 6), ", port");
    d.DeviceStatus(st);
    EXPECT_EQ(st.InQue, 0u);

    // A stretch written straight to the device reaches the peer end.
    const std::string out = Pattern(300, 7);
    EXPECT_EQ(d.DeviceWriteStretch(out.data(), 300), 300);
    EXPECT_EQ(peer.Read(300), out);

    // Escapes report no failure; pseudo-terminals have no modem inputs.
    EXPECT_EQ(d.DeviceEscape(escClearDTR), 0);
    EXPECT_EQ(d.DeviceEscape(escSetRTS), 0);
    EXPECT_EQ(d.DeviceModemLines(), 0u);
    EXPECT_EQ(d.DeviceIdle(), 0);
}

TEST(Win32Device, OutputRingCountsFullEndAndWrap) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 1, 64), 0);
    TComStat st;

    // A block of exactly the ring size: head back at 0, full flag set, all 64 waiting.
    const std::string block = Pattern(64, 1);
    EXPECT_EQ(d.WriteBlock(block), 0);
    EXPECT_EQ(d.OutHeadAt(), 0u);
    EXPECT_EQ(d.OutTailAt(), 0u);
    EXPECT_TRUE(d.OutFullNow());
    d.DeviceStatus(st);
    EXPECT_EQ(st.OutQue, 64u);
    EXPECT_EQ(d.OutputCount(), 64u);
    EXPECT_EQ(d.WriteBlock("x", 1), ecOutputBufferTooSmall);
    EXPECT_EQ(d.OutRing(), block);

    // Head equal to tail with the flag clear: nothing waiting.
    d.SetOutput(0, 0, false);
    d.DeviceStatus(st);
    EXPECT_EQ(st.OutQue, 0u);

    // A block ending exactly at the ring's end leaves head at 0, not 64.
    d.SetOutput(40, 40, false);
    EXPECT_EQ(d.DeviceWrite(block.data(), 24), 24);
    EXPECT_EQ(d.OutHeadAt(), 0u);
    EXPECT_EQ(d.OutRing().substr(40), block.substr(0, 24));
    d.DeviceStatus(st);
    EXPECT_EQ(st.OutQue, 24u);

    // A wrapping block is copied in two parts; head ends at the second's length.
    d.SetOutput(50, 50, false);
    const std::string wrap = Pattern(30, 9);
    EXPECT_EQ(d.DeviceWrite(wrap.data(), 30), 30);
    EXPECT_EQ(d.OutHeadAt(), 16u);
    const std::string ring = d.OutRing();
    EXPECT_EQ(ring.substr(50), wrap.substr(0, 14));
    EXPECT_EQ(ring.substr(0, 16), wrap.substr(14));
    d.DeviceStatus(st);
    EXPECT_EQ(st.OutQue, 30u);  // tail above head: size - tail + head
}

TEST(Win32Device, OutputFlushWithoutAWriterPurgesTheInputSide) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 1, 128), 0);
    ASSERT_NE(d.DeviceBeginWaits(), nullptr);
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(peer.Write("to be purged"));
    TComStat st;
    const uint32_t start = Now();
    while (d.DeviceStatus(st), st.InQue < 12 && Now() - start < 5000) {
        Sleep(1);
    }
    ASSERT_EQ(st.InQue, 12u);
    ASSERT_EQ(d.WriteBlock("queued", 6), 0);

    // No writer thread: the output ring stays, the driver's input goes.
    EXPECT_EQ(d.DeviceFlush(flushOutput), 0);
    EXPECT_EQ(d.OutHeadAt(), 6u);
    d.DeviceStatus(st);
    EXPECT_EQ(st.InQue, 0u);
    EXPECT_EQ(st.OutQue, 6u);

    // The input flush does the same.
    ASSERT_TRUE(peer.Write("again"));
    const uint32_t again = Now();
    while (d.DeviceStatus(st), st.InQue < 5 && Now() - again < 5000) {
        Sleep(1);
    }
    EXPECT_EQ(d.DeviceFlush(flushInput), 0);
    d.DeviceStatus(st);
    EXPECT_EQ(st.InQue, 0u);
}

TEST(Win32Device, OutputFlushEmptiesTheRingEvenWhenTheWriterDoesNotAnswer) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 3, 128), 0);
    ASSERT_NE(d.DeviceBeginWaits(), nullptr);
    TFarEnd peer(4);
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(peer.Write("kept"));
    TComStat st;
    const uint32_t start = Now();
    while (d.DeviceStatus(st), st.InQue < 4 && Now() - start < 5000) {
        Sleep(1);
    }
    ASSERT_EQ(d.WriteBlock(std::string(128, 'q')), 0);
    ASSERT_TRUE(d.OutFullNow());

    // The flush asks the writer, waits its 5000 ms for an answer that never
    // comes, and empties the ring anyway; received bytes stay.
    d.InstallSilentWriter(true);
    const uint32_t flushStart = Now();
    EXPECT_EQ(d.DeviceFlush(flushOutput), 0);
    EXPECT_GE(Now() - flushStart, 4900u);
    d.InstallSilentWriter(false);
    EXPECT_FALSE(d.OutFullNow());
    EXPECT_EQ(d.OutHeadAt(), 0u);
    EXPECT_EQ(d.OutTailAt(), 0u);
    d.DeviceStatus(st);
    EXPECT_EQ(st.OutQue, 0u);
    EXPECT_EQ(st.InQue, 4u);
}

TEST(Win32Device, LineStateRoundTripsThroughTheDriver) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 5), 0);
    TLineState s;
    ASSERT_EQ(d.DeviceGetState(s), 0);
    EXPECT_EQ(s.BaudRate, 115200u);  // what OpenPort applied
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, lsParityNone);
    EXPECT_EQ(s.StopBits, lsOneStopBit);

    // Linux pseudo-terminals, which stand behind the COM ports under Wine,
    // keep 8 data bits without parity whatever is asked; the rest sticks.
    const bool sizeAndParity = !UnderWine();
    struct Case {
        uint32_t baud;
        uint8_t size, parity, stop;
        uint32_t flags;
    };
    const Case cases[] = {
        {9600, 7, lsParityEven, lsTwoStopBits, lsfBinary | lsfOutX | lsfInX},
        {4800, 8, lsParityOdd, lsOneStopBit, lsfBinary | lsfOutxCtsFlow},
        {19200, 8, lsParityNone, lsOneStopBit, lsfBinary},
    };
    for (const Case& c : cases) {
        TLineState w = s;
        w.BaudRate = c.baud;
        w.ByteSize = c.size;
        w.Parity = c.parity;
        w.StopBits = c.stop;
        w.Flags = (w.Flags & ~(lsfOutX | lsfInX | lsfOutxCtsFlow)) | c.flags;
        w.XonChar = 0x11;
        w.XoffChar = 0x13;
        ASSERT_EQ(d.DeviceSetState(w), 0) << c.baud;
        TLineState r;
        ASSERT_EQ(d.DeviceGetState(r), 0);
        EXPECT_EQ(r.BaudRate, c.baud);
        EXPECT_EQ(r.StopBits, c.stop);
        if (sizeAndParity) {
            EXPECT_EQ(r.ByteSize, c.size);
            EXPECT_EQ(r.Parity, c.parity);
        }
        EXPECT_EQ(r.Flags & (lsfOutX | lsfInX | lsfOutxCtsFlow), c.flags & ~lsfBinary) << c.baud;
        EXPECT_EQ(r.XonChar, 0x11);
        EXPECT_EQ(r.XoffChar, 0x13);
    }

    // The dispatcher's own line change goes the same way.
    EXPECT_EQ(d.ChangeLine(2400, lsParitySpace, 7, 1), 0);
    uint32_t baud = 0;
    uint16_t parity = 0;
    uint8_t bits = 0, stop = 0;
    d.QueryLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 2400u);
    EXPECT_EQ(stop, 1);
    ASSERT_EQ(d.DeviceGetState(s), 0);
    EXPECT_EQ(s.BaudRate, 2400u);
    if (sizeAndParity) {
        EXPECT_EQ(bits, 7);
        EXPECT_EQ(parity, lsParitySpace);
    }
}

TEST(Win32Device, ReaderWaitsCompleteOnArrivalAndOnCancel) {
    REQUIRE_COM_PAIRS();
    TWin32Probe d(nullptr);
    ASSERT_EQ(OpenOn(d, 3), 0);
    auto wait = d.DeviceBeginWaits();
    ASSERT_NE(wait, nullptr);
    TFarEnd peer(4);
    ASSERT_TRUE(peer.Ok());

    uint32_t mask = 0;
    if (!d.DeviceWaitEvent(mask, wait.get())) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        std::thread writer([&peer] {
            Sleep(20);
            peer.Write("!");
        });
        EXPECT_TRUE(d.DeviceFinishWait(mask, wait.get()));
        writer.join();
    }
    EXPECT_NE(mask & EV_RXCHAR, 0u);
    char c = 0;
    const uint32_t start = Now();
    while (d.DeviceRead(&c, 1) == 0 && Now() - start < 5000) {
        Sleep(1);
    }
    EXPECT_EQ(c, '!');

    // A pending wait ends when the mask is set to 0 from another thread.
    mask = 0;
    if (!d.DeviceWaitEvent(mask, wait.get())) {
        std::thread canceller([&d] {
            Sleep(20);
            d.DeviceCancelWait();
        });
        d.DeviceFinishWait(mask, wait.get());  // returns; its status is the system's
        canceller.join();
    }
    EXPECT_EQ(mask & EV_RXCHAR, 0u);

    // Once a stop has begun no new wait starts.
    d.SetKill(true);
    mask = 0x55;
    EXPECT_TRUE(d.DeviceWaitEvent(mask, wait.get()));
    EXPECT_EQ(mask, 0u);

    // A wait that began on a cleared mask (some systems let it pend) still
    // ends when the stop cancels it.
    d.SetKill(false);
    d.DeviceCancelWait();
    if (!d.DeviceWaitEvent(mask, wait.get()) && GetLastError() == ERROR_IO_PENDING) {
        std::thread stopper([&d] {
            Sleep(20);
            d.SetKill(true);
            d.DeviceCancelWait();
        });
        EXPECT_FALSE(d.DeviceFinishWait(mask, wait.get()));
        stopper.join();
    }
}

TEST(Win32Device, CloseReleasesTheDeviceAtOnce) {
    REQUIRE_COM_PAIRS();
    for (int round = 0; round < 3; ++round) {
        TWin32Probe d(nullptr);
        ASSERT_EQ(OpenOn(d, 5), 0) << round;
        EXPECT_TRUE(d.HasOverlappedEvents());
        EXPECT_EQ(d.DeviceClose(), 0);
        EXPECT_FALSE(d.HasOverlappedEvents());
        EXPECT_EQ(d.DeviceHandle(), -1);
        EXPECT_EQ(d.DeviceClose(), -1);  // nothing left to close
        // Reopened at once by another object.
        TWin32Probe again(nullptr);
        EXPECT_EQ(OpenOn(again, 5), 0) << round;
    }
}

TEST(Win32Device, TelephonyVariantAdoptsAHandleOrFailsWithout) {
    REQUIRE_COM_PAIRS();
    {
        TProbe<TRirTAPI32Dispatcher> d(nullptr, 0);
        SetLastError(0);
        EXPECT_EQ(d.DeviceOpen("", 4096, 4096), ecCommNotOpen);
        EXPECT_EQ(GetLastError(), 2007u);
        EXPECT_FALSE(d.HasOverlappedEvents());
        SetLastError(0);
        EXPECT_EQ(OpenOn(d, 1), ecCommNotOpen);
        EXPECT_EQ(GetLastError(), 2007u);
        EXPECT_FALSE(d.IsOpen());
        EXPECT_FALSE(d.HasOverlappedEvents());
    }
    HANDLE line = CreateFileA(ComName(5).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(line, INVALID_HANDLE_VALUE);
    const auto value = static_cast<int32_t>(reinterpret_cast<intptr_t>(line));
    TProbe<TRirTAPI32Dispatcher> d(nullptr, value);
    ASSERT_EQ(OpenOn(d, 5), 0);
    EXPECT_EQ(d.DeviceHandle(), value);
    ASSERT_NE(d.DeviceBeginWaits(), nullptr);
    TFarEnd peer(6);
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(peer.Write("tapi"));
    char buf[8];
    std::string got;
    const uint32_t start = Now();
    while (got.size() < 4 && Now() - start < 5000) {
        const int32_t n = d.DeviceRead(buf, sizeof(buf));
        got.append(buf, n > 0 ? n : 0);
        Sleep(1);
    }
    EXPECT_EQ(got, "tapi");
    d.ClosePort();  // closes the adopted handle too
    EXPECT_FALSE(d.IsOpen());
    // The handle is gone with the port: a second open has none to adopt.
    EXPECT_EQ(OpenOn(d, 5), ecCommNotOpen);
}

}  // namespace
