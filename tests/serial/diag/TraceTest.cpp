#include "serial/diag/Trace.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "DiagTestFiles.h"
#include "serial/diag/ErrorCodes.h"

namespace {

void Receive(TTraceRecorder& trace, const std::string& bytes) {
    for (char c : bytes) {
        trace.AddTraceEntry(trReceive, static_cast<uint8_t>(c));
    }
}

void Transmit(TTraceRecorder& trace, const std::string& bytes) {
    for (char c : bytes) {
        trace.AddTraceEntry(trTransmit, static_cast<uint8_t>(c));
    }
}

}  // namespace

TEST(TraceRecorder, CapacityLimitsAndStates) {
    TTraceRecorder trace;
    EXPECT_FALSE(trace.Tracing());
    EXPECT_EQ(trace.InitTrace(TTraceRecorder::kMaxCapacity + 1), ecBadArgument);
    EXPECT_FALSE(trace.HasRing());
    EXPECT_FALSE(trace.Tracing());

    ASSERT_EQ(trace.InitTrace(TTraceRecorder::kMaxCapacity), ecOK);
    EXPECT_TRUE(trace.Tracing());
    EXPECT_EQ(trace.Capacity(), TTraceRecorder::kMaxCapacity);
    Receive(trace, "abc");
    EXPECT_EQ(trace.EntryCount(), 3u);

    // With a ring in place an oversized capacity only empties the ring.
    trace.PauseTrace();
    EXPECT_EQ(trace.InitTrace(TTraceRecorder::kMaxCapacity + 1), ecOK);
    EXPECT_TRUE(trace.Tracing());
    EXPECT_EQ(trace.EntryCount(), 0u);
    EXPECT_EQ(trace.Capacity(), TTraceRecorder::kMaxCapacity);

    trace.PauseTrace();
    EXPECT_FALSE(trace.Tracing());
    trace.ResumeTrace();
    EXPECT_TRUE(trace.Tracing());
    trace.FreeTrace();
    EXPECT_FALSE(trace.Tracing());
    EXPECT_FALSE(trace.HasRing());
    trace.ResumeTrace();
    EXPECT_FALSE(trace.Tracing());

    // A ring of 0 entries records nothing and dumps nothing.
    EXPECT_EQ(trace.InitTrace(0), ecOK);
    Receive(trace, "x");
    EXPECT_EQ(trace.EntryCount(), 0u);
}

TEST(TraceRecorder, DumpsMatchTheExpectedFiles) {
    TScratchDir dir;
    TTraceRecorder trace;

    // The received "$GP", CR, LF and the sent "OK", in hex.
    ASSERT_EQ(trace.InitTrace(100), ecOK);
    Receive(trace, "$GP\r\n");
    Transmit(trace, "OK");
    EXPECT_EQ(trace.WriteTraceFile(dir.File("example.trc"), false, true, false), ecOK);
    EXPECT_EQ(ReadWholeFile(dir.File("example.trc")), ExpectedDump("trace_example.txt"));
    EXPECT_FALSE(trace.HasRing());
    EXPECT_FALSE(trace.Tracing());

    // A ring of 3 keeps the last three entries, oldest first.
    ASSERT_EQ(trace.InitTrace(3), ecOK);
    Receive(trace, "ab");
    Transmit(trace, "c");
    Receive(trace, "d");
    EXPECT_EQ(trace.WriteTraceFile(dir.File("wrap.trc"), false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(dir.File("wrap.trc")), ExpectedDump("trace_wrap.txt"));

    // The three byte forms.
    const std::string bytes = {7, 13, static_cast<char>(200), ' ', 'A', '~', 127};
    struct {
        bool inHex, allHex;
        const char* expected;
    } forms[] = {{false, false, "trace_decimal.txt"},
                 {true, false, "trace_hex.txt"},
                 {true, true, "trace_allhex.txt"},
                 {false, true, "trace_allhex.txt"}};
    for (const auto& form : forms) {
        ASSERT_EQ(trace.InitTrace(16), ecOK);
        Receive(trace, bytes);
        const std::string name = dir.File("forms.trc");
        EXPECT_EQ(trace.WriteTraceFile(name, false, form.inHex, form.allHex), ecOK);
        EXPECT_EQ(ReadWholeFile(name), ExpectedDump(form.expected)) << form.expected;
    }

    // Lines break before an item that would pass column 78; other kinds get
    // a heading of their own.
    ASSERT_EQ(trace.InitTrace(1000), ecOK);
    Receive(trace, std::string(80, 'A'));
    Transmit(trace, std::string(19, '\r') + "\nx");
    trace.AddTraceEntry('X', 'q');
    EXPECT_EQ(trace.WriteTraceFile(dir.File("breaks.trc"), false, true, false), ecOK);
    EXPECT_EQ(ReadWholeFile(dir.File("breaks.trc")), ExpectedDump("trace_breaks.txt"));
}

TEST(TraceRecorder, AppendReplaceAndEmptyDumps) {
    TScratchDir dir;
    TTraceRecorder trace;
    const std::string name = dir.File("VIRA.TRC");

    // No ring, and an empty ring: no file, result 0.
    EXPECT_EQ(trace.WriteTraceFile(name, false, false, false), ecOK);
    ASSERT_EQ(trace.InitTrace(10), ecOK);
    EXPECT_EQ(trace.WriteTraceFile(name, false, false, false), ecOK);
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_FALSE(trace.HasRing());

    // A cleared ring is empty too.
    ASSERT_EQ(trace.InitTrace(10), ecOK);
    Receive(trace, "zz");
    EXPECT_EQ(trace.ClearTrace(), ecOK);
    EXPECT_EQ(trace.WriteTraceFile(name, false, false, false), ecOK);
    EXPECT_FALSE(std::filesystem::exists(name));

    // Append adds to the old file; otherwise the file is replaced.
    ASSERT_EQ(trace.InitTrace(100), ecOK);
    Receive(trace, "$GP\r\n");
    Transmit(trace, "OK");
    ASSERT_EQ(trace.WriteTraceFile(name, false, true, false), ecOK);
    ASSERT_EQ(trace.InitTrace(3), ecOK);
    Receive(trace, "ab");
    Transmit(trace, "c");
    Receive(trace, "d");
    ASSERT_EQ(trace.WriteTraceFile(name, true, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name),
              ExpectedDump("trace_example.txt") + ExpectedDump("trace_wrap.txt"));

    ASSERT_EQ(trace.InitTrace(3), ecOK);
    Receive(trace, "ab");
    Transmit(trace, "c");
    Receive(trace, "d");
    ASSERT_EQ(trace.WriteTraceFile(name, false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), ExpectedDump("trace_wrap.txt"));

    // Append to a file that does not exist yet creates it.
    const std::string fresh = dir.File("fresh.trc");
    ASSERT_EQ(trace.InitTrace(3), ecOK);
    Receive(trace, "ab");
    Transmit(trace, "c");
    Receive(trace, "d");
    ASSERT_EQ(trace.WriteTraceFile(fresh, true, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(fresh), ExpectedDump("trace_wrap.txt"));
}

TEST(TraceRecorder, UnopenableFileReleasesTheRing) {
    TScratchDir dir;
    TTraceRecorder trace;
    ASSERT_EQ(trace.InitTrace(10), ecOK);
    Receive(trace, "abc");
    const std::string name = dir.File("missing/folder/VIRA.TRC");
    EXPECT_EQ(trace.WriteTraceFile(name, false, false, false), ecPathNotFound);
    EXPECT_FALSE(trace.HasRing());
    EXPECT_FALSE(trace.Tracing());

    // A folder in place of the file cannot be opened either.
    ASSERT_EQ(trace.InitTrace(10), ecOK);
    Receive(trace, "abc");
    std::filesystem::create_directories(dir.File("taken"));
    EXPECT_EQ(trace.WriteTraceFile(dir.File("taken"), false, false, false), ecAccessDenied);
    EXPECT_FALSE(trace.HasRing());
}
