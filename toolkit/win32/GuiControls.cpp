// The control peers: each control of a shown form is a child window of the
// system's own classes (STATIC, BUTTON, COMBOBOX, EDIT, the status bar),
// with the caption as its window text so that other programs can read it.
#include <algorithm>
#include <deque>
#include <numeric>

#include "toolkit/win32/GuiWin32.h"

#include <commctrl.h>

namespace tk::gui {

namespace {

RECT RectInParent(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RECT Union(const RECT& a, const RECT& b) {
    RECT u{};
    UnionRect(&u, &a, &b);
    return u;
}

}  // namespace

// ---- Base -------------------------------------------------------------------

TChildPeer::TChildPeer(TControl& control, TFormPeer& form) : control_(control), form_(&form) {
    id_ = form.AddChild(this);
}

TChildPeer::~TChildPeer() {
    if (form_) {
        form_->RemoveChild(this);
    }
    if (hwnd_ && IsWindow(hwnd_)) {
        DestroyWindow(hwnd_);
    }
}

void TChildPeer::Create(const char* className, DWORD style, DWORD exStyle) {
    if (!form_ || !form_->Handle()) {
        return;
    }
    style |= WS_CHILD;
    if (control_.Visible()) {
        style |= WS_VISIBLE;
    }
    if (!control_.Enabled()) {
        style |= WS_DISABLED;
    }
    hwnd_ = CreateWindowExA(exStyle, className, control_.Caption().c_str(), style, control_.Left(),
                            control_.Top(), control_.Width(), control_.Height(), form_->Handle(),
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_)),
                            GetModuleHandleA(nullptr), nullptr);
    if (hwnd_) {
        ApplyFont();
    }
}

void TChildPeer::Changed(TChange what, int32_t index, int32_t count) {
    if (!hwnd_) {
        return;
    }
    if (Apply(what, index, count)) {
        return;
    }
    switch (what) {
        case TChange::Bounds:
            ApplyBounds();
            break;
        case TChange::Text:
            ApplyText();
            break;
        case TChange::Font:
            ApplyFont();
            InvalidateRect(hwnd_, nullptr, TRUE);
            break;
        case TChange::Color:
            brush_.Reset();
            InvalidateRect(hwnd_, nullptr, TRUE);
            break;
        case TChange::Visible:
            ShowWindow(hwnd_, control_.Visible() ? SW_SHOWNA : SW_HIDE);
            break;
        case TChange::Enabled:
            EnableWindow(hwnd_, control_.Enabled());
            break;
        case TChange::TabOrder: {
            LONG_PTR style = GetWindowLongPtrA(hwnd_, GWL_STYLE);
            if (control_.TabOrder() >= 0) {
                style |= WS_TABSTOP;
            } else {
                style &= ~static_cast<LONG_PTR>(WS_TABSTOP);
            }
            SetWindowLongPtrA(hwnd_, GWL_STYLE, style);
            if (form_) {
                form_->ArrangeTabOrder();
            }
            break;
        }
        case TChange::Repaint:
            InvalidateRect(hwnd_, nullptr, TRUE);
            break;
        default:
            break;  // the cursor is read when the mouse moves
    }
}

bool TChildPeer::Apply(TChange, int32_t, int32_t) {
    return false;
}

void TChildPeer::ApplyText() {
    SetWindowTextA(hwnd_, control_.Caption().c_str());
}

void TChildPeer::ApplyBounds() {
    MoveWindow(hwnd_, control_.Left(), control_.Top(), control_.Width(), control_.Height(), TRUE);
}

void TChildPeer::ApplyFont() {
    HFONT f = CreateToolkitFont(control_.Font());
    SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(f), FALSE);
    font_.Reset(f);  // after the widget let go of the old one
}

HBRUSH TChildPeer::ColorBrush() {
    if (!brush_.Get()) {
        brush_.Reset(CreateSolidBrush(NativeColor(control_.Color())));
    }
    return brush_.Brush();
}

HBRUSH TChildPeer::CtlColor(HDC hdc) {
    SetTextColor(hdc, NativeColor(control_.Font().Color));
    SetBkColor(hdc, NativeColor(control_.Color()));
    return ColorBrush();
}

namespace {

DWORD TabStop(const TControl& c) {
    return c.TabOrder() >= 0 ? WS_TABSTOP : 0;
}

// ---- Label ------------------------------------------------------------------

// A STATIC; a transparent one draws only its text over the form's painting,
// so the form repaints the area under it whenever its text or place changes.
class TLabelPeer : public TChildPeer {
  public:
    TLabelPeer(TLabel& label, TFormPeer& form) : TChildPeer(label, form), label_(label) {
        right_ = label.Left() + label.Width();
        Create("STATIC", AlignStyle() | SS_NOPREFIX);
        Fit();
    }

    bool Opaque() const override { return !label_.Transparent(); }

    HBRUSH CtlColor(HDC hdc) override {
        if (!label_.Transparent()) {
            return TChildPeer::CtlColor(hdc);
        }
        SetTextColor(hdc, NativeColor(label_.Font().Color));
        SetBkMode(hdc, TRANSPARENT);
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        switch (what) {
            case TChange::Bounds:
                if (!fitting_) {
                    Reshape([this] {
                        right_ = label_.Left() + label_.Width();
                        ApplyBounds();
                    });
                }
                return true;
            case TChange::Text:
                // Also the notice of a new alignment.
                Reshape([this] {
                    LONG_PTR style = GetWindowLongPtrA(Handle(), GWL_STYLE);
                    style &= ~static_cast<LONG_PTR>(SS_TYPEMASK);
                    SetWindowLongPtrA(Handle(), GWL_STYLE, style | AlignStyle());
                    SetWindowTextA(Handle(), label_.Caption().c_str());
                });
                return true;
            case TChange::Font:
                Reshape([this] { ApplyFont(); });
                return true;
            case TChange::Color:
                // Also the notice of a change of transparency.
                Reshape([this] {});
                return true;
            default:
                return false;
        }
    }

  private:
    DWORD AlignStyle() const {
        switch (label_.Alignment()) {
            case TAlignment::taRightJustify:
                return SS_RIGHT;
            case TAlignment::taCenter:
                return SS_CENTER;
            default:
                return SS_LEFT;
        }
    }

    // Makes a change, refits, and repaints the old and the new area.
    template <typename F>
    void Reshape(F change) {
        const RECT before = RectInParent(Handle());
        change();
        Fit();
        const RECT after = RectInParent(Handle());
        // The form repaints what the label left and what it covers now (a
        // transparent label shows the form's painting through its text).
        if (Form()) {
            Form()->RepaintArea(Union(before, after));
        } else {
            InvalidateRect(Handle(), nullptr, TRUE);
        }
    }

    // An auto-sized label takes the size of its text (a blank when empty, so
    // it keeps a height); a right-aligned one keeps its right edge.
    void Fit() {
        if (!Handle() || !label_.AutoSize()) {
            return;
        }
        const std::string text = label_.Caption().empty() ? " " : label_.Caption();
        SIZE size{};
        const HDC dc = GetDC(Handle());
        const HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(Handle(), WM_GETFONT, 0, 0)));
        GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(Handle(), dc);
        int left = label_.Left();
        if (label_.Alignment() == TAlignment::taRightJustify) {
            left = right_ - size.cx;
        }
        SetWindowPos(Handle(), nullptr, left, label_.Top(), size.cx, size.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
        if (size.cx != label_.Width() || size.cy != label_.Height()) {
            fitting_ = true;
            try {
                label_.PeerResized(size.cx, size.cy);
            } catch (...) {
                fitting_ = false;
                throw;
            }
            fitting_ = false;
        }
    }

    TLabel& label_;
    int right_ = 0;
    bool fitting_ = false;
};

// ---- Buttons ----------------------------------------------------------------

// A 16-pixel green tick on a transparent ground, for OK buttons.
HIMAGELIST MakeTickImage() {
    constexpr int kSize = 16;
    const COLORREF mask = RGB(255, 0, 255);
    HIMAGELIST list = ImageList_Create(kSize, kSize, ILC_COLOR24 | ILC_MASK, 1, 0);
    if (!list) {
        return nullptr;
    }
    const HDC screen = GetDC(nullptr);
    const HDC dc = CreateCompatibleDC(screen);
    TGdiObject bitmap(CreateCompatibleBitmap(screen, kSize, kSize));
    ReleaseDC(nullptr, screen);
    const HGDIOBJ oldBitmap = SelectObject(dc, bitmap.Get());
    {
        TGdiObject ground(CreateSolidBrush(mask));
        RECT all{0, 0, kSize, kSize};
        FillRect(dc, &all, ground.Brush());
        TGdiObject pen(CreatePen(PS_SOLID, 2, RGB(0, 128, 0)));
        const HGDIOBJ oldPen = SelectObject(dc, pen.Get());
        const POINT tick[] = {{2, 8}, {6, 12}, {13, 3}};
        Polyline(dc, tick, 3);
        SelectObject(dc, oldPen);
    }
    SelectObject(dc, oldBitmap);
    DeleteDC(dc);
    ImageList_AddMasked(list, static_cast<HBITMAP>(bitmap.Get()), mask);
    return list;
}

class TButtonPeer : public TChildPeer {
  public:
    TButtonPeer(TButton& button, TFormPeer& form) : TChildPeer(button, form), button_(button) {
        Create("BUTTON", (button.Default() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | TabStop(button));
        const auto* bit = dynamic_cast<TBitBtn*>(&button);
        if (Handle() && bit && bit->Kind() == TBitBtnKind::bkOK) {
            glyph_ = MakeTickImage();
            if (glyph_) {
                BUTTON_IMAGELIST il{};
                il.himl = glyph_;
                il.margin = RECT{4, 0, 0, 0};
                il.uAlign = BUTTON_IMAGELIST_ALIGN_LEFT;
                SendMessageA(Handle(), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&il));
            }
        }
    }
    ~TButtonPeer() override {
        if (glyph_) {
            if (Handle()) {
                BUTTON_IMAGELIST none{};
                none.himl = nullptr;
                SendMessageA(Handle(), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&none));
            }
            ImageList_Destroy(glyph_);
        }
    }

    void Command(WORD code) override {
        if (code == BN_CLICKED) {
            button_.Click();  // may free this peer
        }
    }
    bool DefaultButton() const override { return button_.Default(); }

  private:
    TButton& button_;
    HIMAGELIST glyph_ = nullptr;
};

// BS_CHECKBOX, not the automatic kind: the tick is the control's, mirrored
// here, so a click only asks the control to flip it.
class TCheckBoxPeer : public TChildPeer {
  public:
    TCheckBoxPeer(TCheckBox& box, TFormPeer& form) : TChildPeer(box, form), box_(box) {
        Create("BUTTON", BS_CHECKBOX | TabStop(box));
        Mirror();
    }

    void Command(WORD code) override {
        if (code == BN_CLICKED) {
            box_.UserClick();  // may free this peer
        }
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        if (what != TChange::Checked) {
            return false;
        }
        Mirror();
        return true;
    }

  private:
    void Mirror() {
        if (Handle()) {
            SendMessageA(Handle(), BM_SETCHECK, box_.Checked() ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }
    TCheckBox& box_;
};

// ---- Drop-down list ---------------------------------------------------------

class TComboBoxPeer : public TChildPeer {
  public:
    TComboBoxPeer(TComboBox& combo, TFormPeer& form) : TChildPeer(combo, form), combo_(combo) {
        Create("COMBOBOX", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | TabStop(combo));
        if (Handle()) {
            ApplyBounds();
            Refill();
        }
    }

    void Command(WORD code) override {
        if (code == CBN_SELCHANGE) {
            const auto i = static_cast<int32_t>(SendMessageA(Handle(), CB_GETCURSEL, 0, 0));
            combo_.UserSelect(i);  // may free this peer
        }
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        switch (what) {
            case TChange::Items:
                Refill();
                return true;
            case TChange::ItemIndex:
                Select();
                return true;
            case TChange::Text:
                return true;  // a drop-down list shows its selected entry
            default:
                return false;
        }
    }

    // The window's height includes the opened list: room for eight entries.
    void ApplyBounds() override {
        const int list = std::max<int>(combo_.ItemHeight(), 8) * 8 + 2;
        MoveWindow(Handle(), combo_.Left(), combo_.Top(), combo_.Width(), combo_.Height() + list,
                   TRUE);
    }

  private:
    void Refill() {
        SendMessageA(Handle(), CB_RESETCONTENT, 0, 0);
        for (const std::string& item : combo_.Items()) {
            SendMessageA(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        }
        Select();
    }
    void Select() {
        const int32_t i = combo_.ItemIndex();
        SendMessageA(Handle(), CB_SETCURSEL, static_cast<WPARAM>(i >= 0 ? i : -1), 0);
    }
    TComboBox& combo_;
};

// ---- Memo -------------------------------------------------------------------

// A multi-line EDIT holding the lines joined by CRLF. Lines are appended and
// removed in place, never by rebuilding a long log, and changes are gathered
// for a moment (a timer of the form), so that a burst of lines costs the
// widget one update: each update of a long text is slow.
class TMemoPeer : public TChildPeer {
  public:
    TMemoPeer(TMemo& memo, TFormPeer& form) : TChildPeer(memo, form), memo_(memo) {
        DWORD style = ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL | TabStop(memo);
        const TScrollStyle s = memo.ScrollBars();
        if (s == TScrollStyle::ssVertical || s == TScrollStyle::ssBoth) {
            style |= WS_VSCROLL;
        }
        if (s == TScrollStyle::ssHorizontal || s == TScrollStyle::ssBoth) {
            style |= WS_HSCROLL | ES_AUTOHSCROLL;
        }
        if (memo.ReadOnly()) {
            style |= ES_READONLY;
        }
        Create("EDIT", style, WS_EX_CLIENTEDGE);
        if (Handle()) {
            SendMessageA(Handle(), EM_SETLIMITTEXT, 0, 0);  // no limit on the text
            Reload();
        }
    }

    void Flush() override {
        flushPosted_ = false;
        if (!Handle()) {
            return;
        }
        const auto& lines = memo_.Lines();
        const size_t removeShown = std::min(removed_, shown_.size());
        // Lines removed before they were shown were never appended.
        const size_t removedUnshown = removed_ - removeShown;
        if (reload_ || removedUnshown > appended_ ||
            shown_.size() - removeShown + appended_ - removedUnshown != lines.size()) {
            Reload();
            return;
        }
        const size_t append = appended_ - removedUnshown;
        removed_ = appended_ = 0;
        SendMessageA(Handle(), WM_SETREDRAW, FALSE, 0);
        if (removeShown == shown_.size()) {
            SetWindowTextA(Handle(), "");
            shown_.clear();
        } else if (removeShown > 0) {
            // Each removed line goes with the line break after it.
            const size_t chars =
                std::accumulate(shown_.begin(), shown_.begin() + removeShown, size_t{0}) +
                2 * removeShown;
            shown_.erase(shown_.begin(), shown_.begin() + removeShown);
            SendMessageA(Handle(), EM_SETSEL, 0, static_cast<LPARAM>(chars));
            SendMessageA(Handle(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        }
        if (append > 0) {
            std::string text;
            for (size_t i = lines.size() - append; i < lines.size(); ++i) {
                if (!shown_.empty()) {
                    text += "\r\n";
                }
                text += lines[i];
                shown_.push_back(lines[i].size());
            }
            const int end = GetWindowTextLengthA(Handle());
            SendMessageA(Handle(), EM_SETSEL, end, end);
            SendMessageA(Handle(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
        }
        SendMessageA(Handle(), WM_SETREDRAW, TRUE, 0);
        ToEnd();
        RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t count) override {
        switch (what) {
            case TChange::LineAdded:
                ++appended_;
                Later();
                return true;
            case TChange::LinesRemoved:
                removed_ += static_cast<size_t>(std::max(count, 0));
                Later();
                return true;
            case TChange::LinesCleared:
                reload_ = true;
                Later();
                return true;
            case TChange::Text:
                return true;  // the lines are the text
            default:
                return false;
        }
    }

  private:
    void Later() {
        if (!flushPosted_ && Form() && Form()->Handle()) {
            flushPosted_ =
                SetTimer(Form()->Handle(), kFlushTimerBase + Id(), kFlushDelayMs, nullptr) != 0;
        }
        if (!flushPosted_) {
            Flush();
        }
    }

    void Reload() {
        reload_ = false;
        removed_ = appended_ = 0;
        std::string text;
        shown_.clear();
        for (const std::string& line : memo_.Lines()) {
            if (!shown_.empty()) {
                text += "\r\n";
            }
            text += line;
            shown_.push_back(line.size());
        }
        SetWindowTextA(Handle(), text.c_str());
        ToEnd();
    }

    void ToEnd() {
        const int end = GetWindowTextLengthA(Handle());
        SendMessageA(Handle(), EM_SETSEL, end, end);
        SendMessageA(Handle(), EM_SCROLLCARET, 0, 0);
    }

    TMemo& memo_;
    std::deque<size_t> shown_;  // the lengths of the lines the widget holds
    size_t appended_ = 0;       // lines added to the control since the last update
    size_t removed_ = 0;        // lines removed from its front since then
    bool reload_ = false;
    bool flushPosted_ = false;
};

// ---- Bevel ------------------------------------------------------------------

// An owner-drawn STATIC that draws only its edges; what it frames shows through.
class TBevelPeer : public TChildPeer {
  public:
    TBevelPeer(TBevel& bevel, TFormPeer& form) : TChildPeer(bevel, form), bevel_(bevel) {
        Create("STATIC", SS_OWNERDRAW | WS_DISABLED);
    }
    bool Opaque() const override { return false; }
    HBRUSH CtlColor(HDC hdc) override {
        SetBkMode(hdc, TRANSPARENT);
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    }
    void DrawItem(const DRAWITEMSTRUCT& di) override {
        RECT r = di.rcItem;
        const bool lowered = bevel_.Style() == TBevelStyle::bsLowered;
        if (bevel_.Shape() == TBevelShape::bsFrame) {
            DrawEdge(di.hDC, &r, lowered ? EDGE_ETCHED : EDGE_BUMP, BF_RECT);
        } else {
            DrawEdge(di.hDC, &r, lowered ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
        }
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        return what == TChange::Enabled || what == TChange::Text;  // a frame has neither
    }

  private:
    TBevel& bevel_;
};

// ---- Status bar -------------------------------------------------------------

using SetThemeFn = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);

// uxtheme's SetWindowTheme where the system has it; the library stays loaded
// for the life of the program.
SetThemeFn SetWindowThemeFunction() {
    static const SetThemeFn fn = []() -> SetThemeFn {
        const HMODULE theme = LoadLibraryA("uxtheme.dll");
        if (!theme) {
            return nullptr;
        }
        return reinterpret_cast<SetThemeFn>(
            reinterpret_cast<void*>(GetProcAddress(theme, "SetWindowTheme")));
    }();
    return fn;
}

// One simple panel showing the caption; the bar is placed where the control
// says, not docked by the system. Visual styles would ignore the background
// colour, so the bar is drawn without them.
class TStatusBarPeer : public TChildPeer {
  public:
    TStatusBarPeer(TStatusBar& bar, TFormPeer& form) : TChildPeer(bar, form) {
        Create(STATUSCLASSNAMEA, CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER);
        if (!Handle()) {
            return;
        }
        if (const SetThemeFn set = SetWindowThemeFunction()) {
            set(Handle(), L"", L"");
        }
        SendMessageA(Handle(), SB_SIMPLE, TRUE, 0);
        ApplyColor();
        ApplyText();
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        if (what != TChange::Color) {
            return false;
        }
        ApplyColor();
        return true;
    }
    void ApplyText() override {
        const char* text = Control().Caption().c_str();
        SendMessageA(Handle(), SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(text));
        SetWindowTextA(Handle(), text);  // the window text, for readers
    }

  private:
    void ApplyColor() {
        SendMessageA(Handle(), SB_SETBKCOLOR, 0,
                     static_cast<LPARAM>(NativeColor(Control().Color())));
    }
};

}  // namespace

std::unique_ptr<TControlPeer> MakeChildPeer(TControl& control, TFormPeer& form) {
    if (auto* c = dynamic_cast<TLabel*>(&control)) {
        return std::make_unique<TLabelPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TButton*>(&control)) {
        return std::make_unique<TButtonPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TCheckBox*>(&control)) {
        return std::make_unique<TCheckBoxPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TComboBox*>(&control)) {
        return std::make_unique<TComboBoxPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TMemo*>(&control)) {
        return std::make_unique<TMemoPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TBevel*>(&control)) {
        return std::make_unique<TBevelPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TStatusBar*>(&control)) {
        return std::make_unique<TStatusBarPeer>(*c, form);
    }
    if (auto* c = dynamic_cast<TPaintBox*>(&control)) {
        return MakePaintBoxPeer(*c, form);
    }
    return nullptr;
}

}  // namespace tk::gui
