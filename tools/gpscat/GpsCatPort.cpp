// gpscat on a serial port: a receiver that owns the port, a message loop on
// this thread, and a stop request that ends the loop so the port closes cleanly.
#include <cerrno>
#include <cmath>
#include <exception>
#include <fstream>
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
#include "tools/gpscat/ShmRefClock.h"
#include "tools/gpscat/StopRequests.h"

namespace gpscat {

namespace {

using Json = nlohmann::ordered_json;

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

std::string DeviceEvent(const char* event, uint16_t port, const std::string& path) {
    Json j;
    j["event"] = event;
    j["Port"] = "COM" + std::to_string(port);
    j["Path"] = Latin1ToUtf8(path);
    return j.dump() + '\n';
}

}  // namespace

int RunPort(const TOptions& options, std::ostream& out, std::ostream& err) {
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
    if (!options.trace.empty()) {
        port.SetTraceName(options.trace);
        port.SetTracing(tlOn);
    }
    if (!options.log.empty()) {
        port.SetLogName(options.log);
        port.SetLogging(tlOn);
    }

    std::string lines;
    if (!options.quiet) {
        AttachEventWriters(gps, lines);
        if (options.satellites) {
            AttachSatellitesWriter(gps, lines);
        }
        gps.OnComLoss = [&lines](gps::TGPS&) {
            lines += Json{{"event", "OnComLoss"}}.dump();
            lines += '\n';
        };
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
            Json j;
            j["event"] = "ClockCheck";
            j["OffsetMs"] = std::llround(offsetMs);
            j["Set"] = set;
            lines += j.dump();
            lines += '\n';
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
    auto shareDevice = [&] {
        if (sharing.Active()) {
            share::TDeviceInfo device;
            device.Path = share::SharedPortName(gps.ComNumber());
            device.Bps = options.baud;
            device.Activated = TArrivalTime::Now().Utc;
            sharing.SetDevice(device);
        }
    };

    try {
        gps.SetComBaud(options.baud);
        gps.SetComNumber(options.port);
        gps.SetComOpen(true);
    } catch (const std::exception& e) {
        err << "gpscat: COM" << options.port << ": " << e.what() << '\n';
        return kExitFile;
    }
    shareDevice();
    int traceError = 0;
    if (!options.trace.empty() && !WriteEmptyTrace(options.trace, traceError)) {
        err << "gpscat: cannot write '" << options.trace
            << "': " << std::generic_category().message(traceError) << '\n';
        status = kExitFile;
    }

    // After the first close the trace and the log are appended to, so that
    // what came before a lost device is kept.
    bool dumped = false;
    auto closePort = [&] {
        if (dumped && port.Open()) {
            port.SetTracing(tlAppend);
            port.SetLogging(tlAppend);
        }
        dumped = true;
        gps.SetComOpen(false);
    };

    // Switching between two ports: the receiver closes the one and opens the
    // other, as a change of its port number while open does.
    uint32_t lastSwitch = tk::MonotonicMs();
    auto switchPort = [&] {
        lastSwitch = tk::MonotonicMs();
        const uint16_t next = gps.ComNumber() == options.port ? options.switchPort : options.port;
        if (dumped) {
            if (!options.trace.empty()) {
                port.SetTracing(tlAppend);
            }
            if (!options.log.empty()) {
                port.SetLogging(tlAppend);
            }
        }
        dumped = true;
        try {
            gps.SetComNumber(next);
        } catch (const std::exception& e) {
            err << "gpscat: COM" << next << ": " << e.what() << '\n';
            status = kExitFile;
            return;
        }
        shareDevice();
        if (!options.quiet) {
            lines += DeviceEvent("PortSwitch", next, PortPath(next));
        }
    };

    int writeError = 0;
    bool waitingForDevice = false;
    uint32_t lastTry = 0;
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
            // The device went away: close, then open it again once a second
            // (the loop's wait paces it) until it is back.
            deviceLost = false;
            const uint16_t number = gps.ComNumber();
            const std::string path = PortPath(number);
            if (!options.quiet) {
                lines += DeviceEvent("OnDeviceLost", number, path);
            }
            try {
                closePort();
            } catch (const std::exception& e) {
                err << "gpscat: closing COM" << number << ": " << e.what() << '\n';
            }
            if (!options.reconnect) {
                err << "gpscat: COM" << number << ": " << path << " has gone away\n";
                status = kExitFile;
            }
            waitingForDevice = true;
            lastTry = tk::MonotonicMs();
        } else if (waitingForDevice && tk::MonotonicMs() - lastTry >= kReopenEveryMs) {
            lastTry = tk::MonotonicMs();
            try {
                if (!options.trace.empty()) {
                    port.SetTracing(tlOn);
                }
                if (!options.log.empty()) {
                    port.SetLogging(tlOn);
                }
                gps.SetComOpen(true);
                waitingForDevice = false;
                shareDevice();
                if (!options.quiet) {
                    lines +=
                        DeviceEvent("OnDeviceBack", gps.ComNumber(), PortPath(gps.ComNumber()));
                }
            } catch (const std::exception&) {
                // Not back yet.
            }
        } else if (options.switchPort != 0 && !waitingForDevice &&
                   tk::MonotonicMs() - lastSwitch >=
                       static_cast<uint32_t>(options.switchSeconds) * 1000u) {
            switchPort();
        }
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
    if (options.summary) {
        lines += StateJson(gps).dump();
        lines += '\n';
    }
    Flush(lines, out, writeError);
    if (writeError != 0) {
        return OutputFailure(err, writeError);
    }
    return status;
}

}  // namespace gpscat
