// The Win32 windowing backend: common controls, the message loop (which also
// serves the toolkit's notification windows and timers, real windows and
// WM_TIMERs of the main thread), modal forms, message boxes and the
// exception display.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "toolkit/ExceptionDisplay.h"
#include "toolkit/MainThreadCalls.h"
#include "toolkit/Messages.h"
#include "toolkit/OsInfo.h"
#include "toolkit/win32/GuiWin32.h"

#include <commctrl.h>
#include <commdlg.h>

namespace tk {

namespace {

using gui::TFormPeer;

constexpr const char* kReportClass = "PalmoGPSExceptionReports";
constexpr UINT kMsgShowReports = WM_APP + 2;

std::string ApplicationTitle() {
    return Application() ? Application()->Title() : std::string("PalmoGPS");
}

// ": " and the system's text for the last error, or nothing when there is none.
std::string LastErrorSuffix() {
    const DWORD code = GetLastError();
    if (code == 0) {
        return {};
    }
    std::string text = SystemErrorText(code);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return ": " + text;
}

// Exception messages from other threads wait here until the main thread's
// report window shows them.
struct TReports {
    std::mutex m;
    std::deque<std::string> waiting;
    HWND window = nullptr;
};

TReports& Reports() {
    static TReports r;
    return r;
}

void ShowErrorBox(const std::string& text) {
    ::MessageBoxA(GetActiveWindow(), text.c_str(), ApplicationTitle().c_str(),
                  MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

LRESULT CALLBACK ReportWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kMsgShowReports) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    for (;;) {
        std::string text;
        {
            std::lock_guard lk(Reports().m);
            if (Reports().waiting.empty()) {
                return 0;
            }
            text = std::move(Reports().waiting.front());
            Reports().waiting.pop_front();
        }
        ShowErrorBox(text);
    }
}

// The message box on the main thread; another thread's report is handed over
// without waiting for the user.
void DisplayException(const std::exception* e) {
    std::string text = e ? e->what() : "An exception of unknown kind occurred";
    if (IsMainThread()) {
        ShowErrorBox(text);
        return;
    }
    HWND window;
    {
        std::lock_guard lk(Reports().m);
        Reports().waiting.push_back(std::move(text));
        window = Reports().window;
    }
    if (!window || !PostMessageA(window, kMsgShowReports, 0, 0)) {
        // No main-thread window to carry it: standard error, as without a display.
        std::string lost;
        {
            std::lock_guard lk(Reports().m);
            if (!Reports().waiting.empty()) {
                lost = std::move(Reports().waiting.back());
                Reports().waiting.pop_back();
            }
        }
        std::fprintf(stderr, "Unhandled exception: %s\n", lost.c_str());
    }
}

// Disables the thread's other enabled top-level windows while a modal form
// runs; gives back the list to enable again.
std::vector<HWND> DisableOtherWindows(HWND modal) {
    struct TCollect {
        HWND modal;
        std::vector<HWND> found;
    } collect{modal, {}};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND h, LPARAM p) -> BOOL {
            auto* c = reinterpret_cast<TCollect*>(p);
            if (h != c->modal && IsWindowVisible(h) && IsWindowEnabled(h)) {
                c->found.push_back(h);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&collect));
    for (HWND h : collect.found) {
        EnableWindow(h, FALSE);
    }
    return collect.found;
}

class TWin32Backend : public TGuiBackend {
  public:
    std::unique_ptr<TControlPeer> MakePeer(TControl& control) override {
        if (auto* form = dynamic_cast<TForm*>(&control)) {
            auto peer = std::make_unique<TFormPeer>(*form, OwnerFor(*form));
            if (!peer->Handle()) {
                throw std::runtime_error("Cannot create the window \"" + form->Caption() + "\"" +
                                         LastErrorSuffix());
            }
            return peer;
        }
        TForm* parent = control.Parent();
        auto* formPeer = parent ? dynamic_cast<TFormPeer*>(parent->Peer()) : nullptr;
        if (!formPeer || !formPeer->Handle()) {
            return nullptr;
        }
        return gui::MakeChildPeer(control, *formPeer);
    }

    int RunLoop() override {
        int exitCode = 0;
        while (!Pump(exitCode, [] { return false; })) {
        }
        return exitCode;
    }

    void QuitLoop(int exitCode) override { tk::PostQuitMessage(exitCode); }

    // The form's peers exist (the form made them); the form releases them
    // when this returns.
    TModalResult ShowModal(TForm& form) override {
        auto* peer = dynamic_cast<TFormPeer*>(form.Peer());
        if (!peer || !peer->Handle()) {
            return mrCancel;
        }
        peer->SetModal(true);
        const std::vector<HWND> disabled = DisableOtherWindows(peer->Handle());
        peer->FinishShow();
        int quitCode = 0;
        const bool quit = Pump(quitCode, [&form, peer] {
            return form.ModalResult() != mrNone || form.Peer() != peer || !peer->Handle();
        });
        // The others first, so that the system activates one of them rather
        // than another program's window when the dialog goes.
        for (HWND h : disabled) {
            if (IsWindow(h)) {
                EnableWindow(h, TRUE);
            }
        }
        if (quit) {
            tk::PostQuitMessage(quitCode);  // for the loop outside
        }
        return form.ModalResult() == mrNone ? mrCancel : form.ModalResult();
    }

    void MessageBox(const std::string& text, const std::string& caption) override {
        ::MessageBoxA(GetActiveWindow(), text.c_str(), caption.c_str(), MB_OK);
    }

    void SystemBeep() override { MessageBeep(0); }

    // The waiting messages, with the keyboard handling of the loop; a quit
    // request ends the application.
    void ProcessEvents() override {
        try {
            TMessage m;
            while (TakeMessage(m)) {
                if (m.window == 0 && m.msg == kMsgQuit) {
                    if (TApplication* app = Application()) {
                        app->Terminate(static_cast<int>(m.wParam));
                    }
                    return;
                }
                Dispatch(m);
            }
        } catch (...) {
            ShowCurrentException();
        }
    }

    int32_t TrackPopupMenu(TPopupMenu& menu, TForm& form, int32_t x, int32_t y) override {
        auto* peer = dynamic_cast<TFormPeer*>(form.Peer());
        if (!peer || !peer->Handle()) {
            return -1;
        }
        const HWND hwnd = peer->Handle();
        struct TMenu {
            HMENU h = CreatePopupMenu();
            ~TMenu() {
                if (h) {
                    DestroyMenu(h);
                }
            }
        } popup;
        if (!popup.h) {
            return -1;
        }
        const auto& items = menu.Items();
        for (size_t i = 0; i < items.size(); ++i) {
            UINT flags = MF_STRING;
            flags |= items[i]->Checked() ? MF_CHECKED : MF_UNCHECKED;
            flags |= items[i]->Enabled() ? MF_ENABLED : MF_GRAYED;
            AppendMenuA(popup.h, flags, i + 1, items[i]->Caption().c_str());
        }
        POINT at{x, y};
        if (x < 0 || y < 0) {
            // From the keyboard: at the focused control, else the window's middle.
            RECT r{};
            const HWND focus = GetFocus();
            if (focus && IsChild(hwnd, focus)) {
                GetWindowRect(focus, &r);
            } else {
                GetWindowRect(hwnd, &r);
            }
            at = POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        } else {
            ClientToScreen(hwnd, &at);
        }
        SetForegroundWindow(hwnd);
        const int picked = ::TrackPopupMenu(popup.h, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                            at.x, at.y, 0, hwnd, nullptr);
        // The system's advice: a message after the menu, so that it closes properly.
        PostMessageA(hwnd, WM_NULL, 0, 0);
        return picked - 1;
    }

    bool SaveFileName(TForm& form, const std::string& title, const std::string& filterName,
                      const std::string& extension, std::string& path) override {
        auto wide = [](const std::string& text, UINT codePage) {
            const int n = MultiByteToWideChar(codePage, 0, text.data(),
                                              static_cast<int>(text.size()), nullptr, 0);
            std::wstring w(static_cast<size_t>(n), L'\0');
            MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), w.data(),
                                n);
            return w;
        };
        auto* peer = dynamic_cast<TFormPeer*>(form.Peer());
        const std::wstring ext = wide(extension, CP_ACP);
        // "name (*.ext)", "*.ext", "All files", "*.*", each ended by a NUL, then one more.
        std::wstring filter = wide(filterName, CP_ACP) + L" (*." + ext + L")";
        filter += L'\0';
        filter += L"*." + ext;
        filter += L'\0';
        filter += L"All files (*.*)";
        filter += L'\0';
        filter += L"*.*";
        filter += L'\0';
        std::wstring file = wide(path, CP_UTF8);
        file.resize(std::max<size_t>(file.size() + 1, 4096), L'\0');
        const std::wstring caption = wide(title, CP_ACP);
        OPENFILENAMEW ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = peer != nullptr ? peer->Handle() : nullptr;
        ofn.lpstrFilter = filter.c_str();
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file.data();
        ofn.nMaxFile = static_cast<DWORD>(file.size());
        ofn.lpstrTitle = caption.c_str();
        ofn.lpstrDefExt = ext.c_str();  // added when the user types no extension
        ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
        if (!GetSaveFileNameW(&ofn)) {
            return false;
        }
        const std::wstring chosen(file.c_str());
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, chosen.data(), static_cast<int>(chosen.size()), nullptr,
                                0, nullptr, nullptr);
        path.assign(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, 0, chosen.data(), static_cast<int>(chosen.size()), path.data(),
                            n, nullptr, nullptr);
        return true;
    }

    bool SetClipboardText(const std::string& text) override {
        if (!OpenClipboard(nullptr)) {
            return false;
        }
        EmptyClipboard();
        bool done = false;
        if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1)) {
            if (void* p = GlobalLock(mem)) {
                std::memcpy(p, text.c_str(), text.size() + 1);
                GlobalUnlock(mem);
                done = SetClipboardData(CF_TEXT, mem) != nullptr;
            }
            if (!done) {
                GlobalFree(mem);  // the clipboard owns it only once set
            }
        }
        CloseClipboard();
        return done;
    }

    bool ClipboardText(std::string& text) override {
        if (!OpenClipboard(nullptr)) {
            return false;
        }
        text.clear();
        if (HANDLE mem = GetClipboardData(CF_TEXT)) {
            if (const auto* p = static_cast<const char*>(GlobalLock(mem))) {
                text = p;
                GlobalUnlock(mem);
            }
        }
        CloseClipboard();
        return true;
    }

  private:
    // Serves messages until `done` holds (looked at after each message) or a
    // quit request comes: true then, with its exit code. Exceptions that
    // reach the loop are shown and the loop goes on.
    template <typename Done>
    static bool Pump(int& exitCode, Done done) {
        while (!done()) {
            try {
                TMessage m;
                if (!TakeMessage(m)) {
                    WaitForMessage(kInfinite);
                    continue;
                }
                if (m.window == 0 && m.msg == kMsgQuit) {
                    exitCode = static_cast<int>(m.wParam);
                    return true;
                }
                Dispatch(m);
            } catch (...) {
                ShowCurrentException();
            }
        }
        return false;
    }

    // Keyboard navigation (Tab, Enter, Escape) goes to the dialog manager of
    // the form the message is for; the rest is dispatched as usual.
    static void Dispatch(const TMessage& m) {
        const HWND hwnd = reinterpret_cast<HWND>(m.window);
        const HWND root = hwnd ? GetAncestor(hwnd, GA_ROOT) : nullptr;
        if (root && MenuKey(root, m)) {
            return;
        }
        if (root && TFormPeer::FromHandle(root)) {
            MSG msg{};
            msg.hwnd = hwnd;
            msg.message = m.msg;
            msg.wParam = m.wParam;
            msg.lParam = m.lParam;
            msg.time = static_cast<DWORD>(GetMessageTime());
            const DWORD pos = GetMessagePos();
            msg.pt = POINT{static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
            if (IsDialogMessageA(root, &msg)) {
                return;
            }
        }
        DispatchTaken(m);
    }

    // The context-menu key and Shift+F10 open the form's context menu
    // whichever control has the focus; their key-up is swallowed too, so
    // that the system does not open a second one.
    static bool MenuKey(HWND root, const TMessage& m) {
        const bool down = m.msg == WM_KEYDOWN || m.msg == WM_SYSKEYDOWN;
        const bool up = m.msg == WM_KEYUP || m.msg == WM_SYSKEYUP;
        if (!down && !up) {
            return false;
        }
        const bool shift = GetKeyState(VK_SHIFT) < 0;
        if (m.wParam != VK_APPS && !(m.wParam == VK_F10 && shift)) {
            return false;
        }
        TFormPeer* peer = TFormPeer::FromHandle(root);
        if (!peer || !peer->Form().PopupMenu()) {
            return false;
        }
        if (down) {
            SendMessageA(root, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(root), -1);
        }
        return true;
    }

    HWND OwnerFor(const TForm& form) const {
        TApplication* app = Application();
        TForm* main = app ? app->MainForm() : nullptr;
        if (main && main != &form) {
            if (auto* peer = dynamic_cast<TFormPeer*>(main->Peer())) {
                return peer->Handle();
            }
        }
        return form.Position() == TPosition::poDesigned || main == &form ? nullptr
                                                                         : GetActiveWindow();
    }
};

}  // namespace

bool InstallGuiBackend(int& /*argc*/, char** /*argv*/, std::string& reason) {
    static TWin32Backend backend;
    if (GuiBackend() == &backend) {
        return true;
    }
    MarkMainThread();
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&icc);
    if (!gui::RegisterFormClass()) {
        reason = "cannot register the window class" + LastErrorSuffix();
        return false;
    }
    // A window of the desktop: fails where there is no display to show it on.
    const HWND probe = CreateWindowExA(0, gui::kFormClass, "", WS_OVERLAPPED, 0, 0, 1, 1, nullptr,
                                       nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!probe) {
        reason = "cannot create a window on the desktop" + LastErrorSuffix();
        return false;
    }
    DestroyWindow(probe);

    WNDCLASSA wc{};
    wc.lpfnWndProc = ReportWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kReportClass;
    RegisterClassA(&wc);
    const HWND reports = CreateWindowExA(0, kReportClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                         GetModuleHandleA(nullptr), nullptr);
    if (!reports || !PrepareMainThreadCalls()) {
        reason = "cannot create the main thread's message windows" + LastErrorSuffix();
        return false;
    }
    {
        std::lock_guard lk(Reports().m);
        Reports().window = reports;
    }
    SetExceptionDisplay(DisplayException);
    SetGuiBackend(&backend);
    return true;
}

}  // namespace tk
