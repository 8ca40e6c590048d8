#include "app/StartOptions.h"

#include "toolkit/Numbers.h"

TStartOptions ParseStartOptions(const std::vector<std::string>& args) {
    TStartOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        if (name == "--port" || name == "--baud" || name == "--record") {
            if (!hasValue && i + 1 < args.size()) {
                value = args[++i];
                hasValue = true;
            }
            if (!hasValue || value.empty()) {
                o.Problems.push_back(name + " needs a value (" +
                                     (name == "--port"   ? "a port number, as in --port 1"
                                      : name == "--baud" ? "a baud rate, as in --baud 4800"
                                                         : "a file, as in --record track.gpx") +
                                     "); it is ignored.");
                continue;
            }
            (name == "--port" ? o.Port : name == "--baud" ? o.Baud : o.Record) = value;
            continue;
        }
        if (name == "--share") {
            int32_t port = 0;
            if (hasValue && (!tk::TryStrToInt(value, port) || port < 1 || port > 65535)) {
                o.Problems.push_back("--share=" + value +
                                     " is no port (a number from 1 to 65535, as in --share=2947); "
                                     "it is ignored.");
                continue;
            }
            o.Share = true;
            if (hasValue) {
                o.SharePort = static_cast<uint16_t>(port);
            }
            continue;
        }
        bool* flag = name == "--gnss"                                   ? &o.Gnss
                     : name == "--open"                                 ? &o.Open
                     : name == "--satellites"                           ? &o.Satellites
                     : name == "--help" || name == "-h" || name == "/?" ? &o.Help
                                                                        : nullptr;
        if (flag == nullptr || hasValue) {
            o.Problems.push_back("Unknown option \"" + args[i] +
                                 "\"; it is ignored. PalmoGPS --help lists the options.");
            continue;
        }
        *flag = true;
    }
    return o;
}

const std::string& StartOptionsUsage() {
    static const std::string text =
        "Usage: palmogps [--gnss] [--port N] [--baud B] [--open] [--satellites]\n"
        "                [--record FILE.gpx] [--share[=PORT]] [--help]\n"
        "       palmogps --version\n"
        "\n"
        "  --gnss        start in GNSS mode: every satellite system, not only GPS\n"
        "  --port N      preselect port COMN (one of the ports the window lists)\n"
        "  --baud B      preselect the baud rate B (150 to 115200)\n"
        "  --open        tick \"GPS Available \" once the window is shown\n"
        "  --satellites  open the satellites window too\n"
        "  --record FILE.gpx  record a GPX track, and the raw NMEA log beside it\n"
        "                (FILE.nmea), from the start; an existing file is not replaced\n"
        "  --share[=PORT]  share the receiver with other programs (gpsd clients such\n"
        "                as gpspipe, cgps, OpenCPN or QGIS) on 127.0.0.1:PORT, by\n"
        "                default gpsd's port 2947\n"
        "  --help        show this text and end\n"
        "  --version     show the program's name and version and end\n"
        "\n"
        "A port or baud rate that the window does not offer is reported and the\n"
        "window's own choice stays.\n";
    return text;
}
