// The input and output rings, driven through the memory device layer.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/TestDevice.h"

namespace {

// The bytes 0, 1, 2, ... as text, n of them, starting at from.
std::string Pattern(uint32_t n, uint32_t from = 0) {
    std::string s;
    for (uint32_t i = 0; i < n; ++i) {
        s += static_cast<char>((from + i) * 7 % 251);
    }
    return s;
}

std::string ReadAll(TRirBaseDispatcher& d) {
    std::string out;
    char c = 0;
    while (d.ReadChar(c) == 0) {
        out += c;
    }
    return out;
}

class Ring : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(d.OpenPort("\\\\.\\COM3", 4800, 0, 8, 1, 4096, 64, 0), 0); }
    TTestDispatcher d;
};

TEST_F(Ring, EmptyRingAndPeeks) {
    char c = 'x';
    EXPECT_EQ(d.ReadChar(c), ecBufferIsEmpty);
    EXPECT_EQ(d.PeekAt(c, 1), ecBufferIsEmpty);
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_FALSE(d.PullInput());  // the device holds nothing
    EXPECT_EQ(c, 'x');

    d.QueueInput("abc");
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(d.InputCount(), 3u);
    EXPECT_EQ(d.PeekAt(c, 3), 0);
    EXPECT_EQ(c, 'c');
    EXPECT_EQ(d.PeekAt(c, 4), ecBufferIsEmpty);
    EXPECT_EQ(d.PeekAt(c, 0), ecBadArgument);  // positions count from 1
    EXPECT_EQ(d.InputCount(), 3u);             // peeking takes nothing
    EXPECT_EQ(ReadAll(d), "abc");
    EXPECT_EQ(d.InputCount(), 0u);
}

TEST_F(Ring, ReadsWrapAtEveryPositionOfTheRing) {
    // Start the empty ring at 8000: a pull of 500 asks for 192 at 8000, then 308 at 0.
    d.SetInputPositions(8000, 8000, false);
    const std::string data = Pattern(500);
    d.QueueInput(data);
    EXPECT_TRUE(d.PullInput());
    const auto reads = d.Reads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].at, 8000u);
    EXPECT_EQ(reads[0].max, 192u);
    EXPECT_EQ(reads[1].at, 0u);
    EXPECT_EQ(reads[1].max, 308u);
    EXPECT_EQ(d.Head(), 308u);
    EXPECT_EQ(d.InputCount(), 500u);
    char c = 0;
    EXPECT_EQ(d.PeekAt(c, 193), 0);  // the first byte after the wrap
    EXPECT_EQ(c, data[192]);
    EXPECT_EQ(ReadAll(d), data);
    EXPECT_EQ(d.Tail(), 308u);

    // Tail above head: the free room is the gap between them, read in one go.
    d.SetInputPositions(100, 200, false);
    d.QueueInput(Pattern(300, 1));
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(d.Reads().back().at, 100u);
    EXPECT_EQ(d.Reads().back().max, 100u);
    EXPECT_TRUE(d.Full());
    EXPECT_EQ(d.InputCount(), kInputRingSize);

    // Every start position: the byte order survives the wrap from 8191 to 0.
    for (uint32_t start : {0u, 1u, 4095u, 8190u, 8191u}) {
        d.ClearInput();
        d.SetInputPositions(start, start, false);
        const std::string block = Pattern(3, start);
        d.QueueInput(block);
        EXPECT_TRUE(d.PullInput());
        EXPECT_EQ(d.Head(), (start + 3) % kInputRingSize) << start;
        EXPECT_EQ(ReadAll(d), block) << start;
    }
}

TEST_F(Ring, AFullRingIsNotReadAgain) {
    d.QueueInput(Pattern(kInputRingSize + 10));
    EXPECT_TRUE(d.PullInput());
    EXPECT_TRUE(d.Full());
    EXPECT_EQ(d.Head(), d.Tail());
    EXPECT_EQ(d.InputCount(), kInputRingSize);
    const size_t readsBefore = d.Reads().size();
    EXPECT_TRUE(d.PullInput());  // full: true at once, the device is not asked
    EXPECT_EQ(d.Reads().size(), readsBefore);

    // Taking one byte frees one place; the next pull fills just that.
    char c = 0;
    ASSERT_EQ(d.ReadChar(c), 0);
    EXPECT_EQ(c, Pattern(1)[0]);
    EXPECT_FALSE(d.Full());
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(d.Reads().back().max, 1u);
    EXPECT_TRUE(d.Full());
    const std::string all = ReadAll(d);
    EXPECT_EQ(all, Pattern(kInputRingSize, 1));
}

TEST_F(Ring, AShortOrFailedDeviceReadLeavesTheRingConsistent) {
    // The device holds fewer bytes than the contiguous room: one read, no second.
    d.SetInputPositions(8100, 8100, false);
    d.QueueInput("xy");
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(d.Reads().size(), 1u);
    EXPECT_EQ(d.Reads()[0].max, 92u);  // it asks for the contiguous room, not the count
    EXPECT_EQ(d.InputCount(), 2u);

    // A failed read counts as no bytes and reports the failure once per read.
    d.readFailure = -5;
    d.QueueInput("z");
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(d.failedReads(), 1);
    EXPECT_EQ(d.InputCount(), 2u);
    EXPECT_EQ(d.Head(), 8102u);
    d.readFailure = 0;
    EXPECT_TRUE(d.PullInput());
    EXPECT_EQ(ReadAll(d), "xyz");
}

TEST_F(Ring, ReadsDuringANoticeLeaveTheTailUntilTheNoticeEnds) {
    d.QueueInput("0123456789");
    ASSERT_TRUE(d.PullInput());
    d.BeginNotice();
    std::string got;
    char c = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(d.ReadChar(c), 0);
        got += c;
        EXPECT_EQ(d.InputCount(), 9u - i);
    }
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(d.Tail(), 0u);
    EXPECT_EQ(d.ReadChar(c), ecBufferIsEmpty);
    EXPECT_EQ(d.Taken(), 10u);

    // A second handler of the same notice sees the same bytes from the start.
    d.HandlerDone();
    EXPECT_EQ(d.ReadChar(c), 0);
    EXPECT_EQ(c, '0');
    d.HandlerDone();
    EXPECT_EQ(d.EndNotice(), 10u);  // the tail moves by the most taken
    EXPECT_EQ(d.Tail(), 10u);
    EXPECT_EQ(d.InputCount(), 0u);

    // A handler that takes part leaves the rest for later.
    d.QueueInput("abc");
    ASSERT_TRUE(d.PullInput());
    d.BeginNotice();
    char buf[8];
    EXPECT_EQ(d.ReadBlock(buf, 2), 2u);
    EXPECT_EQ(std::string(buf, 2), "ab");
    d.HandlerDone();
    EXPECT_EQ(d.EndNotice(), 2u);
    EXPECT_EQ(ReadAll(d), "c");
}

TEST_F(Ring, ClearInputDuringANoticeOnAFullRing) {
    d.QueueInput(Pattern(kInputRingSize));
    ASSERT_TRUE(d.PullInput());
    ASSERT_TRUE(d.Full());
    d.BeginNotice();
    char c = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(d.ReadChar(c), 0);
    }
    EXPECT_EQ(d.ClearInput(), 0);
    // Cleared: nothing more to read, and the count does not run below zero.
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_EQ(d.ReadChar(c), ecBufferIsEmpty);
    d.HandlerDone();
    EXPECT_EQ(d.EndNotice(), kInputRingSize);
    EXPECT_FALSE(d.Full());
    EXPECT_EQ(d.InputCount(), 0u);

    // Outside a notice a clear drops the ring and what the device held.
    d.QueueInput("abc");
    ASSERT_TRUE(d.PullInput());
    d.QueueInput("def");
    EXPECT_EQ(d.ClearInput(), 0);
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_FALSE(d.PullInput());
}

TEST_F(Ring, WriteBlockAtTheFreeRoomAndOneByteOver) {
    d.StopThreads();  // no writer: the bytes stay queued
    EXPECT_EQ(d.WriteBlock("", 0), 0);
    EXPECT_EQ(d.OutputRoom(), 64u);
    ASSERT_EQ(d.WriteBlock(Pattern(40)), 0);
    EXPECT_EQ(d.OutputCount(), 40u);
    EXPECT_EQ(d.OutputRoom(), 24u);
    EXPECT_EQ(d.WriteBlock(Pattern(25)), ecOutputBufferTooSmall);
    EXPECT_EQ(d.OutputCount(), 40u);  // nothing of it queued
    EXPECT_FALSE(d.OutputFull());
    EXPECT_EQ(d.WriteBlock(Pattern(24, 40)), 0);
    EXPECT_TRUE(d.OutputFull());
    EXPECT_EQ(d.OutputCount(), 64u);
    EXPECT_EQ(d.OutputRoom(), 0u);
    EXPECT_EQ(d.WriteBlock("x", 1), ecOutputBufferTooSmall);

    // Flushing the output side empties the ring.
    EXPECT_EQ(d.ClearOutput(), 0);
    EXPECT_EQ(d.OutputCount(), 0u);
    EXPECT_FALSE(d.OutputFull());
}

TEST_F(Ring, WrittenBytesLeaveInOrderAcrossTheRingEnd) {
    std::string expect;
    for (uint32_t i = 0; i < 20; ++i) {
        const std::string block = Pattern(13 + i % 40, i * 31);
        while (d.OutputRoom() < block.size()) {
            tk::Sleep(1);
        }
        ASSERT_EQ(d.WriteBlock(block), 0);
        expect += block;
    }
    while (d.Sent().size() < expect.size()) {
        tk::Sleep(1);
    }
    EXPECT_EQ(d.Sent(), expect);
}

TEST_F(Ring, ARefusedWriteReportsWhatWentAndNeverMore) {
    ASSERT_EQ(d.InitTrace(100), 0);
    d.writeResult = 0;
    EXPECT_EQ(d.WriteBlock("abc", 3), ecPutBlockFail);
    EXPECT_EQ(d.TraceRecorder().EntryCount(), 0u);
    d.writeResult = -3006;  // an error code is no byte count
    EXPECT_EQ(d.WriteBlock("abc", 3), ecPutBlockFail);
    EXPECT_EQ(d.TraceRecorder().EntryCount(), 3u);
    EXPECT_FALSE(d.OutputFull());
}

TEST_F(Ring, TraceRecordsBytesReadAndWritten) {
    const std::string file = ::testing::TempDir() + "palmo_ring_trace.trc";
    ASSERT_EQ(d.InitTrace(100), 0);
    d.QueueInput("$G\r");
    ASSERT_TRUE(d.PullInput());
    EXPECT_EQ(ReadAll(d), "$G\r");
    ASSERT_EQ(d.WriteBlock("OK", 2), 0);
    EXPECT_EQ(d.WriteTraceFile(file, false, true, false), 0);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Receive: \r\n$G[0D]\r\n\r\nTransmit: \r\nOK");
    std::remove(file.c_str());
}

}  // namespace

TEST_F(Ring, ReadUntilStopsAfterTheStopByteAcrossTheWrap) {
    // The line's end lies past the wrap: both pieces are copied up to it.
    d.SetInputPositions(8190, 8190, false);
    d.QueueInput("$ab\r$cdef\rgh");
    ASSERT_TRUE(d.PullInput());
    char buf[16];
    EXPECT_EQ(d.ReadUntil(buf, sizeof buf, '\r'), 4u);
    EXPECT_EQ(std::string(buf, 4), "$ab\r");
    EXPECT_EQ(d.ReadUntil(buf, sizeof buf, '\r'), 6u);
    EXPECT_EQ(std::string(buf, 6), "$cdef\r");
    // No stop byte: everything up to max.
    EXPECT_EQ(d.ReadUntil(buf, 1, '\r'), 1u);
    EXPECT_EQ(d.ReadUntil(buf, sizeof buf, '\r'), 1u);
    EXPECT_EQ(buf[0], 'h');
    EXPECT_EQ(d.ReadUntil(buf, sizeof buf, '\r'), 0u);

    // During a notice it takes like ReadChar: the tail moves at the end.
    d.QueueInput("x\ryz");
    ASSERT_TRUE(d.PullInput());
    d.BeginNotice();
    EXPECT_EQ(d.ReadUntil(buf, sizeof buf, '\r'), 2u);
    d.HandlerDone();
    EXPECT_EQ(d.EndNotice(), 2u);
    EXPECT_EQ(ReadAll(d), "yz");
}
