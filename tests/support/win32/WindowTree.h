// Reading a window and its controls with plain Win32 calls, as the window
// tests do from inside the program and from another process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// A window's text. The send gives up on a hung window, so a reader in
// another process never waits for ever.
inline std::string WindowText(HWND h) {
    char buf[4096] = {};
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                             SMTO_ABORTIFHUNG, 2000, &n)) {
        return {};
    }
    return std::string(buf, n);
}

inline std::string ClassOf(HWND h) {
    char buf[64] = {};
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

// Every window below parent, in the system's order.
inline std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(
        parent,
        [](HWND h, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// The first child whose text is `text`, or nullptr.
inline HWND ChildWithText(HWND parent, const std::string& text) {
    for (HWND h : Children(parent)) {
        if (WindowText(h) == text) {
            return h;
        }
    }
    return nullptr;
}

}  // namespace testsupport
