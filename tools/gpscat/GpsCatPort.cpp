// gpscat on a serial port: a receiver that owns the port, a message loop on
// this thread, and a stop request that ends the loop so the port closes cleanly.
#include <cerrno>
#include <cmath>
#include <exception>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>
#include <ostream>
#include <system_error>

#include "serial/ComPort.h"
#include "share/PortName.h"
#include "toolkit/Calendar.h"
#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"
#include "toolkit/Timer.h"
#include "tools/gpscat/GpsCat.h"
#include "tools/gpscat/GpsCatShare.h"
#include "tools/gpscat/JsonLine.h"
#include "tools/gpscat/ShmRefClock.h"
#include "tools/gpscat/StopRequests.h"

namespace gpscat {

namespace {

// 1980-01-01 as a day count: a fix dated before it has no real date (a
// receiver that sends no date, or one that did not parse).
constexpr double kFirstDatedDay = 29221.0;

// How long the loop waits at most before it looks at its deadlines again.
constexpr uint32_t kLoopWaitMs = 250;
// How often a device that went away is tried again.
constexpr uint32_t kReopenEveryMs = 1000;

const char* const kClockRight =
    "setting the clock needs the right to do so: root or the CAP_SYS_TIME "
    "capability on Linux (for example sudo gpscat ...), an administrator on Windows";

// The stop window of the loop: a stop request sets the flag.
class TStopWindow {
  public:
    explicit TStopWindow(bool& stop)
        : window_(tk::CreateNotifyWindow(
              "PalmoGpsCatStop",
              [&stop](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) -> tk::TLResult {
                  if (msg == kMsgStop) {
                      stop = true;
                  }
                  return 0;
              })) {}
    ~TStopWindow() {
        if (window_ != 0) {
            tk::DestroyNotifyWindow(window_);
        }
    }
    TStopWindow(const TStopWindow&) = delete;
    TStopWindow& operator=(const TStopWindow&) = delete;
    tk::TWindowHandle Handle() const { return window_; }

  private:
    tk::TWindowHandle window_;
};

// Writes what has gathered; remembers the first failure's error number.
void Flush(std::string& lines, std::ostream& out, int& writeError) {
    if (writeError != 0) {
        lines.clear();
        return;
    }
    if (!lines.empty()) {
        WriteLines(out, lines, writeError);
    }
}

// The trace's heading alone: what the close leaves when no byte arrived, so
// that the file shows the option worked. The close replaces it otherwise.
bool WriteEmptyTrace(const std::string& name, int& error) {
    errno = 0;
    std::ofstream file(name, std::ios::binary | std::ios::trunc);
    file << "Receive: \r\n";
    file.close();
    if (!file) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

// The trace and the dispatch log asked for, kept over every stretch the
// port is open: each open starts them, the first close writes the files
// and each later close appends to them.
class TPortDumps {
  public:
    TPortDumps(TRirComPort& port, const TOptions& options) : port_(port), options_(options) {
        if (!options.trace.empty()) {
            port.SetTraceName(options.trace);
        }
        if (!options.log.empty()) {
            port.SetLogName(options.log);
        }
    }
    // Before an open: what is asked for starts with it.
    void Arm() {
        if (!options_.trace.empty()) {
            port_.SetTracing(tlOn);
        }
        if (!options_.log.empty()) {
            port_.SetLogging(tlOn);
        }
    }
    // Before a close, while the port is open: writes what was gathered.
    void Dump() {
        if (!port_.Open()) {
            return;
        }
        const TTraceLogState how = written_ ? tlAppend : tlDump;
        written_ = true;
        if (!options_.trace.empty()) {
            port_.SetTracing(how);
        }
        if (!options_.log.empty()) {
            port_.SetLogging(how);
        }
    }

  private:
    TRirComPort& port_;
    const TOptions& options_;
    bool written_ = false;
};

// A file the program will write: refused when it is a directory or cannot
// be opened for writing. A file made only for the test is removed again.
bool Writable(const std::string& name, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(name, ec)) {
        error = std::make_error_code(std::errc::is_a_directory).message();
        return false;
    }
    const bool existed = std::filesystem::exists(name, ec);
    errno = 0;
    std::ofstream file(name, std::ios::binary | std::ios::app);
    if (!file.is_open()) {
        error = std::generic_category().message(errno != 0 ? errno : EACCES);
        return false;
    }
    file.close();
    if (!existed) {
        std::filesystem::remove(name, ec);
    }
    return true;
}

// The trace and log files can be written, and are two different files.
bool CheckDumpFiles(const TOptions& options, std::ostream& err) {
    std::error_code ec;
    if (!options.trace.empty() && !options.log.empty() &&
        (options.trace == options.log ||
         std::filesystem::equivalent(options.trace, options.log, ec))) {
        err << "gpscat: --trace and --log name the same file '" << options.log
            << "'; give each its own\n";
        return false;
    }
    for (const std::string* name : {&options.trace, &options.log}) {
        std::string error;
        if (!name->empty() && !Writable(*name, error)) {
            err << "gpscat: cannot write '" << *name << "': " << error << '\n';
            return false;
        }
    }
    return true;
}

}  // namespace

int RunPort(const TOptions& options, std::ostream& out, std::ostream& err) {
    if (!CheckDumpFiles(options, err)) {
        return kExitFile;
    }
    bool stop = false;
    TStopWindow stopWindow(stop);
    TStopRequests stopRequests(stopWindow.Handle(), kMsgStop);

    gps::TGPS gps;
    gps.SetUnits(options.units);
    gps.SetPosUnits(options.posUnits);
    gps.SetStrFormat(options.format);
    gps.SetComTimeOut(options.timeoutMs);
    gps.SetDialect(options.dialect);
    TRirComPort& port = gps.ComPort();
    TPortDumps dumps(port, options);

    std::string lines;
    if (!options.quiet) {
        AttachEventWriters(gps, lines, options.satellites);
        gps.OnComLoss = [&lines](gps::TGPS&) { AppendEvent(lines, "OnComLoss"); };
    }

    TCatRecording recording;
    if (!recording.Start(options, gps.Decoder(), err)) {
        return kExitFile;
    }

    int status = kExitOk;
    bool clockDone = false;
    if (options.setClock != TClockChoice::None) {
        gps::TFixEvent writer = gps.OnValidFix;
        gps.OnValidFix = [&, writer](gps::TGPS& g, double lat, double lon, double sog, double cog) {
            if (writer) {
                writer(g, lat, lon, sog, cog);
            }
            // A line the port held before it opened has no arrival time, so
            // no clock time can be told from it: the next fix sets the clock.
            if (clockDone || g.UTCTime() < kFirstDatedDay || !g.FixArrival().Known()) {
                return;
            }
            clockDone = true;
            const bool local = options.setClock == TClockChoice::Local;
            const std::string when = IsoTime(g.UTCTime());
            if (local ? g.SetLocalClock() : g.SetSysClock()) {
                err << "gpscat: " << (local ? "local" : "system") << " clock set from the fix of "
                    << when << (local ? " (the UTC fields, as local time)" : "") << '\n';
                status = kExitOk;
            } else {
                err << "gpscat: the system refused to set the " << (local ? "local" : "system")
                    << " clock; " << kClockRight << '\n';
                status = kExitFile;
            }
        };
    }

    // The shared-memory reference clock and the clock keeping both take the
    // fix of a line that dated it just now (its FixArrival is the line's
    // own), each such fix once.
    gps.SetClockOffsetMs(options.offsetMs);
    TShmRefClock shm;
    if (options.shmUnit >= 0) {
        std::string error;
        if (!shm.Attach(options.shmUnit, error)) {
            err << "gpscat: " << error << '\n';
            return kExitFile;
        }
    }
    bool refused = false;
    if (shm.Attached() || options.keepClock != TClockChoice::None) {
        gps::TFixEvent writer = gps.OnValidFix;
        TArrivalTime lastFix;
        bool checked = false;
        uint64_t lastCheckUs = 0;
        gps.OnValidFix = [&, writer, lastFix, checked, lastCheckUs](
                             gps::TGPS& g, double lat, double lon, double sog, double cog) mutable {
            if (writer) {
                writer(g, lat, lon, sog, cog);
            }
            const TArrivalTime& fix = g.FixArrival();
            if (refused || !g.FixValid() || g.UTCTime() < kFirstDatedDay || !fix.Known() ||
                !(fix == g.LineArrival()) || fix == lastFix) {
                return;
            }
            lastFix = fix;
            if (shm.Attached()) {
                // The sample keeps the fraction of the second: a receiver of several
                // fixes a second dates them .20, .40 ...
                shm.Write(g.ClockTime(), fix.Utc - options.offsetMs / tk::kMsPerDay);
            }
            if (options.keepClock == TClockChoice::None ||
                (checked && fix.MonoUs - lastCheckUs <
                                static_cast<uint64_t>(options.everySeconds) * 1000000u)) {
                return;
            }
            checked = true;
            lastCheckUs = fix.MonoUs;
            const bool local = options.keepClock == TClockChoice::Local;
            double gpsNow = 0.0;
            if (!g.GPSNow(gpsNow)) {
                return;
            }
            tk::TSystemClock& clock = tk::CurrentSystemClock();
            const double pcNow = local ? clock.LocalNow() : clock.SystemNow();
            const double offsetMs = (pcNow - gpsNow) * tk::kMsPerDay;
            bool set = false;
            if (std::fabs(offsetMs) > options.thresholdMs) {
                set = local ? g.SetLocalClock() : g.SetSysClock();
                refused = !set;
            }
            if (!options.quiet) {
                TJsonLine j(lines);
                j.String("event", "ClockCheck")
                    .Int("OffsetMs", std::llround(offsetMs))
                    .Bool("Set", set);
                j.End();
            }
            if (refused) {
                err << "gpscat: the system refused to set the " << (local ? "local" : "system")
                    << " clock; " << kClockRight << '\n';
                status = kExitFile;
            }
        };
    }
    bool deviceLost = false;
    port.SetOnDeviceLost([&deviceLost](tk::TComponent&) { deviceLost = true; });

    // Shared with other programs: the servers start before the port opens,
    // so that a busy address ends the program before it reads anything.
    TSharing sharing;
    if (!sharing.Start(options, err)) {
        return kExitFile;
    }
    if (sharing.Active()) {
        sharing.Attach(gps.Decoder());
    }

    // The ports read, in turn when switching: each (re)open starts the trace
    // and log again, each close writes them.
    const std::vector<uint16_t> ports =
        options.switchPort != 0 ? std::vector<uint16_t>{options.port, options.switchPort}
                                : std::vector<uint16_t>{options.port};
    const auto openPort = [&](uint16_t number) {
        if (gps.ComOpen()) {
            dumps.Dump();
            gps.SetComOpen(false);
        }
        gps.SetComNumber(number);
        dumps.Arm();
        gps.SetComOpen(true);
        if (sharing.Active()) {
            share::TDeviceInfo device;
            device.Path = share::SharedPortName(number);
            device.Bps = options.baud;
            device.Activated = TArrivalTime::Now().Utc;
            sharing.SetDevice(device);
        }
    };
    const auto closePort = [&] {
        dumps.Dump();
        gps.SetComOpen(false);
    };

    try {
        gps.SetComBaud(options.baud);
        openPort(options.port);
    } catch (const std::exception& e) {
        err << "gpscat: COM" << options.port << ": " << e.what() << '\n';
        return kExitFile;
    }
    int traceError = 0;
    if (!options.trace.empty() && !WriteEmptyTrace(options.trace, traceError)) {
        err << "gpscat: cannot write '" << options.trace
            << "': " << std::generic_category().message(traceError) << '\n';
        status = kExitFile;
    }

    // Opens the next port that opens, in turn after the current one (with
    // includeCurrent starting with it): true when a port is open after it.
    // A port that is not there is skipped, to be tried at the next turn.
    uint16_t current = options.port;
    const auto moveTo = [&](bool includeCurrent, bool announceBack) {
        const size_t at =
            static_cast<size_t>(std::find(ports.begin(), ports.end(), current) - ports.begin());
        const size_t first = includeCurrent ? 0 : 1;
        for (size_t k = first; k < first + ports.size(); ++k) {
            const uint16_t next = ports[(at + k) % ports.size()];
            if (next == current && gps.ComOpen()) {
                return true;
            }
            try {
                openPort(next);
            } catch (const std::exception&) {
                continue;
            }
            if (!options.quiet && (next != current || announceBack)) {
                AppendDeviceEvent(lines, next != current ? "PortSwitch" : "OnDeviceBack", next,
                                  PortPath(next));
            }
            current = next;
            return true;
        }
        return false;
    };

    int writeError = 0;
    bool waitingForDevice = false;
    uint32_t lastTry = 0;
    uint32_t lastSwitch = tk::MonotonicMs();
    const uint32_t start = tk::MonotonicMs();
    while (!stop && !clockDone && !refused && status == kExitOk) {
        tk::WaitForMessage(kLoopWaitMs);
        tk::TMessage m;
        while (!stop && tk::TakeMessage(m)) {
            if (m.msg == tk::kMsgQuit) {
                stop = true;
                break;
            }
            tk::DispatchTaken(m);
            Flush(lines, out, writeError);
        }
        if (deviceLost && !waitingForDevice) {
            // The device went away: close it, then read another port when
            // switching, and open it again once a second (the loop's wait
            // paces it) until one is back.
            deviceLost = false;
            const std::string path = PortPath(current);
            if (!options.quiet) {
                AppendDeviceEvent(lines, "OnDeviceLost", current, path);
            }
            try {
                closePort();
            } catch (const std::exception& e) {
                err << "gpscat: closing COM" << current << ": " << e.what() << '\n';
            }
            if (!options.reconnect) {
                err << "gpscat: COM" << current << ": " << path << " has gone away\n";
                status = kExitFile;
                break;
            }
            waitingForDevice = ports.size() == 1 || !moveTo(false, false);
            lastTry = lastSwitch = tk::MonotonicMs();
        } else if (waitingForDevice && tk::MonotonicMs() - lastTry >= kReopenEveryMs) {
            lastTry = lastSwitch = tk::MonotonicMs();
            waitingForDevice = !moveTo(true, true);
        } else if (ports.size() > 1 && !waitingForDevice &&
                   tk::MonotonicMs() - lastSwitch >=
                       static_cast<uint32_t>(options.switchSeconds) * 1000u) {
            lastSwitch = tk::MonotonicMs();
            // The other port, or (when it is not there) this one again.
            waitingForDevice = !moveTo(false, false);
        }
        recording.Tick();  // at least every kLoopWaitMs
        Flush(lines, out, writeError);
        sharing.WriteLog(err);
        if (writeError != 0) {
            break;  // the events cannot be written any more
        }
        if (options.setClock != TClockChoice::None && !clockDone &&
            tk::MonotonicMs() - start >= static_cast<uint32_t>(options.waitSeconds) * 1000u) {
            err << "gpscat: no valid fix came within " << options.waitSeconds
                << " s; the clock was not set\n";
            status = kExitNoFix;
            break;
        }
    }

    // The close writes the trace and the log that were asked for.
    try {
        if (port.Open()) {
            closePort();
        }
    } catch (const std::exception& e) {
        err << "gpscat: closing COM" << gps.ComNumber() << ": " << e.what() << '\n';
        status = status == kExitOk ? kExitFile : status;
    }
    sharing.Detach();
    sharing.Stop();
    sharing.WriteLog(err);
    if (!recording.Finish() && status == kExitOk) {
        status = kExitFile;
    }
    if (options.summary) {
        AppendState(lines, gps.Decoder(), gps.FixUnits());
    }
    Flush(lines, out, writeError);
    if (writeError != 0) {
        return OutputFailure(err, writeError);
    }
    return status;
}

}  // namespace gpscat
