// palmogps --help and --version: the text and status 0 when standard output
// takes it, status 1 and the reason when it cannot be written.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "PalmoVersion.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The program with no display, its standard output redirected as the shell
// words say (">FILE" is read back).
TRun RunPalmo(const std::string& option, const std::string& redirect) {
    const std::string base = testing::TempDir() + "palmogps_output_" + std::to_string(getpid());
    const std::string out = base + ".out";
    const std::string err = base + ".err";
    const std::string target = redirect.empty() ? ">'" + out + "'" : redirect;
    const int raw = std::system(("DISPLAY= WAYLAND_DISPLAY= '" + std::string(PALMOGPS_EXE) + "' " +
                                 option + " " + target + " 2>'" + err + "'")
                                    .c_str());
    TRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

}  // namespace

TEST(ProgramOutput, HelpAndVersionFailWhenStandardOutputCannotBeWritten) {
    const TRun help = RunPalmo("--help", "");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: palmogps [--gnss]", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    const TRun version = RunPalmo("--version", "");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("palmogps ") + palmo::kVersion + "\n");

    for (const char* option : {"--help", "--version"}) {
        const TRun full = RunPalmo(option, ">/dev/full");
        EXPECT_EQ(full.status, 1) << option;
        EXPECT_EQ(full.err, "PalmoGPS: cannot write to standard output: No space left on device\n")
            << option;
        const TRun closed = RunPalmo(option, ">&-");
        EXPECT_EQ(closed.status, 1) << option;
        EXPECT_EQ(closed.err, "PalmoGPS: cannot write to standard output: Bad file descriptor\n")
            << option;
    }
}
