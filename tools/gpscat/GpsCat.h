// gpscat: feeds NMEA bytes into a receiver as an open port would and writes
// one JSON object per event, one per line, in the order raised.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "gps/GPS.h"
#include "toolkit/Messages.h"

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

// The message that a stop request posts to the port loop's window.
constexpr uint32_t kMsgStop = tk::kMsgUser + 0x101;

// A server address "[HOST:]PORT" ("[::1]:2947" for an IPv6 host); the host
// stays as it is when the text has none. False when it is not one.
bool ParseServeAddress(const std::string& text, std::string& host, uint16_t& port);

// Parses the arguments after the program name. False with a one-line
// message when an option or value is not known.
bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error);

// The text of --help.
std::string UsageText();

// A byte string as JSON text: each byte is the Latin-1 code point of that
// value, so the result is valid UTF-8 and 0xB0 reads as the degree sign.
std::string Latin1ToUtf8(std::string_view bytes);

// A day count (days since 1899-12-30) as YYYY-MM-DDTHH:MM:SSZ, to the nearest
// second; empty for a value outside years 1 to 9999.
std::string IsoTime(double dayCount);

// Writes the lines to out, flushes and empties them. False when the output
// did not take them, with the system's error number in error.
bool WriteLines(std::ostream& out, std::string& lines, int& error);

// Reports output that could not be written ("gpscat: cannot write output:"
// and the reason; nothing for a reader that went away, a closed pipe) and
// returns the status for it, kExitFile.
int OutputFailure(std::ostream& err, int error);

// The path or device name that COM number port is opened by.
std::string PortPath(uint16_t port);

// Every fix-state field of the receiver, under its own name.
nlohmann::ordered_json StateJson(const gps::TGPS& gps);

// Assigns the receiver's six events so that each appends its JSON line to out.
void AttachEventWriters(gps::TGPS& gps, std::string& out);

// A list of satellites in view as JSON objects (System, PRN, Elevation,
// Azimuth, SNR, Used; null for an empty field).
nlohmann::ordered_json SatellitesJson(const gps::TSatelliteList& satellites);

// Assigns OnSatellites so that it appends its JSON line to out.
void AttachSatellitesWriter(gps::TGPS& gps, std::string& out);

// Reads the port through a receiver until a stop request (kMsgStop to the
// loop's window, or a quit message) and prints its events, OnComLoss
// included; then closes the port, which writes a trace or log asked for.
// With setClock it sets the clock from the first dated valid fix and ends.
// Runs a message loop on the calling thread.
int RunPort(const TOptions& options, std::ostream& out, std::ostream& err);

// The whole program: options, input, events, summary. Reads stdinStream for
// "-" (or when no file is named); writes JSON lines to out and messages to err.
int Run(const std::vector<std::string>& args, std::istream& stdinStream, std::ostream& out,
        std::ostream& err);

}  // namespace gpscat
