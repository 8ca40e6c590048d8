#include "toolkit/ConsoleOutput.h"

#include <windows.h>

#include <cstdio>

namespace tk {

namespace {

// True when the handle leads somewhere: a file, a pipe or a console.
bool Usable(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

}  // namespace

bool UseParentConsole() {
    const bool out = Usable(STD_OUTPUT_HANDLE);
    const bool err = Usable(STD_ERROR_HANDLE);
    if (out && err) {
        return true;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return out;
    }
    FILE* f = nullptr;
    if (!out) {
        freopen_s(&f, "CONOUT$", "w", stdout);
    }
    if (!err) {
        freopen_s(&f, "CONOUT$", "w", stderr);
    }
    return true;
}

}  // namespace tk
