// nmeasim: a simulated GPS receiver. Writes NMEA-0183 to a pseudo-terminal of
// its own (or to standard output) at the pace of a real receiver, from the
// built-in scenario or from a recorded log.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/nmeasim/Scenario.h"

namespace nmeasim {

struct TOptions {
    bool toStdout = false;
    std::string link;    // symbolic link to the pseudo-terminal, made and removed
    std::string replay;  // a recorded log instead of the scenario
    double rate = 0;     // lines a second for a replay; 0 is the log's own cadence
    std::optional<uint64_t> seed;
    std::optional<int64_t> start;     // UTC of the first epoch, seconds since 1970
    double speed = 1;                 // time factor; 0 writes without waiting
    int64_t count = 0;                // chunks to write (epochs, or lines with a rate); 0 no limit
    bool persist = false;             // wait for the next reader when one closes the line
    bool stats = false;               // print the number of lines written at the end
    TDialect dialect = TDialect::GP;  // the scenario's sentences
    int hz = 1;                       // epochs a second: 1, 2, 5 or 10
    // Real time: the sentences carry the PC's own UTC, and each epoch's first
    // byte leaves delayMs after the start of its UTC second, plus a uniform
    // jitter of 0 to jitterMs.
    bool realtime = false;
    double delayMs = 120;
    double jitterMs = 5;
    bool help = false;
    bool version = false;  // print the name and version and end
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The start time used with --seed when --start is not given, so that a
// seeded run gives the same bytes every time: 2024-06-15T10:15:00Z.
constexpr int64_t kSeededStart = 1718446500;

// Parses the arguments after the program name; false with a one-line message.
bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error);

// YYYY-MM-DDTHH:MM:SS with an optional Z, as seconds since 1970 (UTC).
bool ParseUtc(const std::string& text, int64_t& seconds);

std::string UsageText();

// The whole program. Prints the pseudo-terminal's path (or the usage) to
// out, messages to err; the NMEA bytes go to the pseudo-terminal or to the
// process's standard output descriptor.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nmeasim
