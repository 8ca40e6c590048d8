#include "serial/posix/TermiosMap.h"

#include <utility>

namespace posixdev {

namespace {

constexpr std::pair<uint32_t, speed_t> kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

speed_t StandardSpeed(uint32_t baud) {
    for (const auto& [rate, speed] : kSpeeds) {
        if (rate == baud) {
            return speed;
        }
    }
    return B0;
}

uint32_t SpeedRate(speed_t speed) {
    for (const auto& [rate, s] : kSpeeds) {
        if (s == speed) {
            return rate;
        }
    }
    return 0;
}

void MakeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IMAXBEL | IUCLC);
    // Bad bytes and breaks come marked in the stream instead of silently.
    t.c_iflag |= PARMRK | INPCK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

uint32_t LineStateToTermios(const TLineState& state, termios& t) {
    constexpr uint32_t kBadParameter = 87;
    tcflag_t size = 0;
    switch (state.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return kBadParameter;
    }
    tcflag_t parity = 0;
    switch (state.Parity) {
        case lsParityNone:
            break;
        case lsParityOdd:
            parity = PARENB | PARODD;
            break;
        case lsParityEven:
            parity = PARENB;
            break;
        case lsParityMark:
            parity = PARENB | CMSPAR | PARODD;
            break;
        case lsParitySpace:
            parity = PARENB | CMSPAR;
            break;
        default:
            return kBadParameter;
    }
    tcflag_t stop = 0;
    switch (state.StopBits) {
        case lsOneStopBit:
            break;
        // A UART sends 1.5 stop bits for CSTOPB with 5 data bits, 2 otherwise.
        case lsOne5StopBits:
            if (state.ByteSize != 5) {
                return kBadParameter;
            }
            stop = CSTOPB;
            break;
        case lsTwoStopBits:
            if (state.ByteSize == 5) {
                return kBadParameter;
            }
            stop = CSTOPB;
            break;
        default:
            return kBadParameter;
    }
    const bool outX = (state.Flags & lsfOutX) != 0;
    const bool inX = (state.Flags & lsfInX) != 0;
    if ((outX || inX) && state.XonChar == state.XoffChar) {
        return kBadParameter;
    }
    const bool rtsCts = (state.Flags & lsfOutxCtsFlow) != 0 ||
                        (state.Flags & lsfRtsControlMask) == lsfRtsControlHandshake;

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= size | parity | stop;
    if (rtsCts) {
        t.c_cflag |= CRTSCTS;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (outX) {
        t.c_iflag |= IXON;
    }
    if (inX) {
        t.c_iflag |= IXOFF;
    }
    t.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
    return 0;
}

void TermiosToLineState(const termios& t, TLineState& state) {
    switch (t.c_cflag & CSIZE) {
        case CS5:
            state.ByteSize = 5;
            break;
        case CS6:
            state.ByteSize = 6;
            break;
        case CS7:
            state.ByteSize = 7;
            break;
        default:
            state.ByteSize = 8;
            break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        state.Parity = lsParityNone;
    } else if (t.c_cflag & CMSPAR) {
        state.Parity = (t.c_cflag & PARODD) ? lsParityMark : lsParitySpace;
    } else {
        state.Parity = (t.c_cflag & PARODD) ? lsParityOdd : lsParityEven;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
        state.StopBits = lsOneStopBit;
    } else {
        state.StopBits = state.ByteSize == 5 ? lsOne5StopBits : lsTwoStopBits;
    }

    if (t.c_cflag & CRTSCTS) {
        // Kept as applied when either half of the pair asked for it.
        if ((state.Flags & lsfOutxCtsFlow) == 0 &&
            (state.Flags & lsfRtsControlMask) != lsfRtsControlHandshake) {
            state.Flags =
                (state.Flags & ~lsfRtsControlMask) | lsfOutxCtsFlow | lsfRtsControlHandshake;
        }
    } else {
        state.Flags &= ~lsfOutxCtsFlow;
        if ((state.Flags & lsfRtsControlMask) == lsfRtsControlHandshake) {
            state.Flags = (state.Flags & ~lsfRtsControlMask) | lsfRtsControlEnable;
        }
    }
    state.Flags &= ~(lsfOutX | lsfInX);
    if (t.c_iflag & IXON) {
        state.Flags |= lsfOutX;
    }
    if (t.c_iflag & IXOFF) {
        state.Flags |= lsfInX;
    }
    state.XonChar = static_cast<char>(t.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

}  // namespace posixdev
