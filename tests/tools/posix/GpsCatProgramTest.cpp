// The built gpscat program run on real files and on standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

TEST(GpsCatProgram, OutputThatCannotBeWrittenIsAnError) {
    const std::string err = testing::TempDir() + "gpscat_full_" + std::to_string(getpid());
    auto run = [&](const std::string& redirection) {
        const std::string command = std::string("'") + GPSCAT_EXE + "' '" + kSample + "' " +
                                    redirection + " 2>'" + err + "'";
        const int raw = std::system(command.c_str());
        TProgramRun r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.err = ReadAll(err);
        return r;
    };
    const TProgramRun full = run(">/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "gpscat: cannot write output: No space left on device\n");
    const TProgramRun closed = run(">&-");
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "gpscat: cannot write output: Bad file descriptor\n");
    // A reader that goes away ends the program quietly, not with success.
    const std::string pipeline = std::string("for i in 1 2 3 4 5 6; do cat '") + kSample +
                                 "'; done | '" + GPSCAT_EXE + "' 2>'" + err +
                                 "' | head -n 1 >/dev/null; exit \\${PIPESTATUS[1]}";
    const int raw = std::system(("bash -c \"" + pipeline + "\"").c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) != 0) << raw;
    EXPECT_EQ(ReadAll(err), "");
    std::remove(err.c_str());
}

// Standard error and the exit status of "gpscat --port 1" on ports. With
// asUser, a run as root keeps its user but loses the power to pass over
// file permissions (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), as a plain user
// has it; it still reaches the program wherever the build tree lies.
TProgramRun RunOnPorts(const std::string& ports, bool asUser) {
    const std::string err = testing::TempDir() + "gpscat_open_" + std::to_string(getpid());
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        setenv("PALMOGPS_PORTS", ports.c_str(), 1);
        // Dropped from the bounding set, they stay away after the exec too.
        if (asUser && getuid() == 0 &&
            (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
             prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)) {
            _exit(126);
        }
        execl(GPSCAT_EXE, GPSCAT_EXE, "--port", "1", "--timeout", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    TProgramRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = ReadAll(err);
    std::remove(err.c_str());
    return r;
}

TEST(GpsCatProgram, OpenErrorsSayWhatIsWrong) {
    // Paths that are no serial port.
    const std::string file = testing::TempDir() + "gpscat_plain_" + std::to_string(getpid());
    std::ofstream(file) << "not a port";
    for (const std::string& path : {std::string("/dev/null"), file, testing::TempDir()}) {
        const TProgramRun r = RunOnPorts(path, false);
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.err, "gpscat: COM1: " + path + " is not a serial port\n");
    }
    std::remove(file.c_str());

    // A device node that its permissions keep this user from: access denied,
    // naming the node's group (for a pseudo-terminal "tty").
    char name[128] = {};
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    ASSERT_EQ(chmod(name, 0), 0);
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0);
    const group* g = getgrgid(st.st_gid);
    const std::string groupName = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    const TProgramRun denied = RunOnPorts(name, true);
    ASSERT_NE(denied.status, 126) << "could not drop the capabilities";
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.err, std::string("gpscat: COM1: access denied to ") + name +
                              " - add your user to the '" + groupName +
                              "' group (then log in again)\n");
    close(master);
}
