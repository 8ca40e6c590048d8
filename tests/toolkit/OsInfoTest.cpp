#include "toolkit/OsInfo.h"

#include <gtest/gtest.h>

#include <atomic>

#include "toolkit/Sync.h"

namespace {

TEST(OsInfo, DescriptionAndFamily) {
    EXPECT_FALSE(tk::OsDescription().empty());
    EXPECT_TRUE(tk::IsWindowsNT());
}

TEST(OsInfo, VersionTable) {
    using tk::DescribeWindowsVersion;
    EXPECT_EQ(DescribeWindowsVersion(2, 5, 1, 2600, "Service Pack 3"),
              "Windows XP 5.1 Service Pack 3");
    EXPECT_EQ(DescribeWindowsVersion(2, 5, 0, 2195, "Service Pack 4"),
              "Windows 2000 5.0 Service Pack 4");
    EXPECT_EQ(DescribeWindowsVersion(2, 5, 2, 3790, ""), "5.2 ");
    EXPECT_EQ(DescribeWindowsVersion(2, 4, 0, 1381, "Service Pack 6"),
              "Windows NT 4 4.0 Service Pack 6");
    EXPECT_EQ(DescribeWindowsVersion(2, 3, 51, 1057, ""), "Windows NT 3.5 3.51 ");
    EXPECT_EQ(DescribeWindowsVersion(2, 10, 0, 19045, ""), "WinNT 10.0 ");
    // The Windows 95 family shows no service-pack text.
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 0, 950, " B "), "Win32 on Windows 95 OSR 2 4.0 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 0, 950, ""), "Win32 on Windows 95 OSR 1 4.0 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 10, 2222, " A "), "Win32 on Windows 98 OSR 2 4.10 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 10, 1998, " "), "Win32 on Windows 98 OSR 1 4.10 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 90, 0x045A0BB8, " "), "Win32 on Windows ME 4.90 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 90, 3000, ""), "4.90 ");
    EXPECT_EQ(DescribeWindowsVersion(1, 4, 3, 0, ""), "Win32 on Windows 9x4.3 ");
    EXPECT_EQ(DescribeWindowsVersion(0, 1, 30, 0, ""), "Win32s on Windows 1.30 ");
    EXPECT_EQ(DescribeWindowsVersion(7, 1, 0, 0, "x"), "Unknown1.0 ");
}

TEST(OsInfo, ErrorTextsAndLastError) {
    for (const uint32_t code : {2u, 5u, 6u, 87u, 995u}) {
        const std::string text = tk::SystemErrorText(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    }
    EXPECT_EQ(tk::SystemErrorText(0x7FFFFF01u), "");

    tk::SetLastSystemError(1167);
    EXPECT_EQ(tk::LastSystemError(), 1167u);
    // The value is per thread.
    std::atomic<uint32_t> inOther{0};
    {
        tk::TThread t([&] {
            tk::SetLastSystemError(5);
            inOther = tk::LastSystemError();
        });
    }
    EXPECT_EQ(inOther.load(), 5u);
    EXPECT_EQ(tk::LastSystemError(), 1167u);
    tk::SetLastSystemError(0);
}

}  // namespace
