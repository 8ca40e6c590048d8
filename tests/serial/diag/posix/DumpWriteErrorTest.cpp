// Write failures on a device that accepts the open but refuses the data.
#include <filesystem>

#include <gtest/gtest.h>

#include "serial/diag/DispatchLog.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/diag/Trace.h"

TEST(DumpWriteErrors, FullDeviceReportsDiskFullAndReleasesTheRings) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    TTraceRecorder trace;
    ASSERT_EQ(trace.InitTrace(2000), ecOK);
    for (int i = 0; i < 2000; ++i) {
        trace.AddTraceEntry(trReceive, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(trace.WriteTraceFile("/dev/full", false, true, false), ecDiskFull);
    EXPECT_FALSE(trace.HasRing());

    TDispatchLog log;
    log.MarkTimeBase();
    ASSERT_EQ(log.InitDispatchLog(4096), ecOK);
    const std::string data(1000, 'd');
    EXPECT_TRUE(log.AddDispatchEntry(dlkDispatch, dlsReadCom, 1000, data.data(), 1000));
    EXPECT_EQ(log.WriteDispatchLogFile("/dev/full", false, false, false), ecDiskFull);
    EXPECT_FALSE(log.HasRing());
}
