// NMEA-0183 text helpers: payload and checksum of a line, number fields,
// angle fields and date-time fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "toolkit/Numbers.h"

namespace gps {

// The payload of a line: what follows the first "$" (or, with no "$", the
// first "!"), up to but not including the first "*" after it.
std::string_view NmeaPayload(std::string_view text);

// The exclusive OR of every byte of the payload.
uint8_t NmeaChecksumValue(std::string_view payload);

// The checksum of a payload as exactly two upper-case hexadecimal digits.
std::string NmeaChecksum(std::string_view payload);

// Whether a whole line passes the checksum test: the line holds a "*", exactly
// two characters follow it, and they equal the checksum of its payload byte
// for byte (so lower-case digits fail).
bool ChecksumOK(std::string_view line);

// Number conversion of a whole field: optional sign, digits with an optional
// "." and fraction (digits on either side of the point suffice: "5." and ".5"),
// optional exponent. The point is always ".". Anything else, an empty field
// and a value out of the double range fail (false, result untouched).
bool ParseNumber(std::string_view text, double& result);

// Integer conversion of a whole field: optional sign and decimal digits within
// the 32-bit range. Anything else fails (false, result untouched).
inline bool ParseInteger(std::string_view text, int32_t& result) {
    return tk::TryStrToInt(text, result);
}

// An angle field ddmm.mmmm or dddmm.mmmm as degrees. False when the field has
// no ".", fewer than three characters before it, anything but digits around
// that one point, or minutes of 60 or more.
bool NmeaDegMin(std::string_view field, double& degrees);

// A date field ddmmyy and a time field hhmmss[.sss] as a day count since
// 1899-12-30 (years 2000 to 2099; fractions of a second ignored). An invalid
// date or time gives -1.0; it never fails otherwise.
double NmeaDateTime(std::string_view date, std::string_view time);

// The fraction of the second of a time field hhmmss.sss, in seconds (0 to
// under 1); 0 when the field has none or it is not digits.
double NmeaTimeFraction(std::string_view time);

// Day count of a calendar date and clock time (no range checks beyond those
// the caller made).
double EncodeDayCount(int year, int month, int day, int hour, int minute, int second);

}  // namespace gps
