// Reports that are not ours, for the sanitizer builds of the window tests.

// The leak checker: fontconfig keeps allocations of its configuration for
// the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// The thread checker: Qt's libraries are not built with it, so their own
// worker threads (text layout, image conversion) hand data over through
// synchronisation it cannot see.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n";
}
