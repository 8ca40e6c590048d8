// Leaks that are not ours, for the AddressSanitizer build: fontconfig keeps
// allocations of its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
