// The Win32 peers with real windows (under Wine, on a virtual X server): the
// controls' state read back with plain Win32 calls, user input sent as the
// system's own messages, modal forms, the loop and the exception display.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Pump.h"
#include "support/win32/WindowTree.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Forms.h"
#include "toolkit/Messages.h"

#undef MessageBox

namespace {

using testsupport::Children;
using testsupport::ChildWithText;
using testsupport::ClassOf;
using testsupport::PumpUntil;
using testsupport::WindowText;

constexpr const char* kFormClass = "PalmoGPSForm";

void InstallBackend() {
    static const bool installed = [] {
        int argc = 1;
        char name[] = "test_wingui";
        char* argv[] = {name, nullptr};
        std::string reason;
        const bool ok = tk::InstallGuiBackend(argc, argv, reason);
        EXPECT_TRUE(ok) << reason;
        return ok;
    }();
    ASSERT_TRUE(installed);
}

HWND ChildOfClass(HWND parent, const std::string& cls) {
    for (HWND h : Children(parent)) {
        if (lstrcmpiA(ClassOf(h).c_str(), cls.c_str()) == 0) {
            return h;
        }
    }
    return nullptr;
}

RECT RectInParent(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// A form with one control of each kind, as the program's windows use them.
struct TSampleForm : tk::TForm {
    explicit TSampleForm(tk::TComponent* owner) : tk::TForm(owner) {
        SetCaption("Peer Sample");
        SetClientSize(300, 260);
        SetBorderStyle(tk::TBorderStyle::bsDialog);
        SetPosition(tk::TPosition::poScreenCenter);
        SetColor(0xFFDD84);
        bevel.SetBounds(8, 8, 140, 60);
        label.SetBounds(20, 20, 100, 13);
        label.SetCaption("Not Valid");
        label.SetAlignment(tk::TAlignment::taRightJustify);
        label.SetTransparent(true);
        label.SetFont(tk::TFont{"Tahoma", 16, true, tk::clBlue});
        button.SetBounds(160, 8, 120, 25);
        button.SetCaption("Set Time");
        button.SetCursor(tk::TCursor::crHandPoint);
        button.SetTabOrder(0);
        check.SetBounds(160, 40, 120, 17);
        check.SetCaption("GPS Available ");
        check.SetTabOrder(2);
        combo.SetBounds(160, 64, 120, 21);
        combo.SetTabOrder(1);
        memo.SetBounds(8, 100, 280, 120);
        memo.SetColor(0xEBFEFD);
        memo.SetScrollBars(tk::TScrollStyle::ssBoth);
        memo.SetMaxLines(3);
        memo.SetTabOrder(3);
        status.SetBounds(0, 241, 300, 19);
        status.SetColor(tk::clWhite);
        status.SetCaption(" Palmo GPS Receiver");
    }
    // Owned and freed by the form.
    tk::TBevel& bevel = *new tk::TBevel(this, this);
    tk::TLabel& label = *new tk::TLabel(this, this);
    tk::TButton& button = *new tk::TButton(this, this);
    tk::TCheckBox& check = *new tk::TCheckBox(this, this);
    tk::TComboBox& combo = *new tk::TComboBox(this, this);
    tk::TMemo& memo = *new tk::TMemo(this, this);
    tk::TStatusBar& status = *new tk::TStatusBar(this, this);
};

TEST(Win32Gui, ControlsMirrorTheirStateIntoRealWindows) {
    InstallBackend();
    tk::TComponent owner(nullptr);
    auto* form = new TSampleForm(&owner);  // owned and freed by `owner`
    int clicks = 0;
    int ticks = 0;
    int changes = 0;
    form->button.OnClick = [&](tk::TButton&) { ++clicks; };
    form->check.OnClick = [&](tk::TCheckBox&) { ++ticks; };
    form->combo.OnChange = [&](tk::TComboBox&) { ++changes; };
    form->combo.AddItem("COM1");
    form->combo.AddItem("COM3");
    form->Show();

    const HWND hwnd = FindWindowA(kFormClass, "Peer Sample");
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(hwnd) != FALSE; }));

    // A fixed dialog frame around the client size, centred on the screen.
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 300);
    EXPECT_EQ(client.bottom, 260);
    const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    RECT outer{};
    GetWindowRect(hwnd, &outer);
    EXPECT_NEAR((outer.left + outer.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((outer.top + outer.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

    // Every control is a child window of the system's classes, with its text.
    const HWND label = ChildWithText(hwnd, "Not Valid");
    const HWND button = ChildWithText(hwnd, "Set Time");
    const HWND check = ChildWithText(hwnd, "GPS Available ");
    const HWND combo = ChildOfClass(hwnd, "ComboBox");
    const HWND memo = ChildOfClass(hwnd, "Edit");
    const HWND status = ChildOfClass(hwnd, STATUSCLASSNAMEA);
    ASSERT_TRUE(label && button && check && combo && memo && status);
    EXPECT_EQ(ClassOf(label), "Static");
    EXPECT_EQ(ClassOf(button), "Button");
    EXPECT_EQ(WindowText(status), " Palmo GPS Receiver");
    EXPECT_TRUE(GetWindowLongPtrA(label, GWL_STYLE) & SS_RIGHT);
    EXPECT_EQ(GetWindowLongPtrA(check, GWL_STYLE) & BS_TYPEMASK, BS_CHECKBOX);
    EXPECT_EQ(GetWindowLongPtrA(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST);

    // The font: name, character height, weight.
    LOGFONTA lf{};
    const auto font = reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    ASSERT_GT(GetObjectA(font, sizeof lf, &lf), 0);
    EXPECT_STREQ(lf.lfFaceName, "Tahoma");
    EXPECT_EQ(lf.lfHeight, -16);
    EXPECT_EQ(lf.lfWeight, FW_BOLD);

    // An auto-sized right-aligned label fits its text and keeps its right edge.
    const RECT before = RectInParent(label);
    EXPECT_EQ(before.right, 120);
    form->label.SetCaption("Valid");
    EXPECT_EQ(WindowText(label), "Valid");
    const RECT after = RectInParent(label);
    EXPECT_EQ(after.right, 120);
    EXPECT_LT(after.right - after.left, before.right - before.left);
    EXPECT_EQ(form->label.Left(), after.left);
    EXPECT_EQ(form->label.Width(), after.right - after.left);

    // The tick is the control's: mirrored, and a click asks the control.
    EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    form->check.SetChecked(true);
    EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(ticks, 1);
    SendMessageA(check, BM_CLICK, 0, 0);
    EXPECT_FALSE(form->check.Checked());
    EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(ticks, 2);
    // A handler that refuses the tick: the box shows the control's state.
    form->check.OnClick = [&](tk::TCheckBox& b) {
        ++ticks;
        b.SetChecked(false);
    };
    SendMessageA(check, BM_CLICK, 0, 0);
    EXPECT_FALSE(form->check.Checked());
    EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);

    // The list: entries, a selection set by the program runs no handler,
    // one picked by the user does.
    EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    form->combo.SetItemIndex(0);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(WindowText(combo), "COM1");
    EXPECT_EQ(changes, 0);
    SendMessageA(combo, CB_SETCURSEL, 1, 0);
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    EXPECT_EQ(form->combo.ItemIndex(), 1);
    EXPECT_EQ(form->combo.Text(), "COM3");
    EXPECT_EQ(changes, 1);
    form->combo.ClearItems();
    EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 0);

    // The memo keeps the bound: the oldest lines leave the widget too. Lines
    // reach the widget when the loop comes round, a burst at once.
    auto memoReads = [&](const std::string& want) {
        return PumpUntil([&] { return WindowText(memo) == want; }, 5000);
    };
    form->memo.AddLine("one");
    EXPECT_TRUE(memoReads("one")) << WindowText(memo);
    for (const char* line : {"two", "three", "four\r", "five"}) {
        form->memo.AddLine(line);
    }
    EXPECT_TRUE(memoReads("three\r\nfour\r\r\nfive")) << WindowText(memo);
    form->memo.AddLine("six");
    EXPECT_TRUE(memoReads("four\r\r\nfive\r\nsix")) << WindowText(memo);
    for (int i = 0; i < 7; ++i) {  // more than the bound in one burst
        form->memo.AddLine("burst " + std::to_string(i));
    }
    EXPECT_TRUE(memoReads("burst 4\r\nburst 5\r\nburst 6")) << WindowText(memo);
    form->memo.ClearLines();
    form->memo.AddLine("again");
    EXPECT_TRUE(memoReads("again")) << WindowText(memo);
    form->memo.ClearLines();
    EXPECT_TRUE(memoReads("")) << WindowText(memo);

    // Colours the widgets are given.
    {
        const HDC dc = GetDC(memo);
        const auto brush = reinterpret_cast<HBRUSH>(SendMessageA(
            hwnd, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(memo)));
        EXPECT_NE(brush, nullptr);
        EXPECT_EQ(GetBkColor(dc), static_cast<COLORREF>(0xEBFEFD));
        ReleaseDC(memo, dc);
        const HDC ldc = GetDC(label);
        SendMessageA(hwnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(ldc),
                     reinterpret_cast<LPARAM>(label));
        EXPECT_EQ(GetBkMode(ldc), TRANSPARENT);
        EXPECT_EQ(GetTextColor(ldc), static_cast<COLORREF>(tk::clBlue));
        ReleaseDC(label, ldc);
    }

    // The button reaches its control.
    SendMessageA(button, BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 1);

    // Tab order: the dialog manager's order follows TabOrder.
    const HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE);
    EXPECT_EQ(first, button);
    EXPECT_EQ(GetNextDlgTabItem(hwnd, first, FALSE), combo);
    EXPECT_EQ(GetNextDlgTabItem(hwnd, combo, FALSE), check);
    EXPECT_EQ(GetNextDlgTabItem(hwnd, check, FALSE), memo);

    // The hand cursor over the button, the arrow elsewhere.
    EXPECT_TRUE(SendMessageA(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(button),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
    EXPECT_FALSE(SendMessageA(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(combo),
                              MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));

    // State changes reach the widgets.
    form->button.SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(button));
    form->memo.SetVisible(false);
    EXPECT_FALSE(IsWindowVisible(memo));
    form->SetCaption("Peer Sample 2");
    EXPECT_EQ(WindowText(hwnd), "Peer Sample 2");
    form->status.SetCaption(" Another credit");
    EXPECT_EQ(WindowText(status), " Another credit");

    // The close box closes the form: its windows go.
    SendMessageA(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(form->Showing());
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindow(button));
}

// Paints two known bands; the pixels under a transparent label are the form's.
TEST(Win32Gui, FormPaintsItsColourAndCanvas) {
    InstallBackend();
    tk::TComponent owner(nullptr);
    auto* form = new tk::TForm(&owner);
    form->SetCaption("Paint Sample");
    form->SetClientSize(200, 100);
    form->SetBorderStyle(tk::TBorderStyle::bsDialog);
    form->SetPosition(tk::TPosition::poScreenCenter);
    form->SetColor(0x00FF00);
    auto* label = new tk::TLabel(form, form);
    label->SetBounds(10, 10, 60, 13);
    label->SetTransparent(true);
    label->SetCaption("x");
    int paints = 0;
    form->OnPaint = [&](tk::TForm&, tk::TCanvas& c) {
        ++paints;
        c.SetPenColor(0x0000FF);  // red rows 0 to 29
        for (int y = 0; y < 30; ++y) {
            c.MoveTo(0, y);
            c.LineTo(200, y);
        }
    };
    form->Show();
    const HWND hwnd = FindWindowA(kFormClass, "Paint Sample");
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(hwnd) && paints > 0; }));
    UpdateWindow(hwnd);
    const HDC dc = GetDC(hwnd);
    EXPECT_EQ(GetPixel(dc, 150, 5), static_cast<COLORREF>(0x0000FF));
    EXPECT_EQ(GetPixel(dc, 199, 29), static_cast<COLORREF>(0x0000FF));  // LineTo stops before x=200
    EXPECT_EQ(GetPixel(dc, 150, 60), static_cast<COLORREF>(0x00FF00));
    // Beside the label's single letter the form's painting shows through.
    const RECT r = RectInParent(ChildWithText(hwnd, "x"));
    EXPECT_EQ(GetPixel(dc, r.right - 1, r.top), static_cast<COLORREF>(0x0000FF));
    ReleaseDC(hwnd, dc);

    // An opaque label that shrinks: its colour stays under it, the form's
    // returns where it was.
    auto* solid = new tk::TLabel(form, form);
    solid->SetBounds(10, 60, 10, 13);
    solid->SetColor(0xFF0000);
    solid->SetCaption("wide wide wide");
    form->Close();  // peers again, with the new label
    form->Show();
    const HWND again = FindWindowA(kFormClass, "Paint Sample");
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(again) != FALSE; }));
    const HWND solidHwnd = ChildWithText(again, "wide wide wide");
    ASSERT_NE(solidHwnd, nullptr);
    const RECT wide = RectInParent(solidHwnd);
    solid->SetCaption("w");
    const RECT narrow = RectInParent(solidHwnd);
    ASSERT_LT(narrow.right, wide.right - 4);
    UpdateWindow(again);
    const HDC dc2 = GetDC(again);
    EXPECT_EQ(GetPixel(dc2, wide.right - 2, wide.bottom - 1), static_cast<COLORREF>(0x00FF00));
    EXPECT_EQ(GetPixel(dc2, narrow.right - 1, narrow.bottom - 1), static_cast<COLORREF>(0xFF0000));
    ReleaseDC(again, dc2);

    // Invalidate paints again.
    const int before = paints;
    form->Invalidate();
    ASSERT_TRUE(PumpUntil([&] { return paints > before; }));
    form->Close();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindow(again));
}

// A watcher on another thread that acts on a window once it appears.
class TWatcher {
  public:
    template <typename F>
    explicit TWatcher(F act)
        : thread_([this, act] {
              for (int i = 0; i < 1000 && !stop_; ++i) {
                  if (act()) {
                      done_ = true;
                      return;
                  }
                  Sleep(10);
              }
          }) {}
    ~TWatcher() {
        stop_ = true;
        thread_.join();
    }
    bool Done() const { return done_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct TDialog : tk::TForm {
    explicit TDialog(tk::TComponent* owner) : tk::TForm(owner) {
        SetCaption("Select Port");
        SetClientSize(220, 131);
        SetBorderStyle(tk::TBorderStyle::bsDialog);
        SetSystemMenuOnly(true);
        SetPosition(tk::TPosition::poScreenCenter);
        ok.SetBounds(67, 87, 85, 27);
        ok.SetCaption("OK");
        ok.SetKind(tk::TBitBtnKind::bkOK);
        ok.SetDefault(true);
        ok.SetModalResult(tk::mrOk);
        ok.SetTabOrder(0);
        list.SetBounds(8, 24, 201, 21);
        list.SetTabOrder(1);
        list.AddItem("COM1");
        list.SetItemIndex(0);
    }
    // Owned and freed by the form.
    tk::TBitBtn& ok = *new tk::TBitBtn(this, this);
    tk::TComboBox& list = *new tk::TComboBox(this, this);
};

TEST(Win32Gui, ModalFormsEndOnTheirResult) {
    InstallBackend();
    tk::TApplication app;
    tk::TForm& main = app.CreateForm<tk::TForm>();
    main.SetCaption("Main Sample");
    main.SetClientSize(200, 100);
    main.Show();
    const HWND mainHwnd = FindWindowA(kFormClass, "Main Sample");
    ASSERT_NE(mainHwnd, nullptr);
    auto* dialog = new TDialog(&app);

    // OK clicked: mrOk; the main window is disabled meanwhile and owns the dialog.
    {
        std::atomic<bool> mainDisabled{false};
        std::atomic<HWND> owner{nullptr};
        TWatcher w([&] {
            const HWND d = FindWindowA(kFormClass, "Select Port");
            if (!d || !IsWindowVisible(d)) {
                return false;
            }
            mainDisabled = !IsWindowEnabled(mainHwnd);
            owner = GetWindow(d, GW_OWNER);
            PostMessageA(ChildWithText(d, "OK"), BM_CLICK, 0, 0);
            return true;
        });
        EXPECT_EQ(dialog->ShowModal(), tk::mrOk);
        EXPECT_TRUE(w.Done());
        EXPECT_TRUE(mainDisabled);
        EXPECT_EQ(owner.load(), mainHwnd);
        EXPECT_TRUE(IsWindowEnabled(mainHwnd));
        EXPECT_EQ(FindWindowA(kFormClass, "Select Port"), nullptr);
    }
    // The focus starts on the first tab stop; Tab moves it to the next one;
    // Enter in the list: the dialog manager clicks the default button.
    {
        const DWORD mainThread = GetCurrentThreadId();
        auto focus = [mainThread] {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            return GetGUIThreadInfo(mainThread, &info) ? info.hwndFocus : nullptr;
        };
        std::atomic<HWND> firstFocus{nullptr};
        std::atomic<HWND> okButton{nullptr};
        std::atomic<bool> tabbed{false};
        TWatcher w([&] {
            const HWND d = FindWindowA(kFormClass, "Select Port");
            if (!d || !IsWindowVisible(d) || !focus()) {
                return false;
            }
            const HWND list = ChildOfClass(d, "ComboBox");
            okButton = ChildWithText(d, "OK");
            firstFocus = focus();
            PostMessageA(firstFocus, WM_KEYDOWN, VK_TAB, 0);
            for (int i = 0; i < 300 && focus() != list; ++i) {
                Sleep(10);
            }
            tabbed = focus() == list;
            PostMessageA(list, WM_KEYDOWN, VK_RETURN, 0);
            return true;
        });
        EXPECT_EQ(dialog->ShowModal(), tk::mrOk);
        EXPECT_EQ(firstFocus.load(), okButton.load());
        EXPECT_TRUE(tabbed);
    }
    // The close box and Escape cancel.
    for (const bool escape : {false, true}) {
        TWatcher w([&] {
            const HWND d = FindWindowA(kFormClass, "Select Port");
            if (!d || !IsWindowVisible(d)) {
                return false;
            }
            if (escape) {
                PostMessageA(ChildOfClass(d, "ComboBox"), WM_KEYDOWN, VK_ESCAPE, 0);
            } else {
                PostMessageA(d, WM_CLOSE, 0, 0);
            }
            return true;
        });
        EXPECT_EQ(dialog->ShowModal(), tk::mrCancel) << (escape ? "Escape" : "close box");
    }

    // Closing the main form ends the loop; a toolkit message sent from
    // another thread is served by it on the way.
    std::atomic<int> served{0};
    const tk::TWindowHandle notify = tk::CreateNotifyWindow(
        "PalmoGuiTestNotify", [&](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) {
            if (msg == tk::kMsgUser + 7) {
                served = tk::IsMainThread() ? 1 : -1;
            }
            return tk::TLResult{0};
        });
    ASSERT_NE(notify, 0u);
    std::thread sender([&] {
        EXPECT_TRUE(tk::SendToWindow(notify, tk::kMsgUser + 7, 0, 0, 5000, nullptr));
        PostMessageA(mainHwnd, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(app.Run(), 0);
    sender.join();
    EXPECT_EQ(served.load(), 1);
    EXPECT_FALSE(IsWindow(mainHwnd));
    tk::DestroyNotifyWindow(notify);
}

// The message box a watcher finds: its text and its thread; then it is closed.
struct TBoxSeen {
    std::atomic<bool> seen{false};
    std::string text;
    DWORD thread = 0;
};

bool CloseMessageBox(const char* title, TBoxSeen& seen) {
    const HWND box = FindWindowA("#32770", title);
    if (!box || !IsWindowVisible(box)) {
        return false;
    }
    std::string text;
    for (HWND h : Children(box)) {
        if (ClassOf(h) == "Static") {
            text += WindowText(h);
        }
    }
    seen.text = text;
    seen.thread = GetWindowThreadProcessId(box, nullptr);
    seen.seen = true;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return true;
}

TEST(Win32Gui, ExceptionsShowAsMessageBoxesOnTheMainThread) {
    InstallBackend();
    tk::TApplication app;
    app.SetTitle("Palmo Errors");
    tk::TForm& main = app.CreateForm<tk::TForm>();
    main.SetCaption("Error Sample");
    main.SetClientSize(200, 100);
    auto* button = new tk::TButton(&main, &main);
    button->SetBounds(10, 10, 100, 25);
    button->SetCaption("Fail");
    button->OnClick = [](tk::TButton&) { throw std::runtime_error("cannot open COM1"); };
    main.Show();
    const HWND hwnd = FindWindowA(kFormClass, "Error Sample");
    ASSERT_NE(hwnd, nullptr);

    // A handler's exception: shown by the peer, the program goes on.
    {
        TBoxSeen seen;
        TWatcher w([&] { return CloseMessageBox("Palmo Errors", seen); });
        PostMessageA(ChildWithText(hwnd, "Fail"), BM_CLICK, 0, 0);
        ASSERT_TRUE(PumpUntil([&] { return w.Done(); }));
        EXPECT_NE(seen.text.find("cannot open COM1"), std::string::npos) << seen.text;
        EXPECT_EQ(seen.thread, GetCurrentThreadId());
    }
    // Reported by another thread: shown on the main thread, the reporter
    // does not wait for the user.
    {
        TBoxSeen seen;
        std::atomic<bool> reported{false};
        std::thread worker([&] {
            const std::runtime_error e("reader thread failed");
            tk::ShowException(&e);
            reported = true;
        });
        worker.join();
        EXPECT_TRUE(reported);
        TWatcher w([&] { return CloseMessageBox("Palmo Errors", seen); });
        ASSERT_TRUE(PumpUntil([&] { return w.Done(); }));
        EXPECT_NE(seen.text.find("reader thread failed"), std::string::npos) << seen.text;
        EXPECT_EQ(seen.thread, GetCurrentThreadId());
    }
    main.Close();
    EXPECT_FALSE(IsWindow(hwnd));
}

}  // namespace
