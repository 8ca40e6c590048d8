// The recorded receiver logs of the quirk tests, replayed by the simulator on a
// pseudo-terminal and read by gpscat from the port: the same events as gpscat
// gives for the same bytes in a file.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/posix/ChildProcess.h"

namespace {

// The quirks' logs: a standing u-blox, CR CR LF, GSV groups of mixed signals,
// Garmin and Quectel proprietary sentences, ten fixes a second, GLONASS in GPGSV.
const char* const kLogs[] = {"ublox8-neo-m8n",        "telit-pls83w-modem",  "quectel-lc79d-l1l5",
                             "garmin-gps38",          "quectel-eg25g-modem", "trimble-rtk-10hz",
                             "glonass-geostar-geos1m"};

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "gpscat_logs_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> Events(childtest::TChild& cat) {
    std::vector<std::string> lines;
    while (std::optional<std::string> line = cat.ReadLine()) {
        lines.push_back(*line);
    }
    return lines;
}

}  // namespace

TEST(GpsCatReceiverLogs, ThroughAPseudoTerminalAsFromTheFile) {
    std::string joined;
    for (const char* name : kLogs) {
        const std::string path = std::string(PALMO_RECEIVER_CORPUS) + "/" + name + ".nmea";
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << "no receiver log " << path << "; run scripts/receiver-corpus.sh "
                        << PALMO_RECEIVER_CORPUS;
        std::ostringstream s;
        s << in.rdbuf();
        joined += s.str();
    }
    const std::string file = TempPath("joined.nmea");
    std::ofstream(file, std::ios::binary) << joined;
    const std::vector<std::string> options = {"--dialect", "gnss", "--satellites"};

    std::vector<std::string> args = options;
    args.push_back(file);
    childtest::TChild fromFile(GPSCAT_EXE, args);
    const std::vector<std::string> expected = Events(fromFile);
    EXPECT_EQ(fromFile.Wait(), 0);
    ASSERT_GT(expected.size(), 1000u);

    // Line by line at 5000 lines a second: the whole replay takes well under
    // the five seconds after which an unheard GSV group drops out.
    const std::string link = TempPath("link");
    childtest::TChild sim(NMEASIM_EXE, {"--link", link, "--replay", file, "--rate", "5000"});
    ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
    args = options;
    args.insert(args.end(), {"--port", "1", "--timeout", "3000"});
    childtest::TChild cat(GPSCAT_EXE, args, {"PALMOGPS_PORTS=" + link});
    std::vector<std::string> got;
    while (got.size() < expected.size()) {
        const std::optional<std::string> line = cat.ReadLine(15000);
        ASSERT_TRUE(line) << got.size() << " of " << expected.size() << " events; "
                          << cat.ErrText();
        // The port's own events: a silence, the simulator's end closing the device.
        if (*line == R"({"event":"OnComLoss"})" ||
            line->rfind(R"({"event":"OnDeviceLost")", 0) == 0) {
            continue;
        }
        got.push_back(*line);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(sim.Wait(), 0);
    // Nothing more but the port's own events.
    while (const std::optional<std::string> line = cat.ReadLine(1000)) {
        EXPECT_TRUE(*line == R"({"event":"OnComLoss"})" ||
                    line->rfind(R"({"event":"OnDeviceLost")", 0) == 0)
            << *line;
    }
    cat.Signal(SIGINT);
    EXPECT_EQ(cat.Wait(), 0);
    std::remove(file.c_str());
}
