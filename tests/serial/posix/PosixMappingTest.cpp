// The POSIX layer's translations: port names, errno values, marked input and
// line states on termios.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/posix/MarkDecoder.h"
#include "serial/posix/PortNames.h"
#include "serial/posix/PosixErrors.h"
#include "serial/posix/TermiosMap.h"
#include "toolkit/OsInfo.h"

namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

TEST(PosixPortNames, ComNumbersAndLists) {
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\COM1"), 1u);
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\com12"), 12u);
    EXPECT_EQ(posixdev::ComPortNumber("COM3"), 3u);
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\COM"), 0u);
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\COM1x"), 0u);
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\LPT1"), 0u);
    EXPECT_EQ(posixdev::ComPortNumber("\\\\.\\COM99999999999"), 0u);

    EXPECT_EQ(posixdev::SplitPortList(""), Paths{});
    EXPECT_EQ(posixdev::SplitPortList("/a"), Paths{"/a"});
    EXPECT_EQ(posixdev::SplitPortList("/a::/c:"), (Paths{"/a", "", "/c", ""}));
}

TEST(PosixPortNames, ListFromTheVariableAndTheDefaultOrder) {
    // A /dev-like folder: the groups come in their order, each sorted by
    // number, other names are ignored.
    const fs::path dev = fs::temp_directory_path() / ("palmo-dev-" + std::to_string(getpid()));
    fs::create_directories(dev);
    for (const char* name : {"ttyS10", "ttyS2", "ttyS0", "ttyUSB1", "ttyUSB0", "rfcomm3", "ttyACM0",
                             "ttyUSBx", "console", "ttyS", "tty1", "ttyACM10"}) {
        std::ofstream(dev / name).put('x');
    }
    const std::string d = dev.string();
    EXPECT_EQ(posixdev::DefaultSerialDevices(d),
              (Paths{d + "/ttyACM0", d + "/ttyACM10", d + "/ttyUSB0", d + "/ttyUSB1",
                     d + "/rfcomm3", d + "/ttyS0", d + "/ttyS2", d + "/ttyS10"}));
    EXPECT_EQ(posixdev::DefaultSerialDevices(d + "/missing"), Paths{});

    auto resolve = [&](const std::string& name, const char* list) {
        return posixdev::ResolvePortName(name, list, d);
    };
    EXPECT_EQ(resolve("\\\\.\\COM1", nullptr).path, d + "/ttyACM0");
    EXPECT_EQ(resolve("\\\\.\\COM5", nullptr).path, d + "/rfcomm3");
    EXPECT_EQ(resolve("\\\\.\\COM8", nullptr).path, d + "/ttyS10");
    EXPECT_EQ(resolve("\\\\.\\COM9", nullptr).error, 2u);
    EXPECT_EQ(resolve("\\\\.\\COM9", nullptr).path, "");

    // The variable wins over the machine's devices, even when it is empty.
    EXPECT_EQ(resolve("\\\\.\\COM2", "/x/a:/x/b").path, "/x/b");
    EXPECT_EQ(resolve("\\\\.\\COM3", "/x/a:/x/b").error, 2u);
    EXPECT_EQ(resolve("\\\\.\\COM1", "").error, 2u);
    EXPECT_EQ(resolve("\\\\.\\COM2", "/x/a::/x/c").error, 2u);
    EXPECT_EQ(resolve("\\\\.\\COM0", "/x/a").error, 2u);
    // A path is taken as it stands; other names lead nowhere.
    EXPECT_EQ(resolve("/dev/ttyUSB7", "").path, "/dev/ttyUSB7");
    EXPECT_EQ(resolve("GPS", "/x/a").error, 2u);
    fs::remove_all(dev);
}

TEST(PosixErrors, ErrnoValuesBecomeWin32NumbersWithTexts) {
    const std::pair<int, uint32_t> expected[] = {
        {ENOENT, 2}, {ENXIO, 2},   {ENODEV, 2}, {ENOTDIR, 3}, {EACCES, 5},
        {EPERM, 5},  {EBUSY, 5},   {EAGAIN, 5}, {EMFILE, 4},  {ENOMEM, 8},
        {EBADF, 6},  {EINVAL, 87}, {EIO, 1117}, {ENOTTY, 1},  {EPROTO, 31},
    };
    for (const auto& [err, win32] : expected) {
        EXPECT_EQ(posixdev::Win32ErrorFromErrno(err), win32) << err;
        // Every number reported has the system's text.
        EXPECT_FALSE(tk::SystemErrorText(win32).empty()) << win32;
    }
    posixdev::SetLastErrorFromErrno(EBUSY);
    EXPECT_EQ(tk::LastSystemError(), 5u);
    posixdev::SetLastErrorFromErrno(ENOENT);
    EXPECT_EQ(tk::LastSystemError(), 2u);
}

std::string Decode(posixdev::TMarkDecoder& d, std::string raw, bool parity, uint32_t& errors,
                   bool classify = true) {
    const uint32_t n =
        d.Decode(raw.data(), static_cast<uint32_t>(raw.size()), parity, classify, errors);
    return raw.substr(0, n);
}

TEST(PosixMarkDecoder, MarksComeOutOfTheData) {
    posixdev::TMarkDecoder d;
    uint32_t errors = 0;
    // Plain data passes; a doubled 0xFF is one data byte.
    EXPECT_EQ(Decode(d,
                     "ab\xff\xff"
                     "c",
                     false, errors),
              "ab\xff"
              "c");
    EXPECT_EQ(errors, 0u);
    // A byte with an error is kept and reported; a break gives no byte.
    EXPECT_EQ(Decode(d, std::string("x\xff\0y", 4), true, errors), "xy");
    EXPECT_EQ(errors, leParity);
    errors = 0;
    EXPECT_EQ(Decode(d, std::string("\xff\0z", 3), false, errors), "z");
    EXPECT_EQ(errors, leFraming);
    errors = 0;
    EXPECT_EQ(Decode(d,
                     std::string("1\xff\0\0"
                                 "2",
                                 5),
                     false, errors),
              "12");
    EXPECT_EQ(errors, leBreak);

    // Marks split across reads: the partial mark waits for the next read.
    errors = 0;
    EXPECT_EQ(Decode(d, "q\xff", false, errors), "q");
    EXPECT_TRUE(d.InMark());
    EXPECT_EQ(Decode(d,
                     "\xff"
                     "r",
                     false, errors),
              "\xff"
              "r");
    EXPECT_EQ(Decode(d, "\xff", false, errors), "");
    EXPECT_EQ(Decode(d, std::string(1, '\0'), false, errors), "");
    EXPECT_EQ(Decode(d, std::string(1, '\0'), false, errors), "");
    EXPECT_EQ(errors, leBreak);
    EXPECT_FALSE(d.InMark());
    // A purge forgets a partial mark.
    EXPECT_EQ(Decode(d, "\xff", false, errors), "");
    d.Reset();
    EXPECT_EQ(Decode(d, "s", false, errors), "s");

    // Without classification (the driver counts errors) marks are only removed.
    errors = 0;
    EXPECT_EQ(Decode(d, std::string("\xff\0t\xff\0\0", 6), true, errors, false), "t");
    EXPECT_EQ(errors, 0u);
    // A lone 0xFF that no mark follows (marking was off) is data.
    EXPECT_EQ(Decode(d, "\xffu", false, errors), "\xffu");
}

TEST(PosixTermiosMap, LineStatesOnTermiosAndBack) {
    termios base{};
    posixdev::MakeRaw(base);
    EXPECT_EQ(base.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(base.c_oflag & OPOST, 0u);
    EXPECT_NE(base.c_iflag & PARMRK, 0u);
    EXPECT_NE(base.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(base.c_cc[VMIN], 0);

    struct Case {
        uint8_t size, parity, stop;
        tcflag_t cflag;
    };
    const Case cases[] = {
        {8, lsParityNone, lsOneStopBit, CS8},
        {7, lsParityOdd, lsTwoStopBits, CS7 | PARENB | PARODD | CSTOPB},
        {6, lsParityEven, lsOneStopBit, CS6 | PARENB},
        {8, lsParityMark, lsOneStopBit, CS8 | PARENB | PARODD | CMSPAR},
        {8, lsParitySpace, lsTwoStopBits, CS8 | PARENB | CMSPAR | CSTOPB},
        {5, lsParityNone, lsOne5StopBits, CS5 | CSTOPB},
    };
    constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Case& c : cases) {
        TLineState s;
        s.ByteSize = c.size;
        s.Parity = c.parity;
        s.StopBits = c.stop;
        termios t = base;
        ASSERT_EQ(posixdev::LineStateToTermios(s, t), 0u);
        EXPECT_EQ(t.c_cflag & kLineBits, c.cflag) << int(c.size) << int(c.parity);
        TLineState back;
        back.ByteSize = 1;
        posixdev::TermiosToLineState(t, back);
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
    }

    // Flow control: RTS/CTS from either half, XON/XOFF with its characters.
    TLineState s;
    s.Flags = lsfOutxCtsFlow | lsfOutX | lsfInX;
    s.XonChar = 'Q';
    s.XoffChar = 'S';
    termios t = base;
    ASSERT_EQ(posixdev::LineStateToTermios(s, t), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 'Q');
    EXPECT_EQ(t.c_cc[VSTOP], 'S');
    TLineState back;
    back.Flags = lsfOutxCtsFlow;
    posixdev::TermiosToLineState(t, back);
    EXPECT_EQ(back.Flags & (lsfOutX | lsfInX | lsfOutxCtsFlow), lsfOutX | lsfInX | lsfOutxCtsFlow);
    EXPECT_EQ(back.XonChar, 'Q');
    EXPECT_EQ(back.XoffChar, 'S');

    s.Flags = lsfRtsControlHandshake;
    t = base;
    ASSERT_EQ(posixdev::LineStateToTermios(s, t), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    // A device without the handshake reports the RTS line as driven by hand.
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    back = TLineState{};
    back.Flags = lsfRtsControlHandshake | lsfOutxCtsFlow;
    posixdev::TermiosToLineState(t, back);
    EXPECT_EQ(back.Flags & (lsfRtsControlMask | lsfOutxCtsFlow), lsfRtsControlEnable);
    // Set from outside: both halves.
    t.c_cflag |= CRTSCTS;
    back = TLineState{};
    posixdev::TermiosToLineState(t, back);
    EXPECT_EQ(back.Flags & (lsfRtsControlMask | lsfOutxCtsFlow),
              lsfRtsControlHandshake | lsfOutxCtsFlow);

    // What a line cannot do is refused.
    auto refused = [&](TLineState bad) {
        termios u = base;
        return posixdev::LineStateToTermios(bad, u) == 87u;
    };
    TLineState bad;
    bad.ByteSize = 9;
    EXPECT_TRUE(refused(bad));
    bad = TLineState{};
    bad.Parity = 5;
    EXPECT_TRUE(refused(bad));
    bad = TLineState{};
    bad.StopBits = lsOne5StopBits;  // with 8 data bits
    EXPECT_TRUE(refused(bad));
    bad.ByteSize = 5;
    bad.StopBits = lsTwoStopBits;
    EXPECT_TRUE(refused(bad));
    bad = TLineState{};
    bad.Flags = lsfInX;
    bad.XonChar = bad.XoffChar = 0x11;
    EXPECT_TRUE(refused(bad));

    // Speeds.
    EXPECT_EQ(posixdev::StandardSpeed(4800), static_cast<speed_t>(B4800));
    EXPECT_EQ(posixdev::StandardSpeed(115200), static_cast<speed_t>(B115200));
    EXPECT_EQ(posixdev::StandardSpeed(123457), static_cast<speed_t>(B0));
    EXPECT_EQ(posixdev::SpeedRate(B9600), 9600u);
    EXPECT_EQ(posixdev::SpeedRate(B0), 0u);
}

}  // namespace
