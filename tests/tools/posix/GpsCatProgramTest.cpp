// The built gpscat program run on real files and on standard input.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

struct TProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the shell command line "gpscat <arguments>" with the given redirection of input.
TProgramRun RunProgram(const std::string& arguments, const std::string& input = "/dev/null") {
    // Files of this process's own: tests run in parallel.
    const std::string base = testing::TempDir() + "gpscat_" + std::to_string(getpid());
    const std::string out = base + ".out";
    const std::string err = base + ".err";
    const std::string command = std::string("'") + GPSCAT_EXE + "' " + arguments + " <'" + input +
                                "' >'" + out + "' 2>'" + err + "'";
    const int raw = std::system(command.c_str());
    TProgramRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

std::vector<json> JsonLines(const std::string& text) {
    std::vector<json> lines;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        lines.push_back(json::parse(line));  // throws on anything but one JSON object a line
    }
    return lines;
}

const std::string kSample = std::string(PALMO_SOURCE_DIR) + "/samples/receiver.nmea";

}  // namespace

TEST(GpsCatProgram, SampleLogFromFileAndStandardInput) {
    const TProgramRun file = RunProgram("--summary '" + kSample + "'");
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.err, "");
    const std::vector<json> lines = JsonLines(file.out);
    ASSERT_GT(lines.size(), 500u);
    // The sample starts cold: garbage, then no fix, then fixes.
    EXPECT_EQ(lines[0]["event"], "OnError");
    int fixes = 0;
    int losses = 0;
    int errors = 0;
    for (const json& j : lines) {
        fixes += j["event"] == "OnValidFix";
        losses += j["event"] == "OnFixLoss";
        errors += j["event"] == "OnError";
    }
    EXPECT_GT(fixes, 100);
    EXPECT_GE(losses, 1);
    EXPECT_GE(errors, 3);
    const json& state = lines.back();
    EXPECT_EQ(state["event"], "State");
    EXPECT_EQ(state["FixValid"], true);
    EXPECT_EQ(state["IsDGPS"], true);
    // The degree sign arrives as UTF-8.
    EXPECT_NE(state["LatAsStr"].get<std::string>().find("\xC2\xB0"), std::string::npos);

    // The same bytes through standard input, named "-" or not named at all.
    const TProgramRun piped = RunProgram("--summary -", kSample);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, file.out);
    const TProgramRun bare = RunProgram("--summary", kSample);
    EXPECT_EQ(bare.out, file.out);
}

TEST(GpsCatProgram, ExitStatusesAndMessages) {
    const TProgramRun usage = RunProgram("--units parsecs '" + kSample + "'");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, "");
    EXPECT_NE(usage.err.find("parsecs"), std::string::npos);
    EXPECT_EQ(usage.err.find('\n'), usage.err.size() - 1);

    const TProgramRun missing = RunProgram("'" + kSample + "' /nonexistent/receiver.nmea");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("/nonexistent/receiver.nmea"), std::string::npos);
    EXPECT_EQ(missing.err.find('\n'), missing.err.size() - 1);

    const TProgramRun help = RunProgram("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: gpscat"), std::string::npos);

    const TProgramRun quiet = RunProgram("--quiet '" + kSample + "'");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
}
