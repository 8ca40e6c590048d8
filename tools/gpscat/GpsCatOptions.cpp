#include "tools/gpscat/GpsCatOptions.h"

#include "gps/NMEA.h"
#include "tools/common/Options.h"

namespace gpscat {

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
    uint16_t number = 0;
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
        !tk::TryStrToInt(p, number)) {
        return false;
    }
    for (const char c : h) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b >= 0x7F || c == '/' || c == '[' || c == ']') {
            return false;
        }
    }
    host = h;
    port = number;
    return true;
}

std::string UsageText() {
    return "Usage: gpscat [options] [file ...]\n"
           "       gpscat --port N [--baud B] [--timeout MS] [--trace FILE] [--log FILE] "
           "[options]\n"
           "       gpscat --port N --set-clock sys|local [--wait SECONDS] [--baud B]\n"
           "       gpscat --port N --keep-clock sys|local [--every S] [--threshold MS]\n"
           "       gpscat --port N --shm UNIT [--offset-ms MS]\n"
           "       gpscat [--gpx FILE] [--nmea-log FILE] [--force] --port N | file ...\n"
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
           "  --gpx FILE                        record the valid fixes as a GPX 1.1 track,\n"
           "                                    whole after every point\n"
           "  --nmea-log FILE                   record the bytes as they came (with files:\n"
           "                                    as read), written out at least once a second\n"
           "  --nmea-accepted                   the NMEA log keeps only the sentences that\n"
           "                                    passed the checksum\n"
           "  --force                           replace a recording file that exists\n"
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
           "                        valid dated RMC; units 0 and 1 only as root and only\n"
           "                        into a segment root owns, 2 and up for every user\n"
           "                        (mode 0666)\n"
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
           "Exit status: 0 done (or clock set), 1 a file or the port could not be read, a\n"
           "recording file could not be written, the system refused to set the clock or\n"
           "an address could not be served, 2 bad usage, 3 no valid fix in time.\n";
}

bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error) {
    cli::TOptionReader in(
        "gpscat", args,
        {"--units",     "--dialect",     "--pos-units",    "--format",    "--port",
         "--baud",      "--timeout",     "--trace",        "--log",       "--set-clock",
         "--wait",      "--keep-clock",  "--every",        "--threshold", "--shm",
         "--offset-ms", "--switch-port", "--switch-every", "--gpx",       "--nmea-log",
         "--pace"});
    // The address of --serve and --serve-nmea may be left out: the next
    // argument is taken when it is one.
    in.OptionalValues({"--serve", "--serve-nmea"}, [](const std::string& next) {
        std::string host;
        uint16_t port = 0;
        return ParseServeAddress(next, host, port);
    });
    bool paceGiven = false;
    std::string portOnly;  // an option that needs --port
    bool waitGiven = false;
    std::string keepGiven;  // an option that needs --keep-clock
    bool switchEveryGiven = false;
    const auto clockChoice = [&](TClockChoice& choice) {
        return in.Choose({{"sys", TClockChoice::Sys}, {"local", TClockChoice::Local}}, choice);
    };
    while (in.Next()) {
        const std::string& name = in.Name();
        bool ok = true;
        if (in.IsOperand()) {
            options.files.push_back(in.Arg());
        } else if (name == "--units") {
            ok = in.Choose({{"nautical", gps::TUnits::Nautical},
                            {"statute", gps::TUnits::Statute},
                            {"metric", gps::TUnits::Metric}},
                           options.units);
        } else if (name == "--pos-units") {
            ok = in.Choose({{"deg", gps::TFloatUnits::Deg},
                            {"min", gps::TFloatUnits::Min},
                            {"sec", gps::TFloatUnits::Sec},
                            {"rad", gps::TFloatUnits::Rad}},
                           options.posUnits);
        } else if (name == "--dialect") {
            ok = in.Choose({{"gp", gps::TNmeaDialect::ndGP}, {"gnss", gps::TNmeaDialect::ndGNSS}},
                           options.dialect);
        } else if (name == "--satellites") {
            options.satellites = true;
        } else if (name == "--format") {
            ok = in.Choose({{"ddmmss", gps::TStrFormat::DDMMSS},
                            {"ddmmmm", gps::TStrFormat::DDMMmm},
                            {"ddddd", gps::TStrFormat::DDddd}},
                           options.format);
        } else if (name == "--port") {
            ok = in.Whole<uint16_t>(1, 255, options.port, "a number from 1 to 255");
        } else if (name == "--baud") {
            ok = in.Whole(1, 4000000, options.baud, "bits a second");
            portOnly = name;
        } else if (name == "--timeout") {
            ok = in.Whole(0, 86400000, options.timeoutMs, "milliseconds, 0 for never");
            portOnly = name;
        } else if (name == "--trace" || name == "--log") {
            if (in.Value().empty()) {
                ok = in.Fail("option '" + name + "' needs a file name");
            }
            (name == "--trace" ? options.trace : options.log) = in.Value();
            portOnly = name;
        } else if (name == "--set-clock") {
            ok = clockChoice(options.setClock);
            portOnly = name;
        } else if (name == "--keep-clock") {
            ok = clockChoice(options.keepClock);
            portOnly = name;
        } else if (name == "--every") {
            ok = in.Whole(1, 86400, options.everySeconds, "seconds, 1 or more");
            keepGiven = name;
        } else if (name == "--threshold") {
            ok = in.Whole(0, 86400000, options.thresholdMs, "milliseconds");
            keepGiven = name;
        } else if (name == "--shm") {
            ok = in.Whole(0, 255, options.shmUnit, "a unit from 0 to 255");
            portOnly = name;
        } else if (name == "--offset-ms") {
            ok = in.Whole(-10000, 10000, options.offsetMs, "milliseconds, -10000 to 10000");
            portOnly = name;
        } else if (name == "--wait") {
            ok = in.Whole(1, 86400, options.waitSeconds, "seconds, 1 or more");
            waitGiven = true;
        } else if (name == "--switch-port") {
            ok = in.Whole<uint16_t>(1, 255, options.switchPort, "a number from 1 to 255");
            portOnly = name;
        } else if (name == "--switch-every") {
            ok = in.Whole(1, 86400, options.switchSeconds, "seconds, 1 or more");
            switchEveryGiven = true;
        } else if (name == "--serve" || name == "--serve-nmea") {
            TServeAddress& a = name == "--serve" ? options.serve : options.serveNmea;
            a.enabled = true;
            if (in.HasValue() && !ParseServeAddress(in.Value(), a.host, a.port)) {
                ok = in.Bad("[HOST:]PORT, PORT from 0 to 65535");
            }
        } else if (name == "--pace") {
            double pace = 0;
            if (!gps::ParseNumber(in.Value(), pace) || !(pace > 0) || pace > 1000) {
                ok = in.Bad("epochs a second, more than 0, at most 1000");
            }
            options.pace = pace;
            paceGiven = true;
        } else if (name == "--no-reconnect") {
            options.reconnect = false;
            portOnly = name;
        } else if (name == "--gpx" || name == "--nmea-log") {
            if (in.Value().empty()) {
                ok = in.Fail("option '" + name + "' needs a file name");
            }
            (name == "--gpx" ? options.gpx : options.nmeaLog) = in.Value();
        } else if (name == "--nmea-accepted") {
            options.nmeaAccepted = true;
        } else if (name == "--force") {
            options.force = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--summary") {
            options.summary = true;
        } else if (!in.HelpOrVersion(options.help, options.version)) {
            ok = in.Unknown();
        }
        if (!ok) {
            break;
        }
    }
    std::string problem;
    if (in.Failed()) {
        error = in.Error();
        return false;
    }
    if (options.port != 0 && !options.files.empty()) {
        problem = "give either --port or files, not both";
    } else if (paceGiven && options.port != 0) {
        problem = "option '--pace' is for files, not --port";
    } else if (options.serve.enabled && options.serveNmea.enabled &&
               options.serve.port == options.serveNmea.port && options.serve.port != 0 &&
               options.serve.host == options.serveNmea.host) {
        problem = "--serve and --serve-nmea need different ports";
    } else if (options.port == 0 && !portOnly.empty()) {
        problem = "option '" + portOnly + "' needs --port";
    } else if (switchEveryGiven && options.switchPort == 0) {
        problem = "option '--switch-every' needs --switch-port";
    } else if (options.switchPort != 0 && options.switchPort == options.port) {
        problem = "--switch-port needs a port other than --port";
    } else if (waitGiven && options.setClock == TClockChoice::None) {
        problem = "option '--wait' needs --set-clock";
    } else if (!keepGiven.empty() && options.keepClock == TClockChoice::None) {
        problem = "option '" + keepGiven + "' needs --keep-clock";
    } else if (options.force && options.gpx.empty() && options.nmeaLog.empty()) {
        problem = "option '--force' needs --gpx or --nmea-log";
    } else if (options.nmeaAccepted && options.nmeaLog.empty()) {
        problem = "option '--nmea-accepted' needs --nmea-log";
    } else if (!options.gpx.empty() && options.gpx == options.nmeaLog) {
        problem = "--gpx and --nmea-log need two different files";
    } else if (options.keepClock != TClockChoice::None && options.setClock != TClockChoice::None) {
        problem = "give either --set-clock or --keep-clock, not both";
    }
    if (!problem.empty()) {
        error = "gpscat: " + problem;
        return false;
    }
    return true;
}

}  // namespace gpscat
