// gpscat's command line: its options, their checks and the --help text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gps/GPS.h"

namespace gpscat {

// Which PC clock --set-clock sets.
enum class TClockChoice { None, Sys, Local };

// Where a share server listens (--serve, --serve-nmea).
struct TServeAddress {
    bool enabled = false;
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: any free port, told on standard error
};

struct TOptions {
    gps::TUnits units = gps::TUnits::Nautical;
    gps::TFloatUnits posUnits = gps::TFloatUnits::Deg;
    gps::TStrFormat format = gps::TStrFormat::DDMMSS;
    bool quiet = false;
    bool summary = false;
    bool help = false;
    bool version = false;  // print the name and version and end
    gps::TNmeaDialect dialect = gps::TNmeaDialect::ndGP;
    bool satellites = false;         // print OnSatellites
    std::vector<std::string> files;  // "-" is standard input; none means standard input

    // Reading a port instead of files.
    uint16_t port = 0;  // COM number; 0 reads files
    int32_t baud = 4800;
    int32_t timeoutMs = 3000;  // the receiver's ComTimeOut
    std::string trace;         // byte trace dump file, written at the close
    std::string log;           // dispatch log dump file, written at the close
    TClockChoice setClock = TClockChoice::None;
    int32_t waitSeconds = 60;  // for a valid fix, with setClock
    bool reconnect = true;     // reopen a device that went away once it is back
    // Switching the open port between COM port and COM switchPort every
    // switchSeconds; 0 never switches.
    uint16_t switchPort = 0;
    int32_t switchSeconds = 30;

    // The receiver's output delay (its ClockOffsetMs): the clock setting and
    // the shared-memory samples take the GPS second as starting this long
    // before the "$" of its RMC came.
    int32_t offsetMs = 0;
    int32_t shmUnit = -1;  // NTP shared-memory unit to feed; -1 none
    // Keeping the clock set: a check every everySeconds from a fresh fix,
    // setting the clock when it is more than thresholdMs off.
    TClockChoice keepClock = TClockChoice::None;
    int32_t everySeconds = 60;
    int32_t thresholdMs = 100;

    // Recording what is read: a GPX track and a raw NMEA log (empty: none).
    std::string gpx;
    std::string nmeaLog;
    bool nmeaAccepted = false;  // the log keeps only sentences that passed the checksum
    bool force = false;         // existing files are replaced
    // Sharing the receiver with other programs: gpsd's JSON protocol and a
    // plain NMEA stream over TCP.
    TServeAddress serve{false, "127.0.0.1", 2947};
    TServeAddress serveNmea{false, "127.0.0.1", 10110};
    // Files: epochs a second; 0 as fast as the clients read (or at once).
    double pace = 0;
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoFix = 3;  // --set-clock: no valid fix in time

// A server address "[HOST:]PORT" ("[::1]:2947" for an IPv6 host); the host
// stays as it is when the text has none. False when it is not one.
bool ParseServeAddress(const std::string& text, std::string& host, uint16_t& port);

// Parses the arguments after the program name. False with a one-line
// message when an option or value is not known.
bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace gpscat
