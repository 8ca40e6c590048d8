// PalmoGPS: connects to the display, creates the application and the main
// window, and runs until the window closes.
//   palmogps [--gnss] [--port N] [--baud B] [--open] [--satellites] [--record FILE.gpx]
//            [--share[=PORT]] [--help]
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "PalmoVersion.h"
#include "app/SatellitesForm.h"
#include "app/StartOptions.h"
#include "app/Unit1.h"
#include "serial/ComSelectForm.h"
#include "serial/PortProbe.h"
#include "toolkit/ConsoleOutput.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/OsInfo.h"

namespace {

// Flushes standard output: false, with a message on standard error, when
// what was printed could not be written (a full disk, a closed descriptor).
bool OutputWritten() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    std::fprintf(stderr, "PalmoGPS: cannot write to standard output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}

// Shows a message for the user in a box over the window.
void Tell(const std::string& text) {
    if (tk::TGuiBackend* backend = tk::GuiBackend()) {
        backend->MessageBox(text, "PalmoGPS");
    } else {
        std::fprintf(stderr, "PalmoGPS: %s\n", text.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --version answers at once, with no display needed.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--version") {
            const bool printed = tk::UseParentConsole();
            std::printf("palmogps %s\n", palmo::kVersion);
            // With nowhere to print (a window program started from the
            // desktop) there is nothing that failed.
            return !printed || OutputWritten() ? 0 : 1;
        }
    }
    const TStartOptions options =
        ParseStartOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (options.Help) {
        const bool printed = tk::UseParentConsole();
        std::fputs(StartOptionsUsage().c_str(), stdout);
        if (printed && !OutputWritten()) {
            return 1;
        }
        // A window program with nowhere to print (started from the desktop)
        // shows the options in a box instead.
        std::string unused;
        if (!printed && tk::WindowedProgramsHaveNoConsole() &&
            tk::InstallGuiBackend(argc, argv, unused)) {
            Tell(StartOptionsUsage());
        }
        return 0;
    }
    std::string reason;
    if (!tk::InstallGuiBackend(argc, argv, reason)) {
        std::fprintf(stderr,
                     "PalmoGPS: no display: %s\n"
                     "PalmoGPS needs a graphical desktop. To read the receiver in a terminal "
                     "instead, use gpscat (see gpscat --help).\n",
                     reason.c_str());
        return 1;
    }
    try {
        tk::TApplication application;
        // A port component opened with no port chosen asks the user through this dialog.
        SetPortSelectDialog(ShowComSelectDialog);
        TForm1& form = application.CreateForm<TForm1>();
        std::vector<std::string> problems = options.Problems;
        for (const std::string& p : form.ApplyStartOptions(options)) {
            problems.push_back(p);
        }
        if (!problems.empty() || options.Open || options.Satellites || !options.Record.empty() ||
            options.Share) {
            form.Show();
            for (const std::string& p : problems) {
                Tell(p);
            }
            // A port that fails to open is shown like a failed tick by hand.
            try {
                if (options.Open) {
                    form.CheckBox1->SetChecked(true);
                }
                if (options.Satellites) {
                    form.ShowSatellitesWindow();
                }
                // A file that cannot be made is said in a box; the window stays.
                if (!options.Record.empty()) {
                    form.StartRecording(options.Record, true, false);
                }
                if (options.Share) {
                    form.StartSharing();  // a busy port is told in a box
                }
            } catch (...) {
                tk::ShowCurrentException();
            }
        }
        const int code = application.Run();
        SetPortSelectDialog(nullptr);
        return code;
    } catch (...) {
        // Only a failure while the window is being made gets here; the loop
        // shows the failures of event handlers itself.
        tk::ShowCurrentException();
        SetPortSelectDialog(nullptr);
        return 1;
    }
}
