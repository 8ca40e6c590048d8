#include "tools/gpscat/GpsCat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <system_error>
#include <thread>

#include "PalmoVersion.h"
#include "toolkit/Calendar.h"
#include "tools/gpscat/GpsCatShare.h"

namespace gpscat {

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kChunk = 4096;

// Hands the bytes of one read chunk to the receiver, as an open port would.
class TChunkSource : public gps::TNmeaCharSource {
  public:
    TChunkSource(const char* data, size_t size) : data_(data), size_(size) {}
    char ReceiveChar() override { return pos_ < size_ ? data_[pos_++] : '\0'; }
    bool Open() const override { return true; }

  private:
    const char* data_;
    size_t size_;
    size_t pos_ = 0;
};

// How often a file reader that waits for the clients looks again, and how
// long the clients get at the end to take what they have not yet read.
constexpr std::chrono::milliseconds kServeWait{2};
constexpr std::chrono::seconds kServeDrain{10};
// A client with more unsent output than this holds the file back.
constexpr size_t kServeBacklog = 64 * 1024;
// The longest line a paced reader holds back whole.
constexpr size_t kMaxHeldLine = 64 * 1024;

// A file fed line by line: at --pace epochs a second (an epoch starts at
// each RMC, or at each GGA of a log without RMC), and while serving no
// faster than the clients read.
class TFilePacer {
  public:
    TFilePacer(const TOptions& options, TSharing& sharing)
        : sharing_(sharing),
          period_(options.pace > 0
                      ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(1.0 / options.pace))
                      : std::chrono::steady_clock::duration::zero()) {}
    bool Active() const { return period_.count() > 0 || sharing_.Active(); }

    template <typename FeedFn>
    bool Feed(const char* data, size_t n, FeedFn& feed, std::ostream& err) {
        held_.append(data, n);
        size_t start = 0;
        for (size_t end; (end = held_.find('\n', start)) != std::string::npos; start = end + 1) {
            if (!FeedLine(std::string_view(held_).substr(start, end + 1 - start), feed, err)) {
                return false;
            }
        }
        held_.erase(0, start);
        if (held_.size() > kMaxHeldLine) {
            return Finish(feed);
        }
        return true;
    }

    // Feeds what is held (the end of a file without a last line end).
    template <typename FeedFn>
    bool Finish(FeedFn& feed) {
        const std::string rest = std::move(held_);
        held_.clear();
        for (size_t at = 0; at < rest.size(); at += kChunk) {
            if (!feed(rest.data() + at, std::min(kChunk, rest.size() - at))) {
                return false;
            }
        }
        return true;
    }

  private:
    template <typename FeedFn>
    bool FeedLine(std::string_view line, FeedFn& feed, std::ostream& err) {
        if (period_.count() > 0 && StartsEpoch(line)) {
            const auto now = std::chrono::steady_clock::now();
            if (started_) {
                std::this_thread::sleep_until(next_);
            }
            // A reader held back longer than an epoch starts the beat anew.
            next_ = (started_ && next_ + period_ > now ? next_ : now) + period_;
            started_ = true;
        }
        while (sharing_.Active() && sharing_.Backlog() > kServeBacklog) {
            sharing_.WriteLog(err);
            std::this_thread::sleep_for(kServeWait);
        }
        sharing_.WriteLog(err);
        for (size_t at = 0; at < line.size(); at += kChunk) {
            if (!feed(line.data() + at, std::min(kChunk, line.size() - at))) {
                return false;
            }
        }
        return true;
    }

    bool StartsEpoch(std::string_view line) {
        const size_t dollar = line.find('$');
        if (dollar == std::string_view::npos || line.size() < dollar + 6) {
            return false;
        }
        const std::string_view type = line.substr(dollar + 3, 3);
        rmcSeen_ = rmcSeen_ || type == "RMC";
        return type == "RMC" || (!rmcSeen_ && type == "GGA");
    }

    TSharing& sharing_;
    const std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point next_;
    bool started_ = false;
    bool rmcSeen_ = false;
    std::string held_;
};

std::string CharText(char c) {
    if (c == '\0') {
        return {};
    }
    return Latin1ToUtf8(std::string_view(&c, 1));
}

template <typename Enum>
struct TChoice {
    const char* name;
    Enum value;
};

constexpr TChoice<gps::TUnits> kUnits[] = {{"nautical", gps::TUnits::Nautical},
                                           {"statute", gps::TUnits::Statute},
                                           {"metric", gps::TUnits::Metric}};
constexpr TChoice<gps::TFloatUnits> kPosUnits[] = {{"deg", gps::TFloatUnits::Deg},
                                                   {"min", gps::TFloatUnits::Min},
                                                   {"sec", gps::TFloatUnits::Sec},
                                                   {"rad", gps::TFloatUnits::Rad}};
constexpr TChoice<gps::TNmeaDialect> kDialects[] = {{"gp", gps::TNmeaDialect::ndGP},
                                                    {"gnss", gps::TNmeaDialect::ndGNSS}};
constexpr TChoice<gps::TStrFormat> kFormats[] = {{"ddmmss", gps::TStrFormat::DDMMSS},
                                                 {"ddmmmm", gps::TStrFormat::DDMMmm},
                                                 {"ddddd", gps::TStrFormat::DDddd}};

template <typename Enum, size_t N>
bool Choose(const TChoice<Enum> (&choices)[N], const std::string& option, const std::string& value,
            Enum& result, std::string& error) {
    std::string names;
    for (const TChoice<Enum>& c : choices) {
        if (value == c.name) {
            result = c.value;
            return true;
        }
        names += names.empty() ? "" : ", ";
        names += c.name;
    }
    error = "gpscat: invalid value '" + value + "' for " + option + " (one of " + names + ")";
    return false;
}

Json TimeJson(double dayCount) {
    // 0 (no time yet) and -1 (a date or time that did not decode) are no time.
    if (!(dayCount > 0.0)) {
        return nullptr;
    }
    const std::string text = IsoTime(dayCount);
    return text.empty() ? Json(nullptr) : Json(text);
}

// A whole number from low to high, digits only.
bool WholeNumber(const std::string& text, int32_t low, int32_t high, int32_t& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int32_t v = std::stoi(text);
    if (v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

// A whole number from low to high, with an optional minus sign.
bool SignedNumber(const std::string& text, int32_t low, int32_t high, int32_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    int32_t magnitude = 0;
    if (!WholeNumber(negative ? text.substr(1) : text, 0, 999999999, magnitude)) {
        return false;
    }
    const int32_t v = negative ? -magnitude : magnitude;
    if (v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

void AppendLine(std::string& out, const Json& j) {
    out += j.dump();
    out += '\n';
}

}  // namespace

bool ParseServeAddress(const std::string& text, std::string& host, uint16_t& port) {
    std::string h = host;
    std::string p = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos || close < 2) {
            return false;
        }
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (h.empty() || h.find(':') != std::string::npos) {
            return false;
        }
    }
    int32_t number = 0;
    if (!WholeNumber(p, 0, 65535, number) || p.size() > 5) {
        return false;
    }
    for (const char c : h) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b >= 0x7F || c == '/' || c == '[' || c == ']') {
            return false;
        }
    }
    host = h;
    port = static_cast<uint16_t>(number);
    return true;
}

std::string UsageText() {
    return "Usage: gpscat [options] [file ...]\n"
           "       gpscat --port N [--baud B] [--timeout MS] [--trace FILE] [--log FILE] "
           "[options]\n"
           "       gpscat --port N --set-clock sys|local [--wait SECONDS] [--baud B]\n"
           "       gpscat --port N --keep-clock sys|local [--every S] [--threshold MS]\n"
           "       gpscat --port N --shm UNIT [--offset-ms MS]\n"
           "       gpscat --port N --serve [[HOST:]PORT] [--serve-nmea [[HOST:]PORT]]\n"
           "       gpscat --serve [[HOST:]PORT] [--pace N] file ...\n"
           "Feeds NMEA-0183 bytes from the files (or standard input when no file or \"-\"\n"
           "is given), or from serial port COM N, into a GPS receiver and prints one JSON\n"
           "object per event.\n"
           "\n"
           "Options:\n"
           "  --units nautical|statute|metric   speed unit of SOG (default nautical)\n"
           "  --pos-units deg|min|sec|rad       unit of Lat and Lon (default deg)\n"
           "  --format ddmmss|ddmmmm|ddddd      layout of LatAsStr and LonAsStr (default ddmmss)\n"
           "  --dialect gp|gnss                 decode the GP talker only (default), or every\n"
           "                                    satellite system's talker (GN, GL, GA, GB...)\n"
           "  --satellites                      also print the satellites in view after\n"
           "                                    each complete GSV group\n"
           "  --summary                         end with the receiver's whole state (with\n"
           "                                    --port: once the port is closed; with\n"
           "                                    --dialect gnss also the satellites)\n"
           "  --quiet                           print no events (only the summary, if asked)\n"
           "  --help                            show this text\n"
           "  --version                         print the program's name and version\n"
           "\n"
           "Reading a port (until Ctrl-C or SIGTERM, which close the port cleanly):\n"
           "  --port N              COM port number, 1 to 255; on Linux the N-th path of\n"
           "                        PALMOGPS_PORTS (colon-separated) when it is set, else\n"
           "                        the N-th of /dev/ttyACM*, ttyUSB*, rfcomm*, ttyS*\n"
           "  --baud B              baud rate (default 4800)\n"
           "  --timeout MS          silence before {\"event\":\"OnComLoss\"} (default 3000)\n"
           "  --trace FILE          keep a byte trace of the port, written at the close\n"
           "  --log FILE            keep a dispatch log of the port, written at the close\n"
           "  --set-clock sys|local set the PC clock (UTC, or the same fields as local\n"
           "                        time) once from the first valid fix, then end; this\n"
           "                        needs the right to set the clock (root or CAP_SYS_TIME\n"
           "                        on Linux, an administrator on Windows)\n"
           "  --wait SECONDS        with --set-clock: how long to wait for a valid fix\n"
           "                        (default 60)\n"
           "  --keep-clock sys|local  keep the PC clock set: every --every seconds\n"
           "                        (default 60), from a fresh valid fix, compare it with\n"
           "                        GPS time and set it when it is more than --threshold\n"
           "                        milliseconds (default 100) off; prints\n"
           "                        {\"event\":\"ClockCheck\",\"OffsetMs\":...,\"Set\":...} per "
           "check\n"
           "  --shm UNIT            (Linux) feed NTP shared-memory unit UNIT, the SHM\n"
           "                        reference clock of chrony and ntpd, one sample per\n"
           "                        valid dated RMC; units 0 and 1 need root\n"
           "  --offset-ms MS        the receiver's output delay: its sentences leave MS\n"
           "                        milliseconds after the start of the GPS second\n"
           "                        (default 0); used by --set-clock, --keep-clock, --shm\n"
           "  --no-reconnect        end with status 1 when the device goes away, instead\n"
           "                        of opening it again once a second until it is back\n"
           "  --switch-port M       switch the open port to COM M and back every\n"
           "                        --switch-every seconds (default 30), printing\n"
           "                        {\"event\":\"PortSwitch\",\"Port\":...} after each switch\n"
           "  --switch-every S      with --switch-port: the seconds between switches\n"
           "\n"
           "Sharing the receiver with other programs (the events print as before):\n"
           "  --serve [[HOST:]PORT]  serve gpsd's JSON protocol (the one gpspipe, cgps,\n"
           "                        OpenCPN, QGIS and Python's gps module speak) on\n"
           "                        HOST:PORT, default 127.0.0.1:2947; a HOST of 0.0.0.0\n"
           "                        or this machine's address shares the position with\n"
           "                        anyone who can reach the port; PORT 0 picks a free\n"
           "                        one, told on standard error\n"
           "  --serve-nmea [[HOST:]PORT]  send every sentence, as it came, to each client\n"
           "                        of a plain NMEA 0183 TCP stream (chart plotters),\n"
           "                        default 127.0.0.1:10110\n"
           "  --pace N              with files: N epochs a second (default: as fast as\n"
           "                        the clients read them); while serving, a file is\n"
           "                        read once a client watches\n"
           "\n"
           "Exit status: 0 done (or clock set), 1 a file or the port could not be read,\n"
           "the system refused to set the clock or an address could not be served, 2 bad\n"
           "usage, 3 no valid fix in time.\n";
}

bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error) {
    bool filesOnly = false;
    std::string portOnly;  // an option that needs --port
    bool waitGiven = false;
    std::string keepGiven;  // an option that needs --keep-clock
    bool switchEveryGiven = false;
    bool paceGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (filesOnly || arg == "-" || arg.empty() || arg[0] != '-') {
            options.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            filesOnly = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        const bool takesValue =
            name == "--units" || name == "--dialect" || name == "--pos-units" ||
            name == "--format" || name == "--port" || name == "--baud" || name == "--timeout" ||
            name == "--trace" || name == "--log" || name == "--set-clock" || name == "--wait" ||
            name == "--keep-clock" || name == "--every" || name == "--threshold" ||
            name == "--shm" || name == "--offset-ms" || name == "--switch-port" ||
            name == "--switch-every" || name == "--pace";
        // The address of --serve and --serve-nmea is optional: the next
        // argument is taken when it is one.
        const bool serveOption = name == "--serve" || name == "--serve-nmea";
        if (serveOption && !hasValue && i + 1 < args.size() && !filesOnly) {
            std::string host;
            uint16_t port = 0;
            if (ParseServeAddress(args[i + 1], host, port)) {
                value = args[++i];
                hasValue = true;
            }
        }
        if (takesValue && !hasValue) {
            if (i + 1 >= args.size()) {
                error = "gpscat: option '" + name + "' needs a value";
                return false;
            }
            value = args[++i];
            hasValue = true;
        }
        if (!takesValue && !serveOption && hasValue) {
            error = "gpscat: option '" + name + "' takes no value";
            return false;
        }
        if (name == "--units") {
            if (!Choose(kUnits, name, value, options.units, error)) {
                return false;
            }
        } else if (name == "--pos-units") {
            if (!Choose(kPosUnits, name, value, options.posUnits, error)) {
                return false;
            }
        } else if (name == "--dialect") {
            if (!Choose(kDialects, name, value, options.dialect, error)) {
                return false;
            }
        } else if (name == "--satellites") {
            options.satellites = true;
        } else if (name == "--format") {
            if (!Choose(kFormats, name, value, options.format, error)) {
                return false;
            }
        } else if (name == "--port") {
            int32_t port = 0;
            if (!WholeNumber(value, 1, 255, port)) {
                error = "gpscat: invalid value '" + value + "' for --port (a number from 1 to 255)";
                return false;
            }
            options.port = static_cast<uint16_t>(port);
        } else if (name == "--baud") {
            if (!WholeNumber(value, 1, 4000000, options.baud)) {
                error = "gpscat: invalid value '" + value + "' for --baud (bits a second)";
                return false;
            }
            portOnly = "--baud";
        } else if (name == "--timeout") {
            if (!WholeNumber(value, 0, 86400000, options.timeoutMs)) {
                error = "gpscat: invalid value '" + value +
                        "' for --timeout (milliseconds, 0 for never)";
                return false;
            }
            portOnly = "--timeout";
        } else if (name == "--trace" || name == "--log") {
            if (value.empty()) {
                error = "gpscat: option '" + name + "' needs a file name";
                return false;
            }
            (name == "--trace" ? options.trace : options.log) = value;
            portOnly = name;
        } else if (name == "--set-clock") {
            if (value == "sys") {
                options.setClock = TClockChoice::Sys;
            } else if (value == "local") {
                options.setClock = TClockChoice::Local;
            } else {
                error = "gpscat: invalid value '" + value + "' for --set-clock (one of sys, local)";
                return false;
            }
            portOnly = "--set-clock";
        } else if (name == "--keep-clock") {
            if (value == "sys") {
                options.keepClock = TClockChoice::Sys;
            } else if (value == "local") {
                options.keepClock = TClockChoice::Local;
            } else {
                error =
                    "gpscat: invalid value '" + value + "' for --keep-clock (one of sys, local)";
                return false;
            }
            portOnly = "--keep-clock";
        } else if (name == "--every") {
            if (!WholeNumber(value, 1, 86400, options.everySeconds)) {
                error = "gpscat: invalid value '" + value + "' for --every (seconds, 1 or more)";
                return false;
            }
            keepGiven = "--every";
        } else if (name == "--threshold") {
            if (!WholeNumber(value, 0, 86400000, options.thresholdMs)) {
                error = "gpscat: invalid value '" + value + "' for --threshold (milliseconds)";
                return false;
            }
            keepGiven = "--threshold";
        } else if (name == "--shm") {
            if (!WholeNumber(value, 0, 255, options.shmUnit)) {
                error = "gpscat: invalid value '" + value + "' for --shm (a unit from 0 to 255)";
                return false;
            }
            portOnly = "--shm";
        } else if (name == "--offset-ms") {
            if (!SignedNumber(value, -10000, 10000, options.offsetMs)) {
                error = "gpscat: invalid value '" + value +
                        "' for --offset-ms (milliseconds, -10000 to 10000)";
                return false;
            }
            portOnly = "--offset-ms";
        } else if (name == "--wait") {
            if (!WholeNumber(value, 1, 86400, options.waitSeconds)) {
                error = "gpscat: invalid value '" + value + "' for --wait (seconds, 1 or more)";
                return false;
            }
            waitGiven = true;
        } else if (name == "--switch-port") {
            int32_t port = 0;
            if (!WholeNumber(value, 1, 255, port)) {
                error = "gpscat: invalid value '" + value +
                        "' for --switch-port (a number from 1 to 255)";
                return false;
            }
            options.switchPort = static_cast<uint16_t>(port);
            portOnly = name;
        } else if (name == "--switch-every") {
            if (!WholeNumber(value, 1, 86400, options.switchSeconds)) {
                error =
                    "gpscat: invalid value '" + value + "' for --switch-every (seconds, 1 or more)";
                return false;
            }
            switchEveryGiven = true;
        } else if (serveOption) {
            TServeAddress& a = name == "--serve" ? options.serve : options.serveNmea;
            a.enabled = true;
            if (hasValue && !ParseServeAddress(value, a.host, a.port)) {
                error = "gpscat: invalid value '" + value + "' for " + name +
                        " ([HOST:]PORT, PORT from 0 to 65535)";
                return false;
            }
        } else if (name == "--pace") {
            double pace = 0;
            if (!gps::ParseNumber(value, pace) || !(pace > 0) || pace > 1000) {
                error = "gpscat: invalid value '" + value +
                        "' for --pace (epochs a second, more than 0, at most 1000)";
                return false;
            }
            options.pace = pace;
            paceGiven = true;
        } else if (name == "--no-reconnect") {
            options.reconnect = false;
            portOnly = name;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--summary") {
            options.summary = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else {
            error = "gpscat: unknown option '" + arg + "' (try --help)";
            return false;
        }
    }
    if (options.port != 0 && !options.files.empty()) {
        error = "gpscat: give either --port or files, not both";
        return false;
    }
    if (paceGiven && options.port != 0) {
        error = "gpscat: option '--pace' is for files, not --port";
        return false;
    }
    if (options.serve.enabled && options.serveNmea.enabled &&
        options.serve.port == options.serveNmea.port && options.serve.port != 0 &&
        options.serve.host == options.serveNmea.host) {
        error = "gpscat: --serve and --serve-nmea need different ports";
        return false;
    }
    if (options.port == 0 && !portOnly.empty()) {
        error = "gpscat: option '" + portOnly + "' needs --port";
        return false;
    }
    if (switchEveryGiven && options.switchPort == 0) {
        error = "gpscat: option '--switch-every' needs --switch-port";
        return false;
    }
    if (options.switchPort != 0 && options.switchPort == options.port) {
        error = "gpscat: --switch-port needs a port other than --port";
        return false;
    }
    if (waitGiven && options.setClock == TClockChoice::None) {
        error = "gpscat: option '--wait' needs --set-clock";
        return false;
    }
    if (!keepGiven.empty() && options.keepClock == TClockChoice::None) {
        error = "gpscat: option '" + keepGiven + "' needs --keep-clock";
        return false;
    }
    if (options.keepClock != TClockChoice::None && options.setClock != TClockChoice::None) {
        error = "gpscat: give either --set-clock or --keep-clock, not both";
        return false;
    }
    return true;
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 4);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string IsoTime(double dayCount) {
    // Years 1 to 9999 keep the four-digit layout.
    if (!std::isfinite(dayCount) || dayCount < -693593.0 || dayCount >= 2958466.0) {
        return {};
    }
    const auto seconds = static_cast<int64_t>(std::llround(dayCount * 86400.0));
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    // Day 0 of the count is 1899-12-30, which is day -25569 from 1970-01-01.
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    tk::CivilFromDays(days + tk::kDayCountEpoch, year, month, day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(year),
                  month, day, static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
    return text;
}

bool WriteLines(std::ostream& out, std::string& lines, int& error) {
    errno = 0;
    if (!lines.empty()) {
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
        lines.clear();
    }
    out.flush();
    if (!out) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

int OutputFailure(std::ostream& err, int error) {
    if (error != EPIPE) {
        err << "gpscat: cannot write output: " << std::generic_category().message(error) << '\n';
    }
    return kExitFile;
}

Json StateJson(const gps::TGPS& gps) {
    double hdop = 0;
    double vdop = 0;
    double pdop = 0;
    gps.GDOP(hdop, vdop, pdop);
    Json sats = Json::array();
    for (int n = 0; n < 32; ++n) {
        if (gps.FixSatSet() & (uint32_t{1} << n)) {
            sats.push_back(n);
        }
    }
    Json j;
    j["event"] = "State";
    j["FixValid"] = gps.FixValid();
    j["UTCTime"] = TimeJson(gps.UTCTime());
    j["LatDeg"] = gps.LatDeg();
    j["LonDeg"] = gps.LonDeg();
    j["SpeedKnots"] = gps.SpeedKnots();
    j["COG"] = gps.COG();
    j["HasMagVar"] = gps.HasMagVar();
    j["MagVar"] = gps.MagVar();
    j["FixQuality"] = gps.FixQuality();
    j["FixSatCount"] = gps.FixSatCount();
    j["RawAltitude"] = gps.RawAltitude();
    j["AltUnits"] = CharText(gps.AltUnits());
    j["HasGeoidDelta"] = gps.HasGeoidDelta();
    j["GeoidDelta"] = gps.GeoidDelta();
    j["DeltaUnits"] = CharText(gps.DeltaUnits());
    j["IsDGPS"] = gps.IsDGPS();
    j["AgeDGPS"] = gps.AgeDGPS();
    j["StnDGPS"] = Latin1ToUtf8(gps.StnDGPS());
    j["FixMode"] = Latin1ToUtf8(gps.FixMode());
    j["FixDim"] = gps.FixDim();
    j["SatSet"] = std::move(sats);
    j["PDOP"] = pdop;
    j["HDOP"] = hdop;
    j["VDOP"] = vdop;
    j["NmeaSentence"] = Latin1ToUtf8(gps.NmeaSentence());
    j["Altitude"] = gps.Altitude();
    j["LatAsStr"] = Latin1ToUtf8(gps.LatAsStr());
    j["LonAsStr"] = Latin1ToUtf8(gps.LonAsStr());
    if (gps.Dialect() == gps::TNmeaDialect::ndGNSS) {
        Json used = Json::array();
        for (const gps::TSatelliteId& id : gps.UsedSatellites()) {
            used.push_back(Json{{"System", gps::GnssSystemName(id.System)}, {"PRN", id.PRN}});
        }
        j["UsedSatellites"] = std::move(used);
        j["SatellitesInView"] = SatellitesJson(gps.SatellitesInView());
    }
    return j;
}

Json SatellitesJson(const gps::TSatelliteList& satellites) {
    const auto optional = [](const std::optional<int32_t>& v) {
        return v ? Json(*v) : Json(nullptr);
    };
    Json list = Json::array();
    for (const gps::TSatellite& s : satellites) {
        Json j;
        j["System"] = gps::GnssSystemName(s.System);
        j["PRN"] = s.PRN;
        j["Elevation"] = optional(s.Elevation);
        j["Azimuth"] = optional(s.Azimuth);
        j["SNR"] = optional(s.SNR);
        j["Used"] = s.Used;
        list.push_back(std::move(j));
    }
    return list;
}

void AttachSatellitesWriter(gps::TGPS& gps, std::string& out) {
    gps.OnSatellites = [&out](gps::TGPS&, const gps::TSatelliteList& satellites) {
        Json j;
        j["event"] = "OnSatellites";
        j["Satellites"] = SatellitesJson(satellites);
        AppendLine(out, j);
    };
}

void AttachEventWriters(gps::TGPS& gps, std::string& out) {
    gps.OnSentence = [&out](gps::TGPS& g, const std::string& id, const gps::TDataArray&) {
        Json j;
        j["event"] = "OnSentence";
        j["SenID"] = Latin1ToUtf8(id);
        j["Sentence"] = Latin1ToUtf8(g.NmeaSentence());
        AppendLine(out, j);
    };
    gps.OnValidFix = [&out](gps::TGPS& g, double lat, double lon, double sog, double cog) {
        Json j;
        j["event"] = "OnValidFix";
        j["Lat"] = lat;
        j["Lon"] = lon;
        j["SOG"] = sog;
        j["COG"] = cog;
        j["UTCTime"] = TimeJson(g.UTCTime());
        j["LatAsStr"] = Latin1ToUtf8(g.LatAsStr());
        j["LonAsStr"] = Latin1ToUtf8(g.LonAsStr());
        AppendLine(out, j);
    };
    gps.OnFixLoss = [&out](gps::TGPS&) { AppendLine(out, Json{{"event", "OnFixLoss"}}); };
    gps.OnError = [&out](gps::TGPS&, const std::string& message) {
        Json j;
        j["event"] = "OnError";
        j["ErrMsg"] = Latin1ToUtf8(message);
        AppendLine(out, j);
    };
    gps.OnFixProgress = [&out](gps::TGPS&, const std::string& progress, int32_t dim) {
        Json j;
        j["event"] = "OnFixProgress";
        j["Progress"] = Latin1ToUtf8(progress);
        j["FixD"] = dim;
        AppendLine(out, j);
    };
    gps.OnFixQuality = [&out](gps::TGPS&, const std::string& quality, int32_t q) {
        Json j;
        j["event"] = "OnFixQuality";
        j["Quality"] = Latin1ToUtf8(quality);
        j["FixQ"] = q;
        AppendLine(out, j);
    };
}

int Run(const std::vector<std::string>& args, std::istream& stdinStream, std::ostream& out,
        std::ostream& err) {
    TOptions options;
    std::string error;
    if (!ParseOptions(args, options, error)) {
        err << error << '\n';
        return kExitUsage;
    }
    if (options.help) {
        out << UsageText();
        return kExitOk;
    }
    if (options.version) {
        out << "gpscat " << palmo::kVersion << '\n';
        return kExitOk;
    }
    if (options.port != 0) {
        return RunPort(options, out, err);
    }
    if (options.files.empty()) {
        options.files.emplace_back("-");
    }

    // Open every file before reading any, so that a missing one stops the
    // program before it prints anything.
    std::vector<std::unique_ptr<std::ifstream>> files;
    for (const std::string& name : options.files) {
        if (name == "-") {
            files.emplace_back();
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(name, ec)) {
            err << "gpscat: cannot read '" << name
                << "': " << std::make_error_code(std::errc::is_a_directory).message() << '\n';
            return kExitFile;
        }
        errno = 0;
        auto file = std::make_unique<std::ifstream>(name, std::ios::binary);
        if (!file->is_open()) {
            const int code = errno != 0 ? errno : ENOENT;
            err << "gpscat: cannot read '" << name << "': " << std::generic_category().message(code)
                << '\n';
            return kExitFile;
        }
        files.push_back(std::move(file));
    }

    gps::TGPS gps;
    gps.SetUnits(options.units);
    gps.SetPosUnits(options.posUnits);
    gps.SetStrFormat(options.format);
    gps.SetDialect(options.dialect);
    std::string lines;
    if (!options.quiet) {
        AttachEventWriters(gps, lines);
        if (options.satellites) {
            AttachSatellitesWriter(gps, lines);
        }
    }

    TSharing sharing;
    if (!sharing.Start(options, err)) {
        return kExitFile;
    }
    if (sharing.Active()) {
        sharing.Attach(gps.Decoder());
        // A file is read once a client watches: nobody would see it otherwise.
        while (sharing.Watchers() == 0) {
            sharing.WriteLog(err);
            std::this_thread::sleep_for(kServeWait);
        }
    }
    TFilePacer pacer(options, sharing);

    char buffer[kChunk];
    for (size_t i = 0; i < files.size(); ++i) {
        std::istream& in = files[i] ? static_cast<std::istream&>(*files[i]) : stdinStream;
        if (sharing.Active()) {
            share::TDeviceInfo device;
            device.Path = options.files[i] == "-" ? "stdin" : options.files[i];
            device.Bps = 0;
            device.Activated = TArrivalTime::Now().Utc;
            sharing.SetDevice(device);
        }
        int writeError = 0;
        // Hands bytes to the receiver and writes the events they raised.
        auto feed = [&](const char* data, size_t n) {
            TChunkSource source(data, n);
            gps.PortTriggerAvail(source, static_cast<uint16_t>(n));
            return lines.empty() || WriteLines(out, lines, writeError);
        };
        while (in) {
            // Wait for one byte, then take whatever else has already arrived,
            // so that a live stream (a pipe from a device) is decoded as it comes.
            in.read(buffer, 1);
            if (in.gcount() == 0) {
                break;
            }
            const auto n = 1 + static_cast<size_t>(in.readsome(buffer + 1, sizeof buffer - 1));
            if (!pacer.Active() ? !feed(buffer, n) : !pacer.Feed(buffer, n, feed, err)) {
                return OutputFailure(err, writeError);
            }
        }
        if (pacer.Active() && !pacer.Finish(feed)) {
            return OutputFailure(err, writeError);
        }
        if (in.bad()) {
            out.flush();
            err << "gpscat: cannot read '" << options.files[i] << "': read error\n";
            return kExitFile;
        }
    }
    if (sharing.Active()) {
        // What the clients have not taken yet still reaches them.
        sharing.Drain(kServeDrain);
        sharing.Detach();
        sharing.Stop();
        sharing.WriteLog(err);
    }
    if (options.summary) {
        AppendLine(lines, StateJson(gps));
    }
    int writeError = 0;
    if (!WriteLines(out, lines, writeError)) {
        return OutputFailure(err, writeError);
    }
    return kExitOk;
}

}  // namespace gpscat
