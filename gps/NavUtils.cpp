#include "gps/NavUtils.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "toolkit/RegionalFormats.h"

namespace gps {

namespace {

constexpr char kDegreeSign = '\xB0';
// Beyond this many arc-seconds an angle is no position at all, and its whole
// seconds would no longer fit the integer arithmetic below.
constexpr double kLargestAngle = 1e12;

void AppendInt(std::string& out, int64_t value, int minDigits) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    for (int n = static_cast<int>(end - buffer); n < minDigits; ++n) {
        out += '0';
    }
    out.append(buffer, end);
}

}  // namespace

double RoundHalfEven(double value) {
    const double lower = std::floor(value);
    const double diff = value - lower;
    if (diff > 0.5) {
        return lower + 1.0;
    }
    if (diff < 0.5) {
        return lower;
    }
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

std::string PositionText(TStrFormat format, int kind, double arcSeconds) {
    double x = arcSeconds;
    if (!std::isfinite(x) || std::fabs(x) > kLargestAngle) {
        return "--";
    }
    if (x > 648000.0) {
        x -= 1296000.0;
    }
    char letter;
    if (kind == 0) {
        letter = x > 0 ? 'N' : 'S';
    } else {
        letter = x > 0 ? 'E' : 'W';
    }
    x = std::fabs(x);
    const double decimalDegrees = x / 3600.0;
    const auto s = static_cast<int64_t>(RoundHalfEven(x));
    const int64_t deg = s / 3600;
    const int64_t min = (s % 3600) / 60;
    const int64_t sec = s % 60;
    const auto hund = static_cast<int64_t>(RoundHalfEven(static_cast<double>(sec) * 1.667));

    std::string out;
    out.reserve(24);
    switch (format) {
        case TStrFormat::DDMMSS:
            AppendInt(out, deg, 1);
            out += kDegreeSign;
            out += ' ';
            AppendInt(out, min, 2);
            out += "' ";
            AppendInt(out, sec, 2);
            out += "\" ";
            break;
        case TStrFormat::DDMMmm:
            AppendInt(out, deg, 1);
            out += kDegreeSign;
            out += ' ';
            AppendInt(out, min, 2);
            out += '.';
            AppendInt(out, hund, 2);
            out += ' ';
            break;
        case TStrFormat::DDddd:
        default: {
            char buffer[48];
            const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, decimalDegrees,
                                                 std::chars_format::fixed, 4);
            (void)ec;
            const char separator = tk::DecimalSeparator();
            for (const char* p = buffer; p != end; ++p) {
                out += *p == '.' ? separator : *p;
            }
            out += ' ';
            break;
        }
    }
    out += letter;
    return out;
}

}  // namespace gps
