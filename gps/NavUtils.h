// Receiver unit enumerations and the position text of an angle.
#pragma once

#include <string>

namespace gps {

// Unit of speed, and whether altitude is metric.
enum class TUnits : int { Nautical = 0, Statute = 1, Metric = 2 };
// Unit of latitude and longitude as numbers.
enum class TFloatUnits : int { Deg = 0, Min = 1, Sec = 2, Rad = 3 };
// Layout of latitude and longitude as text.
enum class TStrFormat : int { DDMMSS = 0, DDMMmm = 1, DDddd = 2 };

// Position text of an angle in arc-seconds; kind 0 is a latitude (N/S), any
// other a longitude (E/W). The degree sign is byte 0xB0; DDddd uses the
// user's decimal separator. An angle that is not finite or beyond any real
// position (more than 10^12 arc-seconds) gives "--".
std::string PositionText(TStrFormat format, int kind, double arcSeconds);

// Rounds to the nearest integer, a half to the even neighbour, whatever the
// floating-point environment's rounding mode.
double RoundHalfEven(double value);

}  // namespace gps
