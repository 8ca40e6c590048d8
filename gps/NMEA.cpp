#include "gps/NMEA.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "toolkit/Calendar.h"

namespace gps {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the run of digits that starts at pos.
size_t DigitRun(std::string_view text, size_t pos) {
    size_t n = 0;
    while (pos + n < text.size() && IsDigit(text[pos + n])) {
        ++n;
    }
    return n;
}

// Characters first to first + count - 1 (0-based) of a text, as many as exist.
std::string_view Piece(std::string_view text, size_t first, size_t count) {
    if (first >= text.size()) {
        return {};
    }
    return text.substr(first, count);
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && tk::IsLeapYear(year)) {
        return 29;
    }
    return kDays[month - 1];
}

// Exact powers of ten as doubles.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common field without exponent and with at most 15 digits: its digits
// form an integer that a double holds exactly, and one division by an exact
// power of ten is correctly rounded, so the result equals from_chars'.
double ShortDecimal(std::string_view digitsAndPoint, size_t fracDigits) {
    uint64_t mantissa = 0;
    for (const char c : digitsAndPoint) {
        if (c != '.') {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
        }
    }
    return static_cast<double>(mantissa) / kPow10[fracDigits];
}

}  // namespace

std::string_view NmeaPayload(std::string_view text) {
    size_t start = text.find('$');
    if (start == std::string_view::npos) {
        start = text.find('!');
    }
    if (start != std::string_view::npos) {
        text.remove_prefix(start + 1);
    }
    const size_t star = text.find('*');
    if (star != std::string_view::npos) {
        text = text.substr(0, star);
    }
    return text;
}

uint8_t NmeaChecksumValue(std::string_view payload) {
    // Eight bytes at a time, folded at the end: the exclusive OR does not
    // care in which order the bytes meet.
    const char* p = payload.data();
    size_t n = payload.size();
    uint64_t wide = 0;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        wide ^= word;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    auto sum = static_cast<uint8_t>(wide);
    for (; n > 0; --n, ++p) {
        sum ^= static_cast<uint8_t>(*p);
    }
    return sum;
}

std::string NmeaChecksum(std::string_view payload) {
    const uint8_t sum = NmeaChecksumValue(payload);
    return std::string{kHexDigits[sum >> 4], kHexDigits[sum & 0x0F]};
}

bool ChecksumOK(std::string_view line) {
    // A line without "*" carries no checksum to compare, and text after the
    // two checksum digits (such as a line appended without its own "$")
    // means the line is not the one the checksum covers.
    const size_t star = line.find('*');
    if (star == std::string_view::npos || line.size() - star != 3) {
        return false;
    }
    const uint8_t sum = NmeaChecksumValue(NmeaPayload(line));
    return line[star + 1] == kHexDigits[sum >> 4] && line[star + 2] == kHexDigits[sum & 0x0F];
}

bool ParseNumber(std::string_view text, double& result) {
    // Check the shape first: from_chars alone would also take "inf", "nan"
    // and hexadecimal-looking text, and no leading "+".
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    const size_t numberStart = pos;
    const size_t intDigits = DigitRun(text, pos);
    pos += intDigits;
    size_t fracDigits = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        fracDigits = DigitRun(text, pos);
        pos += fracDigits;
    }
    if (intDigits + fracDigits == 0) {
        return false;
    }
    const size_t mantissaEnd = pos;
    bool hasExponent = false;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        hasExponent = true;
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            ++pos;
        }
        const size_t expDigits = DigitRun(text, pos);
        if (expDigits == 0) {
            return false;
        }
        pos += expDigits;
    }
    if (pos != text.size()) {
        return false;
    }
    double value = 0.0;
    if (!hasExponent && intDigits + fracDigits <= 15) {
        value = ShortDecimal(text.substr(numberStart, mantissaEnd - numberStart), fracDigits);
        result = negative ? -value : value;
        return true;
    }
    const char* first = text.data() + numberStart;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(value)) {
        return false;
    }
    result = negative ? -value : value;
    return true;
}

bool NmeaDegMin(std::string_view field, double& degrees) {
    const size_t point = field.find('.');
    // The two minute digits stand right before the point, the degrees before them.
    if (point == std::string_view::npos || point < 3) {
        return false;
    }
    // Only digits around the one point: a sign or junk is corruption, also
    // past the ten characters of minutes that are read.
    if (DigitRun(field, 0) != point || DigitRun(field, point + 1) != field.size() - point - 1) {
        return false;
    }
    double deg = 0.0;
    double min = 0.0;
    if (!ParseNumber(field.substr(0, point - 2), deg) ||
        !ParseNumber(field.substr(point - 2, 10), min) || min >= 60.0) {
        return false;
    }
    degrees = deg + min / 60.0;
    return true;
}

double EncodeDayCount(int year, int month, int day, int hour, int minute, int second) {
    const int64_t days = tk::DaysFromCivil(year, month, day) - tk::kDayCountEpoch;
    return static_cast<double>(days) + (hour * 3600 + minute * 60 + second) / 86400.0;
}

double NmeaTimeFraction(std::string_view time) {
    if (time.size() < 8 || time[6] != '.') {
        return 0.0;
    }
    const std::string_view digits = time.substr(7);
    if (DigitRun(digits, 0) != digits.size()) {
        return 0.0;
    }
    // Milliseconds are all a clock can use; more digits add nothing.
    double fraction = 0.0;
    double scale = 0.1;
    for (size_t i = 0; i < digits.size() && i < 6; ++i, scale /= 10.0) {
        fraction += (digits[i] - '0') * scale;
    }
    return fraction;
}

double NmeaDateTime(std::string_view date, std::string_view time) {
    int32_t day = 0;
    int32_t month = 0;
    int32_t year = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    if (!ParseInteger(Piece(date, 0, 2), day) || !ParseInteger(Piece(date, 2, 2), month) ||
        !ParseInteger(Piece(date, 4, 2), year) || !ParseInteger(Piece(time, 0, 2), hour) ||
        !ParseInteger(Piece(time, 2, 2), minute) || !ParseInteger(Piece(time, 4, 2), second)) {
        return -1.0;
    }
    year += 2000;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return -1.0;
    }
    return EncodeDayCount(year, month, day, hour, minute, second);
}

}  // namespace gps
