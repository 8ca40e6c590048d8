#include "serial/diag/DispatchLog.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "DiagTestFiles.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/RegionalFormats.h"

namespace {

// A log with a hand-driven clock and fixed banner texts.
struct TFixedLog {
    uint32_t now = 1000;
    TDispatchLog log;

    explicit TFixedLog(const std::string& os = "Test OS 5.1 Service Pack 3") {
        TLogEnvironment env;
        env.Clock = [this] { return now; };
        env.DateTime = [] { return std::string("01/02/03, 04:05:06"); };
        env.OsDescription = [os] { return os; };
        env.Compiler = "TestCC 1.0";
        log.SetEnvironment(env);
        log.MarkTimeBase();
        log.SetDeviceName("COM3");
    }

    bool Add(uint32_t at, uint8_t kind, uint8_t subtype, uint32_t value,
             const std::string& data = "") {
        now = 1000 + at;
        return log.AddDispatchEntry(kind, subtype, value, data.data(),
                                    static_cast<uint32_t>(data.size()));
    }
};

std::string Banner(const std::string& os) {
    return "VIRA v4.06\r\nCompiler : TestCC 1.0\r\nOperating System : " + os +
           "\r\nDevice: COM3\r\nDate/time: 01/02/03, 04:05:06\r\n"
           "Time      Type      SubType       Data      OtherData\r\n"
           "--------  --------  ------------  --------  ---------\r\n";
}

}  // namespace

TEST(DispatchLog, DumpMatchesTheExpectedFile) {
    TScratchDir dir;
    TFixedLog f;
    ASSERT_EQ(f.log.InitDispatchLog(4096), ecOK);
    EXPECT_TRUE(f.log.Logging());

    EXPECT_TRUE(f.Add(1234, dlkDispatch, dlsWriteCom, 5, "HELLO"));
    EXPECT_TRUE(f.Add(1500, dlkTrigger, dlsAvail, 10));
    EXPECT_TRUE(f.Add(1501, dlkTriggerHandlerAlloc, dlsWindow, 0x1234ABCD));
    EXPECT_TRUE(f.Add(1502, dlkTriggerDataChange, dlsTriggerAvail, 1));
    EXPECT_TRUE(f.Add(1600, dlkDispatch, dlsReadCom, 5, "$GP\r\n"));
    EXPECT_TRUE(
        f.Add(1700, dlkDispatch, dlsReadCom, 40, "0123456789012345678901234567890123456789"));
    EXPECT_TRUE(f.Add(1800, dlkDispatch, dlsModemStatus, 0x31, "1"));
    EXPECT_TRUE(f.Add(1801, dlkDispatch, dlsModemStatus, 0, std::string(1, '\0')));
    EXPECT_TRUE(f.Add(1900, dlkTelnet, dlsNone, 3));
    EXPECT_TRUE(f.Add(1901, dlkTelnet, dlsNone, 50));
    EXPECT_TRUE(f.Add(2000, dlkTriggerAlloc, 15, 0, std::string(1, '\2')));
    EXPECT_TRUE(f.Add(2001, dlkTriggerDispose, 15, 0, std::string(1, '\11')));
    EXPECT_TRUE(f.Add(12345678, dlkTrigger, dlsTimer, 7));

    const std::string name = dir.File("VIRA.LOG");
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), ExpectedDump("log_basic.txt"));
    EXPECT_FALSE(f.log.HasRing());
    EXPECT_FALSE(f.log.Logging());
}

TEST(DispatchLog, HexFormsAndUserEntries) {
    TScratchDir dir;
    struct {
        bool inHex, allHex;
        const char* expected;
    } forms[] = {{true, false, "log_hex.txt"}, {false, true, "log_allhex.txt"}};
    for (const auto& form : forms) {
        TFixedLog f;
        ASSERT_EQ(f.log.InitDispatchLog(1000), ecOK);
        if (form.allHex) {
            f.Add(10, dlkDispatch, dlsReadCom, 10, "0123456789");
            f.Add(20, dlkUser, dlsNone, 3, "AB\r");
        } else {
            f.Add(10, dlkDispatch, dlsReadCom, 6, "$GP\r\n ");
            f.Add(20, dlkUser, dlsNone, 2, "AB");
        }
        const std::string name = dir.File("hex.log");
        EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, form.inHex, form.allHex), ecOK);
        EXPECT_EQ(ReadWholeFile(name), ExpectedDump(form.expected)) << form.expected;
    }
}

TEST(DispatchLog, FullRingDropsWholeOldestEntries) {
    TScratchDir dir;
    const std::string read60(60, 'r');
    const std::string line1 = "0000.002  Dispatch  ReadCom       0000003C  " + read60.substr(0, 33);
    const std::string line2 = std::string(44, ' ') + read60.substr(33, 27);

    // 26 bytes and then 76 bytes do not fit in 100: the older entry goes.
    // The long system description is cut to 80 characters.
    const std::string os(100, 'O');
    TFixedLog f(os);
    ASSERT_EQ(f.log.InitDispatchLog(100), ecOK);
    EXPECT_TRUE(f.Add(1, dlkDispatch, dlsReadCom, 10, "abcdefghij"));
    EXPECT_EQ(f.log.FreeBytes(), 74u);
    EXPECT_TRUE(f.Add(2, dlkDispatch, dlsReadCom, 60, read60));
    EXPECT_EQ(f.log.FreeBytes(), 24u);
    const std::string name = dir.File("drop.log");
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), Banner(os.substr(0, 80)) + line1 + "\r\n" + line2 + "\r\n");

    // A header split across the end of the ring: 26 + 16 bytes, then 21
    // bytes in a ring of 50 drop the first entry and wrap the third.
    TFixedLog g;
    ASSERT_EQ(g.log.InitDispatchLog(50), ecOK);
    EXPECT_TRUE(g.Add(10, dlkDispatch, dlsReadCom, 10, "0123456789"));
    EXPECT_TRUE(g.Add(20, dlkTrigger, dlsAvail, 3));
    EXPECT_TRUE(g.Add(30, dlkDispatch, dlsWriteCom, 5, "hello"));
    EXPECT_EQ(g.log.FreeBytes(), 13u);
    EXPECT_EQ(g.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), Banner("Test OS 5.1 Service Pack 3") +
                                       "0000.020  Trigger   Avail         00000003  \r\n"
                                       "0000.030  Dispatch  WriteCom      00000005  hello\r\n");
}

TEST(DispatchLog, EntryThatCannotFitIsRefusedWhole) {
    TScratchDir dir;
    TFixedLog f;
    ASSERT_EQ(f.log.InitDispatchLog(100), ecOK);
    EXPECT_TRUE(f.Add(1, dlkTrigger, dlsAvail, 1));
    // 16 + 84 bytes fill the ring exactly and are refused; the older entry stays.
    EXPECT_FALSE(f.Add(2, dlkDispatch, dlsReadCom, 84, std::string(84, 'x')));
    EXPECT_EQ(f.log.FreeBytes(), 84u);
    // A length that would overflow 32 bits with the header is refused too.
    EXPECT_FALSE(f.log.AddDispatchEntry(dlkDispatch, dlsReadCom, 0, "x", 0xFFFFFFF8u));
    EXPECT_EQ(f.log.FreeBytes(), 84u);
    // 16 + 83 bytes fit once the older entry is dropped.
    const std::string data(83, 'z');
    EXPECT_TRUE(f.Add(3, dlkDispatch, dlsReadCom, 83, data));
    EXPECT_EQ(f.log.FreeBytes(), 1u);

    const std::string name = dir.File("fit.log");
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    const std::string pad(44, ' ');
    EXPECT_EQ(ReadWholeFile(name), Banner("Test OS 5.1 Service Pack 3") +
                                       "0000.003  Dispatch  ReadCom       00000053  " +
                                       data.substr(0, 33) + "\r\n" + pad + data.substr(33, 33) +
                                       "\r\n" + pad + data.substr(66) + "\r\n");
}

TEST(DispatchLog, StatesEmptyDumpsAndFileErrors) {
    TScratchDir dir;
    TFixedLog f;
    const std::string name = dir.File("VIRA.LOG");

    // Nothing is recorded before Init or while paused.
    EXPECT_FALSE(f.Add(1, dlkTrigger, dlsAvail, 1));
    ASSERT_EQ(f.log.InitDispatchLog(200), ecOK);
    f.log.PauseDispatchLog();
    EXPECT_FALSE(f.Add(2, dlkTrigger, dlsAvail, 1));
    EXPECT_TRUE(f.log.Empty());

    // Init on an existing ring only empties it; logging keeps its state.
    f.log.ResumeDispatchLog();
    EXPECT_TRUE(f.Add(3, dlkTrigger, dlsAvail, 1));
    f.log.PauseDispatchLog();
    EXPECT_EQ(f.log.InitDispatchLog(5000), ecOK);
    EXPECT_TRUE(f.log.Empty());
    EXPECT_FALSE(f.log.Logging());
    EXPECT_EQ(f.log.Size(), 200u);

    // An empty log writes no file and frees the ring.
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_FALSE(f.log.HasRing());
    f.log.ResumeDispatchLog();
    EXPECT_FALSE(f.log.Logging());

    // A folder that does not exist: the entries stay and logging stays off.
    ASSERT_EQ(f.log.InitDispatchLog(200), ecOK);
    EXPECT_TRUE(f.Add(1234, dlkDispatch, dlsWriteCom, 5, "HELLO"));
    EXPECT_EQ(f.log.WriteDispatchLogFile(dir.File("no/such/VIRA.LOG"), false, false, false),
              ecPathNotFound);
    EXPECT_TRUE(f.log.HasRing());
    EXPECT_FALSE(f.log.Logging());
    EXPECT_FALSE(f.Add(1300, dlkTrigger, dlsAvail, 1));

    // The kept entry is written by the next dump; appending adds a second one.
    const std::string entry = "0001.234  Dispatch  WriteCom      00000005  HELLO\r\n";
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, false, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), Banner("Test OS 5.1 Service Pack 3") + entry);
    ASSERT_EQ(f.log.InitDispatchLog(200), ecOK);
    f.log.MarkTimeBase();  // a new time base: the next entry is 0.5 s after it
    f.now += 500;
    EXPECT_TRUE(f.log.AddDispatchEntry(dlkTrigger, dlsAvail, 2, nullptr, 0));
    EXPECT_EQ(f.log.WriteDispatchLogFile(name, true, false, false), ecOK);
    EXPECT_EQ(ReadWholeFile(name), Banner("Test OS 5.1 Service Pack 3") + entry +
                                       Banner("Test OS 5.1 Service Pack 3") +
                                       "0000.500  Trigger   Avail         00000002  \r\n");
}

TEST(DispatchLog, SystemBannerTexts) {
    // Without injected texts the banner names this build's compiler, the
    // running system and today's date in the fixed layout.
    TScratchDir dir;
    TDispatchLog log;
    log.MarkTimeBase();
    log.SetDeviceName("COM1");
    ASSERT_EQ(log.InitDispatchLog(100), ecOK);
    EXPECT_TRUE(log.AddDispatchEntry(dlkTrigger, dlsAvail, 1, nullptr, 0));
    const std::string name = dir.File("sys.log");
    ASSERT_EQ(log.WriteDispatchLogFile(name, false, false, false), ecOK);
    const std::string text = ReadWholeFile(name);
    EXPECT_EQ(text.rfind("VIRA v4.06\r\nCompiler : ", 0), 0u) << text;
    EXPECT_NE(text.find("\r\nOperating System : "), std::string::npos);
    EXPECT_NE(text.find("\r\nDevice: COM1\r\nDate/time: "), std::string::npos);
    const size_t date = text.find("Date/time: ") + 11;
    const std::string stamp = text.substr(date, text.find("\r\n", date) - date);
    ASSERT_EQ(stamp.size(), 18u) << stamp;
    EXPECT_EQ(stamp.substr(8, 2), ", ");

    // The separators are the user's.
    tk::SetDateTimeFormatOverride("dd.MM.yyyy", "HH'h'mm-ss");
    ASSERT_EQ(log.InitDispatchLog(100), ecOK);
    EXPECT_TRUE(log.AddDispatchEntry(dlkTrigger, dlsAvail, 1, nullptr, 0));
    ASSERT_EQ(log.WriteDispatchLogFile(name, false, false, false), ecOK);
    tk::ClearDateTimeFormatOverride();
    const std::string local = ReadWholeFile(name);
    const size_t at = local.find("Date/time: ") + 11;
    const std::string regional = local.substr(at, local.find("\r\n", at) - at);
    ASSERT_EQ(regional.size(), 18u) << regional;
    EXPECT_EQ(std::string() + regional[2] + regional[5] + regional[12] + regional[15], "..--")
        << regional;
}
