// Standard input and output as byte streams.
#pragma once

namespace gpscat {

// Puts standard input and output into binary mode where the platform
// translates line ends, so carriage returns reach the receiver unchanged.
void UseBinaryStdio();

}  // namespace gpscat
