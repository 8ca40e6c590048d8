// The program's start-up options:
//   palmogps [--gnss] [--port N] [--baud B] [--open] [--satellites] [--record FILE.gpx]
//            [--share[=PORT]] [--help]
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TStartOptions {
    bool Gnss = false;        // all satellite systems
    std::string Port;         // the port number as given; empty: not given
    std::string Baud;         // the baud rate as given; empty: not given
    bool Open = false;        // tick "GPS Available " once the window shows
    bool Satellites = false;  // open the satellites window too
    std::string Record;       // record a track (and its NMEA log) into this file; empty: not
    bool Share = false;       // share the receiver with other programs once the window shows
    uint16_t SharePort = 2947;
    bool Help = false;
    // Options that were not understood, as messages for the user.
    std::vector<std::string> Problems;
};

// The options of a command line (without the program's name). Values come
// as the next argument or after "=" (--port=3).
TStartOptions ParseStartOptions(const std::vector<std::string>& args);

// The text of --help.
const std::string& StartOptionsUsage();
