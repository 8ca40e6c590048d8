// PalmoGPS: connects to the display, creates the application and the main
// window, and runs until the window closes.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "PalmoVersion.h"
#include "app/Unit1.h"
#include "serial/ComSelectForm.h"
#include "serial/PortProbe.h"
#include "toolkit/ConsoleOutput.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"

int main(int argc, char** argv) {
    // --version answers at once, with no display needed.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--version") {
            tk::UseParentConsole();
            std::printf("palmogps %s\n", palmo::kVersion);
            return 0;
        }
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
        application.CreateForm<TForm1>();
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
