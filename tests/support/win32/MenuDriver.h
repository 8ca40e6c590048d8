// Driving a popup menu of the program's own thread, as a user would with the
// keyboard, for the Win32 window tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/win32/WindowTree.h"

namespace testsupport {

// Drives the popup menu that opens on this thread: records its items
// ("[x] " before ticked ones) and picks item `pick` with the keyboard.
struct TMenuDriver {
    static inline int pick = -1;
    static inline std::vector<std::string> seen;
    static inline bool done = false;

    static void Start(int item) {
        pick = item;
        seen.clear();
        done = false;
        SetTimer(nullptr, 0, 30, Tick);
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        HWND menu = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND h, LPARAM p) -> BOOL {
                if (ClassOf(h) == "#32768" && IsWindowVisible(h)) {
                    *reinterpret_cast<HWND*>(p) = h;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&menu));
        if (!menu) {
            return;
        }
        KillTimer(nullptr, id);
        const auto h = reinterpret_cast<HMENU>(SendMessageA(menu, 0x01E1 /* MN_GETHMENU */, 0, 0));
        for (int i = 0; i < GetMenuItemCount(h); ++i) {
            char text[128] = {};
            GetMenuStringA(h, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
            const bool ticked = GetMenuState(h, static_cast<UINT>(i), MF_BYPOSITION) & MF_CHECKED;
            seen.push_back((ticked ? "[x] " : "") + std::string(text));
        }
        for (int i = 0; i <= pick; ++i) {
            PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
        }
        PostMessageA(menu, WM_KEYDOWN, pick >= 0 ? VK_RETURN : VK_ESCAPE, 0);
        done = true;
    }
};

}  // namespace testsupport
