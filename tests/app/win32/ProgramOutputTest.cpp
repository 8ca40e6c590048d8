// PalmoGPS.exe --help and --version: the text and status 0 when standard
// output takes it, status 1 when it cannot be written (a pipe whose reader
// has gone).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "PalmoVersion.h"

namespace {

// Closes a handle at the end of its scope.
struct THandle {
    HANDLE h = nullptr;
    ~THandle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    void Close() {
        CloseHandle(h);
        h = nullptr;
    }
};

// Runs the program with the option and standard output on out; its exit
// status, or ~0 when it did not start or end in time.
DWORD RunWithOutput(const std::string& option, HANDLE out) {
    std::string command = std::string("\"") + PALMOGPS_EXE + "\" " + option;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return ~DWORD{0};
    }
    THandle process{pi.hProcess};
    THandle thread{pi.hThread};
    DWORD code = ~DWORD{0};
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &code);
    }
    return code;
}

// A pipe whose write end the program inherits.
bool MakePipe(THandle& read, THandle& write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreatePipe(&read.h, &write.h, &sa, 1 << 16) &&
           SetHandleInformation(read.h, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

TEST(ProgramOutput, HelpAndVersionFailWhenStandardOutputCannotBeWritten) {
    for (const std::string option : {"--help", "--version"}) {
        // Read to the end: the text, status 0.
        THandle read;
        THandle write;
        ASSERT_TRUE(MakePipe(read, write));
        EXPECT_EQ(RunWithOutput(option, write.h), 0u) << option;
        write.Close();
        std::string text;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read.h, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            text.append(buffer, got);
        }
        const std::string expected =
            option == "--help" ? "Usage: palmogps" : std::string("palmogps ") + palmo::kVersion;
        EXPECT_EQ(text.rfind(expected, 0), 0u) << text;

        // Nobody reads: the text cannot be written.
        THandle gone;
        THandle orphan;
        ASSERT_TRUE(MakePipe(gone, orphan));
        gone.Close();
        // Wine too turns the write into a failure here, so nothing is relaxed for it.
        const DWORD status = RunWithOutput(option, orphan.h);
        EXPECT_EQ(status, 1u) << option;
    }
}
