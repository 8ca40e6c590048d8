// Line settings, modem lines, line errors and flow control.
#include <gtest/gtest.h>

#include <string>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/TestDevice.h"

namespace {

class Line : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(d.OpenPort("\\\\.\\COM1", 4800, lsParityNone, 8, 1, 4096, 256, opDtrOn | opRtsOn),
                  0);
    }
    TLineState Last() { return d.Applied().back(); }
    TTestDispatcher d;
};

TEST(LineHelpers, BaudCodesAndCharacterDrainTimes) {
    EXPECT_EQ(ExpandBaudCode(0xFEFF), 115200u);
    EXPECT_EQ(ExpandBaudCode(0xFF10), 110u);
    EXPECT_EQ(ExpandBaudCode(0xFF15), 4800u);
    EXPECT_EQ(ExpandBaudCode(0xFF1B), 38400u);
    EXPECT_EQ(ExpandBaudCode(0xFF1F), 56000u);
    EXPECT_EQ(ExpandBaudCode(0xFF27), 256000u);
    EXPECT_EQ(ExpandBaudCode(0xFF19), 0xFF19u);  // no mapping: unchanged
    EXPECT_EQ(ExpandBaudCode(0xFF28), 0xFF28u);
    EXPECT_EQ(ExpandBaudCode(9600), 9600u);

    TLineState s;                               // 8 data bits, no parity, one stop bit
    EXPECT_EQ(CharacterDrainMs(4800, s), 38u);  // 2083 * 10 * 18 = 374940
    EXPECT_EQ(CharacterDrainMs(0xFF15, s), 38u);
    EXPECT_EQ(CharacterDrainMs(115200, s), 2u);   // 86 * 10 * 18 = 15480
    EXPECT_EQ(CharacterDrainMs(2000000, s), 1u);  // 900, doubled to 1800
    EXPECT_EQ(CharacterDrainMs(0, s), 0u);        // no baud: no division by zero
    s.ByteSize = 7;
    s.Parity = lsParityEven;
    s.StopBits = lsTwoStopBits;
    EXPECT_EQ(CharacterDrainMs(9600, s), 21u);  // 1041 * 11 * 18 = 206118
}

TEST_F(Line, ChangeLineKeepsWhatIsInEffectAndWaitsForTheOutput) {
    const size_t applies = d.Applied().size();
    const int statusBefore = d.statusCalls();
    // The values in effect, given or kept: nothing reaches the device, no wait.
    EXPECT_EQ(d.ChangeLine(4800, lsParityNone, 8, 1), 0);
    EXPECT_EQ(d.ChangeLine(clKeepBaud, clKeepParity, clKeepDataBits, clKeepStopBits), 0);
    EXPECT_EQ(d.Applied().size(), applies);
    EXPECT_EQ(d.statusCalls(), statusBefore);

    // A change waits until the output ring has drained, then a character time.
    d.StopThreads();
    const std::string out(200, 'x');
    ASSERT_EQ(d.WriteBlock(out), 0);
    std::atomic<bool> done{false};
    tk::TThread drain([&] {
        // The writer starts only now: the line change must wait for it.
        tk::Sleep(20);
        d.writerChunk = 8;
        d.StartThreads();
        done = true;
    });
    const uint32_t before = MillisecondClock();
    EXPECT_EQ(d.ChangeLine(9600, clKeepParity, clKeepDataBits, clKeepStopBits), 0);
    const uint32_t elapsed = MillisecondClock() - before;
    drain.WaitFor(tk::kInfinite);
    EXPECT_TRUE(done);
    ASSERT_EQ(d.Applied().size(), applies + 1);
    EXPECT_EQ(d.QueuedAtApply().back(), 0u);
    EXPECT_EQ(Last().BaudRate, 9600u);
    EXPECT_EQ(d.Sent(), out);
    // The last character at the old 4800 baud takes 38 ms after the ring is empty.
    EXPECT_GE(elapsed, 20u + 38u);
    EXPECT_EQ(d.LastBaud(), 9600u);

    uint32_t baud = 0;
    uint16_t parity = 9;
    uint8_t bits = 0;
    uint8_t stop = 0;
    d.QueryLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(parity, lsParityNone);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(stop, 1);
}

TEST_F(Line, StopBitCodes) {
    struct Case {
        uint8_t dataBits;
        uint8_t stopBits;
        uint8_t code;
    };
    // 5 data bits always give one and a half stop bits; stop bits are clamped to 1 .. 2.
    const Case cases[] = {
        {8, 2, lsTwoStopBits},
        {5, 1, lsOne5StopBits},
        {5, 2, lsOne5StopBits},
        {clKeepDataBits, 2, lsOne5StopBits},  // still 5 data bits
        {5, clKeepStopBits, lsOne5StopBits},
        {6, 0, lsOneStopBit},
        {7, 7, lsTwoStopBits},
        {8, clKeepStopBits, lsTwoStopBits},
    };
    for (const Case& k : cases) {
        ASSERT_EQ(d.ChangeLine(clKeepBaud, clKeepParity, k.dataBits, k.stopBits), 0);
        TLineState s;
        d.DeviceGetState(s);
        EXPECT_EQ(s.StopBits, k.code) << int(k.dataBits) << "/" << int(k.stopBits);
        uint32_t baud = 0;
        uint16_t parity = 0;
        uint8_t bits = 0;
        uint8_t stop = 0;
        d.QueryLine(baud, parity, bits, stop);
        EXPECT_EQ(stop, k.code == lsOneStopBit ? 1 : 2);
    }
}

TEST_F(Line, ApplyingDrivesTheLinesAndReportsARefusal) {
    EXPECT_TRUE(d.DtrState());
    EXPECT_TRUE(d.RtsState());
    EXPECT_EQ(Last().Flags & lsfDtrControlMask, lsfDtrControlEnable);
    EXPECT_EQ(Last().Flags & lsfRtsControlMask, lsfRtsControlEnable);

    EXPECT_EQ(d.DriveDTR(0), 0);
    EXPECT_EQ(d.Escapes().back(), escClearDTR);
    EXPECT_FALSE(d.DtrState());
    d.escapeResult = -1;
    EXPECT_EQ(d.DriveRTS(0), ecBadArgument);
    d.escapeResult = 0;

    // A refused line state: its error comes back, the cache keeps the new values.
    d.setStateResult = -31;
    EXPECT_EQ(d.ChangeLine(19200, lsParityOdd, clKeepDataBits, clKeepStopBits), -31);
    EXPECT_EQ(d.LastBaud(), 19200u);
    EXPECT_EQ(Last().Flags & lsfDtrControlMask, 0u);
    EXPECT_NE(Last().Flags & lsfParity, 0u);
    d.setStateResult = 0;

    // A line under handshake is left to the driver.
    ASSERT_EQ(d.ApplyHardwareFlow(3000, 1000, hwfUseDTR), 0);
    const size_t escapes = d.Escapes().size();
    EXPECT_EQ(d.DriveDTR(1), 1);
    EXPECT_EQ(d.Escapes().size(), escapes);
}

TEST_F(Line, LineErrorsAreTakenInOrderAndBreakLast) {
    EXPECT_EQ(d.TakeLineError(), lecNone);
    EXPECT_FALSE(d.TakeLineBreak());

    d.QueueLineErrors(leOverrun | leBreak);
    d.RefreshErrors();
    EXPECT_EQ(d.TakeLineError(), lecOverrun);
    EXPECT_EQ(d.LineErrors(), leBreak);
    EXPECT_EQ(d.TakeLineError(), lecBreak);
    EXPECT_EQ(d.LineErrors(), leBreak);  // the break stays for TakeLineBreak
    EXPECT_TRUE(d.TakeLineBreak());
    EXPECT_FALSE(d.TakeLineBreak());
    EXPECT_EQ(d.TakeLineError(), lecNone);

    // The first error found clears the others below the break.
    d.QueueLineErrors(leRxOverflow | leFraming | 0x100);
    d.RefreshErrors();
    EXPECT_EQ(d.LineErrors(), leRxOverflow | leFraming);  // only the low five accumulate
    EXPECT_EQ(d.TakeLineError(), lecRxOverflow);
    EXPECT_EQ(d.TakeLineError(), lecNone);

    // Errors seen by a write are kept with those already there.
    d.QueueLineErrors(leParity);
    d.RefreshErrors();
    d.QueueLineErrors(leFraming);
    ASSERT_EQ(d.WriteBlock("ab", 2), 0);
    EXPECT_EQ(d.LineErrors(), leParity | leFraming);
    EXPECT_EQ(d.TakeLineError(), lecParity);
}

TEST_F(Line, ModemStatusAndItsChangeBits) {
    d.SetModemLines(msCTS | msDSR);
    EXPECT_EQ(d.ReadModemStatus(), msCTS | msDSR);
    EXPECT_EQ(d.ModemStatus(), msCTS | msDSR);

    // CTS drops and carrier detect rises: both lines' change bits are set.
    d.SetModemLines(msDSR | msDCD);
    d.RefreshModemDelta();
    EXPECT_EQ(d.ModemStatus(), msDSR | msDCD | msCTSChanged | msDCDChanged);
    // The change bits survive a refresh and are reported, then masked off.
    EXPECT_EQ(d.RefreshModemStatus(0xF0), msDSR | msDCD | msCTSChanged | msDCDChanged);
    EXPECT_EQ(d.ModemStatus(), msDSR | msDCD);

    d.SetRingSeen();
    EXPECT_EQ(d.RefreshModemStatus(0xF0), msDSR | msDCD | msRingSeen);
    EXPECT_EQ(d.RefreshModemStatus(0xF0), msDSR | msDCD);
}

TEST_F(Line, FlowThresholdsAndTheirRange) {
    const size_t applies = d.Applied().size();
    // Full above the input size, or below resume: refused, nothing applied.
    EXPECT_EQ(d.ApplyHardwareFlow(4097, 100, hwfUseRTS), ecBadArgument);
    EXPECT_EQ(d.ApplyHardwareFlow(100, 200, hwfUseRTS), ecBadArgument);
    EXPECT_EQ(d.ApplySoftwareFlow(5000, 100, swfReceiveSide), ecBadArgument);
    EXPECT_EQ(d.Applied().size(), applies);

    ASSERT_EQ(d.ApplyHardwareFlow(3000, 1000, hwfUseRTS | hwfRequireCTS), 0);
    TLineState s = Last();
    EXPECT_EQ(s.XoffLim, 1096);  // the stop comes with 3000 bytes queued
    EXPECT_EQ(s.XonLim, 1000);
    EXPECT_EQ(s.Flags & lsfRtsControlMask, lsfRtsControlHandshake);
    EXPECT_EQ(s.Flags & lsfDtrControlMask, lsfDtrControlEnable);  // DTR still raised by hand
    EXPECT_NE(s.Flags & lsfOutxCtsFlow, 0u);
    EXPECT_EQ(s.Flags & lsfOutxDsrFlow, 0u);
    EXPECT_TRUE(d.RtsAuto());
    EXPECT_FALSE(d.DtrAuto());

    ASSERT_EQ(d.ApplyHardwareFlow(4096, 4096, hwfUseDTR | hwfRequireDSR), 0);
    s = Last();
    EXPECT_EQ(s.XoffLim, 0);
    EXPECT_EQ(s.Flags & lsfDtrControlMask, lsfDtrControlHandshake);
    EXPECT_EQ(s.Flags & lsfRtsControlMask, lsfRtsControlEnable);
    EXPECT_EQ(s.Flags & (lsfOutxCtsFlow | lsfOutxDsrFlow), lsfOutxDsrFlow);

    ASSERT_EQ(d.ApplySoftwareFlow(2048, 512, swfReceiveSide | swfTransmitSide), 0);
    ASSERT_EQ(d.ApplyFlowChars('a', 'b'), 0);
    uint32_t hw = 0;
    uint32_t sw = 0;
    char xon = 0;
    char xoff = 0;
    EXPECT_EQ(d.QueryFlow(hw, sw, xon, xoff), 0);
    EXPECT_EQ(hw, hwfUseDTR | hwfRequireDSR);
    EXPECT_EQ(sw, swfReceiveSide | swfTransmitSide);
    EXPECT_EQ(xon, 'a');
    EXPECT_EQ(xoff, 'b');
    EXPECT_EQ(Last().XoffLim, 2048);
    EXPECT_EQ(Last().XonLim, 512);

    ASSERT_EQ(d.CancelSoftwareFlow(), 0);
    EXPECT_EQ(d.QueryFlow(hw, sw, xon, xoff), 0);
    EXPECT_EQ(sw, 0u);

    // Limits travel in 16 bits: thresholds that do not fit are refused, not cut.
    TTestDispatcher big;
    ASSERT_EQ(big.OpenPort("\\\\.\\COM2", 4800, 0, 8, 1, 100000, 256, 0), 0);
    EXPECT_EQ(big.ApplyHardwareFlow(10000, 5000, hwfUseRTS), ecBadArgument);
    EXPECT_EQ(big.ApplySoftwareFlow(90000, 70000, swfReceiveSide), ecBadArgument);
    ASSERT_EQ(big.ApplyHardwareFlow(90000, 5000, hwfUseRTS), 0);
    EXPECT_EQ(big.Applied().back().XoffLim, 10000);
}

TEST_F(Line, OptionWordAndRS485) {
    d.SetOptionFlags(0x04 | 0x01);
    d.ClearOptionFlags(0x01);
    EXPECT_EQ(d.OptionFlags(), 0x04u);

    // RS-485: the driver toggles RTS while sending; applying leaves RTS alone.
    d.SetRS485(true);
    EXPECT_TRUE(d.RS485());
    ASSERT_EQ(d.ApplyHardwareFlow(3000, 1000, 0), 0);
    EXPECT_EQ(Last().Flags & lsfRtsControlMask, lsfRtsControlToggle);
    EXPECT_TRUE(d.RtsAuto());
    ASSERT_EQ(d.WriteBlock("ab", 2), 0);  // an NT-family system needs no base address
    d.SetRS485(false);
    EXPECT_FALSE(d.RS485());
}

TEST_F(Line, InputFromAnotherThreadArrivesInOrder) {
    // A producer thread plays the dispatch thread: it queues device bytes and
    // pulls them into the ring while this thread reads them one by one.
    constexpr uint32_t kTotal = 100000;
    tk::TThread producer([this] {
        uint32_t sent = 0;
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(kTotal - sent, 997);
            std::string block;
            for (uint32_t i = 0; i < n; ++i) {
                block += static_cast<char>((sent + i) % 253);
            }
            d.QueueInput(block);
            sent += n;
            while (d.PullInput() && d.InputCount() > 4000) {
                tk::Sleep(0);
            }
        }
        for (int i = 0; i < 1000 && d.InputCount() > 0; ++i) {
            d.PullInput();
            tk::Sleep(1);
        }
    });
    uint32_t got = 0;
    uint32_t wrong = 0;
    char c = 0;
    while (got < kTotal) {
        d.PullInput();  // also from here: both threads may pull at once
        if (d.ReadChar(c) == 0) {
            if (static_cast<uint8_t>(c) != got % 253) {
                ++wrong;
            }
            ++got;
        }
    }
    producer.WaitFor(tk::kInfinite);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(d.InputCount(), 0u);
}

}  // namespace
