// wingui_probe: looks at another program's window from outside, with plain
// Win32 calls, for the window tests under Wine.
//
//   wingui_probe wait CAPTION MS          the form is on screen (exit 0) or not in time (1)
//   wingui_probe list CAPTION             its controls: class, id, screen rectangle, tick, text
//   wingui_probe wait-text CAPTION TEXT MS  a control reads TEXT (0); time-out (1); a
//                                         message box came up instead (2, its text printed)
//   wingui_probe center CAPTION TEXT      "x y": the screen centre of the control reading TEXT
//   wingui_probe checked CAPTION TEXT     "1" or "0": the tick of that check box
//   wingui_probe click CAPTION TEXT       BM_CLICK to that control
//   wingui_probe close CAPTION            WM_CLOSE to the form
//   wingui_probe wait-box CAPTION MS      a message box of the form's program comes up
//                                         (0, its title and text printed) or not in time (1)
//   wingui_probe dismiss CAPTION          OK to the message box over the form (1: none)
//   wingui_probe rect CAPTION             "x y w h cx cy": the form's window on the
//                                         screen, and where its client area starts in it
//   wingui_probe menu-last CAPTION        opens the form's context menu (WM_CONTEXTMENU at
//                                         its middle) and picks its last item with the keys
//                                         Up and Return (1: no menu came up)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/win32/WindowTree.h"

namespace {

using testsupport::Children;
using testsupport::ChildWithText;
using testsupport::ClassOf;
using testsupport::WindowText;

constexpr const char* kFormClass = "PalmoGPSForm";

HWND FindForm(const std::string& caption) {
    const HWND h = FindWindowA(kFormClass, caption.c_str());
    return h && IsWindowVisible(h) ? h : nullptr;
}

// A message box (dialog class) of the form's process: its texts, else empty.
std::string MessageBoxText(HWND form, HWND* box = nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(form, &pid);
    struct TFind {
        DWORD pid;
        std::string text;
        HWND box;
    } find{pid, {}, nullptr};
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto* f = reinterpret_cast<TFind*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(h, &owner);
            if (owner != f->pid || ClassOf(h) != "#32770" || !IsWindowVisible(h)) {
                return TRUE;
            }
            f->box = h;
            f->text = "[" + WindowText(h) + "]";
            for (HWND c : Children(h)) {
                if (ClassOf(c) == "Static") {
                    f->text += " " + WindowText(c);
                }
            }
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&find));
    if (box) {
        *box = find.box;
    }
    return find.text;
}

void List(HWND form) {
    for (HWND h : Children(form)) {
        RECT r{};
        GetWindowRect(h, &r);
        const std::string cls = ClassOf(h);
        const LRESULT check = cls == "Button" ? SendMessageA(h, BM_GETCHECK, 0, 0) : 0;
        std::printf("%s|%d|%ld,%ld,%ld,%ld|%d|%s\n", cls.c_str(), GetDlgCtrlID(h), r.left, r.top,
                    r.right - r.left, r.bottom - r.top, static_cast<int>(check),
                    WindowText(h).c_str());
    }
    const std::string box = MessageBoxText(form);
    if (!box.empty()) {
        std::printf("messagebox|%s\n", box.c_str());
    }
}

int Usage() {
    std::fprintf(stderr,
                 "usage: wingui_probe "
                 "wait|list|wait-text|center|checked|click|close|wait-box|dismiss|rect|menu-last "
                 "CAPTION "
                 "[TEXT] [MS]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string cmd = argv[1];
    const std::string caption = argv[2];
    if (cmd == "wait") {
        const DWORD ms = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10000;
        const DWORD start = GetTickCount();
        while (!FindForm(caption)) {
            if (GetTickCount() - start > ms) {
                std::fprintf(stderr, "wingui_probe: no window \"%s\"\n", caption.c_str());
                return 1;
            }
            Sleep(50);
        }
        return 0;
    }
    const HWND form = FindForm(caption);
    if (!form) {
        std::fprintf(stderr, "wingui_probe: no window \"%s\"\n", caption.c_str());
        return 1;
    }
    if (cmd == "list") {
        List(form);
        return 0;
    }
    if (cmd == "close") {
        return PostMessageA(form, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (cmd == "wait-box") {
        const DWORD ms = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10000;
        const DWORD start = GetTickCount();
        for (;;) {
            const std::string box = MessageBoxText(form);
            if (!box.empty()) {
                std::printf("%s\n", box.c_str());
                return 0;
            }
            if (GetTickCount() - start > ms) {
                return 1;
            }
            Sleep(100);
        }
    }
    if (cmd == "dismiss") {
        HWND box = nullptr;
        MessageBoxText(form, &box);
        return box && PostMessageA(box, WM_COMMAND, IDOK, 0) ? 0 : 1;
    }
    if (cmd == "menu-last") {
        RECT r{};
        GetWindowRect(form, &r);
        PostMessageA(form, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(form),
                     MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        // The menu's own window (class #32768) takes the keys while it is up.
        const DWORD start = GetTickCount();
        HWND menu = nullptr;
        while (!(menu = FindWindowA("#32768", nullptr)) || !IsWindowVisible(menu)) {
            if (GetTickCount() - start > 10000) {
                return 1;
            }
            Sleep(50);
        }
        PostMessageA(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
        return 0;
    }
    if (cmd == "rect") {
        RECT r{};
        GetWindowRect(form, &r);
        POINT client{0, 0};
        ClientToScreen(form, &client);
        std::printf("%ld %ld %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top,
                    client.x - r.left, client.y - r.top);
        return 0;
    }
    if (argc < 4) {
        return Usage();
    }
    const std::string text = argv[3];
    if (cmd == "wait-text") {
        const DWORD ms = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 10000;
        const DWORD start = GetTickCount();
        while (!ChildWithText(form, text)) {
            const std::string box = MessageBoxText(form);
            if (!box.empty()) {
                std::printf("messagebox|%s\n", box.c_str());
                return 2;
            }
            if (GetTickCount() - start > ms || !IsWindow(form)) {
                std::fprintf(stderr, "wingui_probe: no control reads \"%s\"; the controls:\n",
                             text.c_str());
                List(form);
                return 1;
            }
            Sleep(100);
        }
        return 0;
    }
    const HWND child = ChildWithText(form, text);
    if (!child) {
        std::fprintf(stderr, "wingui_probe: no control reads \"%s\"\n", text.c_str());
        return 1;
    }
    if (cmd == "center") {
        RECT r{};
        GetWindowRect(child, &r);
        std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        return 0;
    }
    if (cmd == "checked") {
        std::printf("%d\n", SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
        return 0;
    }
    if (cmd == "click") {
        return PostMessageA(child, BM_CLICK, 0, 0) ? 0 : 1;
    }
    return Usage();
}
