// The form peer: a top-level window of its own class whose background is the
// form's colour with the form's painting over it; its children's
// notifications come back here and go to their peers.
#include <algorithm>
#include <exception>
#include <vector>

#include "toolkit/ExceptionDisplay.h"
#include "toolkit/win32/GuiWin32.h"

namespace tk::gui {

namespace {

constexpr const char* kPeerProp = "PalmoGPSFormPeer";

// A canvas on a device context: the DC pen and DC brush in the canvas's
// colours, and a font of the control's face at the canvas's size. The
// device context gets its pen, brush and font back at the end.
class THdcCanvas : public TCanvas {
  public:
    THdcCanvas(HDC dc, const TFont& font) : dc_(dc), face_(font) {
        TCanvas::SetFontColor(font.Color);
        TCanvas::SetFontSize(std::max(1, std::abs(font.Height)));
        oldPen_ = SelectObject(dc_, GetStockObject(DC_PEN));
        oldBrush_ = SelectObject(dc_, GetStockObject(DC_BRUSH));
        SetDCPenColor(dc_, NativeColor(PenColor()));
        SetDCBrushColor(dc_, NativeColor(BrushColor()));
        SetBkMode(dc_, TRANSPARENT);
    }
    ~THdcCanvas() override {
        SelectObject(dc_, oldPen_);
        SelectObject(dc_, oldBrush_);
        if (oldFont_) {
            SelectObject(dc_, oldFont_);
        }
    }
    THdcCanvas(const THdcCanvas&) = delete;
    THdcCanvas& operator=(const THdcCanvas&) = delete;

    void SetPenColor(TColor c) override {
        TCanvas::SetPenColor(c);
        SetDCPenColor(dc_, NativeColor(c));
    }
    void SetBrushColor(TColor c) override {
        TCanvas::SetBrushColor(c);
        SetDCBrushColor(dc_, NativeColor(c));
    }
    void SetFontSize(int32_t pixels) override {
        TCanvas::SetFontSize(pixels);
        fontMade_ = false;
    }
    void MoveTo(int32_t x, int32_t y) override { MoveToEx(dc_, x, y, nullptr); }
    void LineTo(int32_t x, int32_t y) override { ::LineTo(dc_, x, y); }
    void FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        const RECT r{left, top, right, bottom};
        ::FillRect(dc_, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    }
    void Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        WithBrush([&] { ::Rectangle(dc_, left, top, right, bottom); });
    }
    void Ellipse(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        WithBrush([&] { ::Ellipse(dc_, left, top, right, bottom); });
    }
    void TextOut(int32_t x, int32_t y, const std::string& text) override {
        UseFont();
        SetTextColor(dc_, NativeColor(FontColor()));
        ::TextOutA(dc_, x, y, text.data(), static_cast<int>(text.size()));
    }
    int32_t TextWidth(const std::string& text) override {
        UseFont();
        SIZE size{};
        GetTextExtentPoint32A(dc_, text.data(), static_cast<int>(text.size()), &size);
        return size.cx;
    }
    int32_t TextHeight(const std::string&) override {
        UseFont();
        TEXTMETRICA tm{};
        GetTextMetricsA(dc_, &tm);
        return tm.tmHeight;
    }

  private:
    // A clear brush leaves the inside as it is.
    template <typename F>
    void WithBrush(F draw) {
        if (BrushStyle() == TBrushStyle::bsClear) {
            const HGDIOBJ dcBrush = SelectObject(dc_, GetStockObject(NULL_BRUSH));
            draw();
            SelectObject(dc_, dcBrush);
        } else {
            draw();
        }
    }
    // The control's face at the canvas's size, made when first needed.
    void UseFont() {
        if (fontMade_) {
            return;
        }
        TFont f = face_;
        f.Height = -FontSize();
        HFONT made = CreateToolkitFont(f);
        const HGDIOBJ old = SelectObject(dc_, made);
        if (!oldFont_) {
            oldFont_ = old;
        }
        font_.Reset(made);
        fontMade_ = true;
    }

    HDC dc_;
    TFont face_;
    TGdiObject font_;
    bool fontMade_ = false;
    HGDIOBJ oldPen_ = nullptr;
    HGDIOBJ oldBrush_ = nullptr;
    HGDIOBJ oldFont_ = nullptr;
};

// BeginPaint/EndPaint for the life of the object.
class TPaintScope {
  public:
    explicit TPaintScope(HWND hwnd) : hwnd_(hwnd), dc_(BeginPaint(hwnd, &ps_)) {}
    ~TPaintScope() { EndPaint(hwnd_, &ps_); }
    TPaintScope(const TPaintScope&) = delete;
    TPaintScope& operator=(const TPaintScope&) = delete;
    HDC Dc() const { return dc_; }
    const RECT& Area() const { return ps_.rcPaint; }

  private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

// Window styles of a border style.
void FrameStyles(const TForm& form, DWORD& style, DWORD& exStyle) {
    switch (form.BorderStyle()) {
        case TBorderStyle::bsDialog:
            style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
            exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
            break;
        case TBorderStyle::bsSingle:
            style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
            exStyle = WS_EX_CONTROLPARENT;
            break;
        case TBorderStyle::bsSizeable:
        default:
            style = WS_OVERLAPPEDWINDOW;
            exStyle = WS_EX_CONTROLPARENT;
            break;
    }
    if (form.SystemMenuOnly()) {
        style &= ~static_cast<DWORD>(WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    }
}

// The window rectangle for the form's client size and position.
RECT FrameRect(const TForm& form, DWORD style, DWORD exStyle) {
    RECT r{0, 0, form.ClientWidth(), form.ClientHeight()};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    int x = form.Left();
    int y = form.Top();
    if (form.Position() != TPosition::poDesigned) {
        RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        if (form.Position() == TPosition::poDesktopCenter) {
            SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        }
        x = work.left + (work.right - work.left - w) / 2;
        y = work.top + (work.bottom - work.top - h) / 2;
    }
    return RECT{x, y, x + w, y + h};
}

// A failing paint handler would fail again on every repaint that its own
// message box causes; one box at a time is shown.
bool gShowingPaintFailure = false;

}  // namespace

// A memory device context with a bitmap of the given size selected.
class TMemoryDc {
  public:
    TMemoryDc(HDC like, int w, int h)
        : dc_(CreateCompatibleDC(like)),
          bitmap_(CreateCompatibleBitmap(like, w, h)),
          width_(w),
          height_(h) {
        old_ = SelectObject(dc_, bitmap_.Get());
    }
    ~TMemoryDc() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
    }
    TMemoryDc(const TMemoryDc&) = delete;
    TMemoryDc& operator=(const TMemoryDc&) = delete;
    HDC Dc() const { return dc_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

  private:
    HDC dc_;
    TGdiObject bitmap_;
    int width_;
    int height_;
    HGDIOBJ old_ = nullptr;
};

COLORREF NativeColor(TColor c) {
    if (c & clSystemColor) {
        return GetSysColor(static_cast<int>(c & 0xFF));
    }
    return static_cast<COLORREF>(c & 0xFFFFFF);
}

HFONT CreateToolkitFont(const TFont& f) {
    const int height = f.Height < 0 ? f.Height : -f.Height;
    return CreateFontA(height, 0, 0, 0, f.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, f.Name.c_str());
}

LRESULT CALLBACK PaintBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

bool RegisterFormClass() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = TFormPeer::WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = nullptr;  // the form paints its own background
    wc.lpszClassName = kFormClass;
    if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    WNDCLASSEXA box{};
    box.cbSize = sizeof box;
    box.lpfnWndProc = PaintBoxProc;
    box.hInstance = GetModuleHandleA(nullptr);
    box.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    box.lpszClassName = kPaintBoxClass;
    return RegisterClassExA(&box) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

TFormPeer::TFormPeer(TForm& form, HWND owner) : form_(form) {
    DWORD style = 0;
    DWORD exStyle = 0;
    FrameStyles(form, style, exStyle);
    const RECT r = FrameRect(form, style, exStyle);
    hwnd_ = CreateWindowExA(exStyle, kFormClass, form.Caption().c_str(), style, r.left, r.top,
                            r.right - r.left, r.bottom - r.top, owner, nullptr,
                            GetModuleHandleA(nullptr), this);
}

TFormPeer::~TFormPeer() {
    for (auto& [id, child] : children_) {
        child->FormGone();
    }
    children_.clear();
    if (hwnd_) {
        const HWND h = hwnd_;
        RemovePropA(h, kPeerProp);
        hwnd_ = nullptr;
        DestroyWindow(h);
    }
}

TFormPeer* TFormPeer::FromHandle(HWND hwnd) {
    return hwnd ? static_cast<TFormPeer*>(GetPropA(hwnd, kPeerProp)) : nullptr;
}

int TFormPeer::AddChild(TChildPeer* child) {
    const int id = nextId_++;
    children_[id] = child;
    return id;
}

void TFormPeer::RemoveChild(TChildPeer* child) {
    children_.erase(child->Id());
}

TChildPeer* TFormPeer::ChildByHandle(HWND h) const {
    if (!h) {
        return nullptr;
    }
    for (const auto& [id, child] : children_) {
        if (child->Handle() == h) {
            return child;
        }
    }
    return nullptr;
}

TChildPeer* TFormPeer::ChildById(int id) const {
    const auto it = children_.find(id);
    return it == children_.end() ? nullptr : it->second;
}

void TFormPeer::RepaintArea(const RECT& area) {
    if (hwnd_) {
        RedrawWindow(hwnd_, &area, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
}

void TFormPeer::ArrangeTabOrder() {
    if (!hwnd_) {
        return;
    }
    std::vector<TChildPeer*> stops;
    for (const auto& [id, child] : children_) {
        if (child->Handle() && child->Control().TabOrder() >= 0) {
            stops.push_back(child);
        }
    }
    std::stable_sort(stops.begin(), stops.end(), [](TChildPeer* a, TChildPeer* b) {
        return a->Control().TabOrder() < b->Control().TabOrder();
    });
    HWND after = HWND_TOP;
    for (TChildPeer* child : stops) {
        SetWindowPos(child->Handle(), after, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
        after = child->Handle();
    }
}

void TFormPeer::FinishShow() {
    if (shown_ || !hwnd_) {
        return;
    }
    shown_ = true;
    ArrangeTabOrder();
    if (!form_.Visible()) {
        return;
    }
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd_);
    // The first tab stop that can take the focus starts with it.
    HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (first) {
        SetFocus(first);
    }
    UpdateWindow(hwnd_);
}

void TFormPeer::ApplyBounds() {
    DWORD style = 0;
    DWORD exStyle = 0;
    FrameStyles(form_, style, exStyle);
    RECT now{};
    GetWindowRect(hwnd_, &now);
    RECT r = FrameRect(form_, style, exStyle);
    if (form_.Position() != TPosition::poDesigned && shown_) {
        // Once placed, a centred form keeps its place and only changes size.
        OffsetRect(&r, now.left - r.left, now.top - r.top);
    }
    SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFormPeer::Changed(TChange what, int32_t, int32_t) {
    if (!hwnd_) {
        return;
    }
    switch (what) {
        case TChange::Bounds:
            background_.reset();
            ApplyBounds();
            break;
        case TChange::Text:
            SetWindowTextA(hwnd_, form_.Caption().c_str());
            break;
        case TChange::Color:
        case TChange::Repaint:
            background_.reset();
            RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
            break;
        case TChange::Visible:
            // The first notice comes once the controls' peers exist.
            if (!shown_) {
                FinishShow();
            } else if (form_.Visible()) {
                ShowWindow(hwnd_, SW_SHOW);
                // Also the notice of BringToFront.
                BringWindowToTop(hwnd_);
                SetForegroundWindow(hwnd_);
            } else {
                ShowWindow(hwnd_, SW_HIDE);
            }
            break;
        case TChange::Enabled:
            EnableWindow(hwnd_, form_.Enabled());
            break;
        default:
            break;
    }
}

void TFormPeer::Paint() {
    TPaintScope paint(hwnd_);
    RECT client{};
    GetClientRect(hwnd_, &client);
    if (client.right <= 0 || client.bottom <= 0) {
        return;
    }
    // Widgets that paint their whole rectangle are left alone.
    for (const auto& [id, child] : children_) {
        if (child->Handle() && child->Opaque() && IsWindowVisible(child->Handle())) {
            RECT r{};
            GetWindowRect(child->Handle(), &r);
            MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
            ExcludeClipRect(paint.Dc(), r.left, r.top, r.right, r.bottom);
        }
    }
    std::exception_ptr failure;
    if (!background_ || background_->Width() != client.right ||
        background_->Height() != client.bottom) {
        // Drawn off screen, so the colour never shows without the painting.
        background_ = std::make_unique<TMemoryDc>(paint.Dc(), client.right, client.bottom);
        TGdiObject brush(CreateSolidBrush(NativeColor(form_.Color())));
        FillRect(background_->Dc(), &client, brush.Brush());
        try {
            THdcCanvas canvas(background_->Dc(), form_.Font());
            form_.Paint(canvas);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    const RECT& a = paint.Area();
    BitBlt(paint.Dc(), a.left, a.top, a.right - a.left, a.bottom - a.top, background_->Dc(), a.left,
           a.top, SRCCOPY);
    if (failure && !gShowingPaintFailure) {
        gShowingPaintFailure = true;
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            ShowCurrentException();
        }
        gShowingPaintFailure = false;
    }
}

LRESULT TFormPeer::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT paints everything
        case WM_PAINT:
            Paint();
            return 0;
        case WM_CLOSE:
            form_.UserClose();  // may free this peer
            return 0;
        case WM_CONTEXTMENU:
            // From the mouse at a screen point, from the keyboard with -1.
            if (form_.PopupMenu()) {
                POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
                if (lParam == -1) {
                    p = POINT{-1, -1};
                } else {
                    ScreenToClient(hwnd_, &p);
                }
                form_.UserContextMenu(p.x, p.y);  // may free this peer
                return 0;
            }
            break;
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED && form_.BorderStyle() == TBorderStyle::bsSizeable) {
                background_.reset();
                form_.UserResized(LOWORD(lParam), HIWORD(lParam));
                InvalidateRect(hwnd_, nullptr, FALSE);
            }
            return 0;
        case WM_GETMINMAXINFO:
            if (form_.MinClientWidth() > 0 || form_.MinClientHeight() > 0) {
                DWORD style = 0;
                DWORD exStyle = 0;
                FrameStyles(form_, style, exStyle);
                RECT r{0, 0, form_.MinClientWidth(), form_.MinClientHeight()};
                AdjustWindowRectEx(&r, style, FALSE, exStyle);
                auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
                info->ptMinTrackSize = POINT{r.right - r.left, r.bottom - r.top};
                return 0;
            }
            break;
        case WM_COMMAND: {
            TChildPeer* child = ChildByHandle(reinterpret_cast<HWND>(lParam));
            if (!child && HIWORD(wParam) == BN_CLICKED) {
                child = ChildById(LOWORD(wParam));
            }
            if (child) {
                child->Command(HIWORD(wParam));  // may free this peer
            } else if (LOWORD(wParam) == IDCANCEL && modal_) {
                form_.UserClose();  // Escape closes a dialog
            }
            return 0;
        }
        case DM_GETDEFID:
            for (const auto& [id, child] : children_) {
                if (child->DefaultButton() && child->Handle()) {
                    return MAKELRESULT(id, DC_HASDEFID);
                }
            }
            return 0;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORLISTBOX:
            if (TChildPeer* child = ChildByHandle(reinterpret_cast<HWND>(lParam))) {
                if (HBRUSH b = child->CtlColor(reinterpret_cast<HDC>(wParam))) {
                    return reinterpret_cast<LRESULT>(b);
                }
            }
            break;
        case WM_DRAWITEM: {
            const auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (TChildPeer* child = ChildByHandle(di->hwndItem)) {
                child->DrawItem(*di);
                return TRUE;
            }
            break;
        }
        case WM_SETCURSOR:
            if (LOWORD(lParam) == HTCLIENT) {
                const HWND under = reinterpret_cast<HWND>(wParam);
                const TChildPeer* child = ChildByHandle(under);
                const TControl* c = child ? &child->Control() : (under == hwnd_ ? &form_ : nullptr);
                if (c && c->Cursor() == TCursor::crHandPoint) {
                    SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
                    return TRUE;
                }
            }
            break;
        case WM_TIMER:
            if (wParam > kFlushTimerBase) {
                KillTimer(hwnd_, wParam);
                if (TChildPeer* child = ChildById(static_cast<int>(wParam - kFlushTimerBase))) {
                    child->Flush();
                }
                return 0;
            }
            break;
        case WM_ACTIVATE:
            // Like a dialog: the focus comes back to where it was.
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focus = GetFocus();
                if (focus && IsChild(hwnd_, focus)) {
                    lastFocus_ = focus;
                }
            } else if (lastFocus_ && IsWindow(lastFocus_) && IsChild(hwnd_, lastFocus_)) {
                SetFocus(lastFocus_);
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK TFormPeer::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        if (auto* peer = static_cast<TFormPeer*>(cs->lpCreateParams)) {
            peer->hwnd_ = hwnd;
            SetPropA(hwnd, kPeerProp, peer);
        }
    }
    TFormPeer* peer = FromHandle(hwnd);
    if (msg == WM_NCDESTROY) {
        // Gone by other means than the peer (its owner went first): the
        // children went with it.
        RemovePropA(hwnd, kPeerProp);
        if (peer) {
            for (auto& [id, child] : peer->children_) {
                child->FormGone();
            }
            peer->children_.clear();
            peer->hwnd_ = nullptr;
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    if (!peer) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    // Exceptions never cross the system's frames: they are shown here.
    try {
        return peer->Handle(msg, wParam, lParam);
    } catch (...) {
        ShowCurrentException();
        return 0;
    }
}

// ---- Paint box ----------------------------------------------------------------

namespace {

constexpr const char* kPaintBoxProp = "PalmoGPSPaintBoxPeer";

// A child window of its own class, painted off screen and copied in one
// go, so that a repaint never shows a half-drawn picture.
class TPaintBoxPeer : public TChildPeer {
  public:
    TPaintBoxPeer(TPaintBox& box, TFormPeer& form) : TChildPeer(box, form), box_(box) {
        Create(kPaintBoxClass, 0);
        if (Handle()) {
            SetPropA(Handle(), kPaintBoxProp, this);
        }
    }
    ~TPaintBoxPeer() override {
        if (Handle()) {
            RemovePropA(Handle(), kPaintBoxProp);
        }
    }

    void Paint(HWND hwnd) {
        TPaintScope paint(hwnd);
        RECT client{};
        GetClientRect(hwnd, &client);
        if (client.right <= 0 || client.bottom <= 0) {
            return;
        }
        TMemoryDc buffer(paint.Dc(), client.right, client.bottom);
        TGdiObject brush(CreateSolidBrush(NativeColor(box_.Color())));
        ::FillRect(buffer.Dc(), &client, brush.Brush());
        std::exception_ptr failure;
        try {
            THdcCanvas canvas(buffer.Dc(), box_.Font());
            box_.Paint(canvas);
        } catch (...) {
            failure = std::current_exception();
        }
        const RECT& a = paint.Area();
        BitBlt(paint.Dc(), a.left, a.top, a.right - a.left, a.bottom - a.top, buffer.Dc(), a.left,
               a.top, SRCCOPY);
        if (failure && !gShowingPaintFailure) {
            gShowingPaintFailure = true;
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                ShowCurrentException();
            }
            gShowingPaintFailure = false;
        }
    }

  protected:
    bool Apply(TChange what, int32_t, int32_t) override {
        if (what == TChange::Repaint || what == TChange::Color || what == TChange::Font) {
            InvalidateRect(Handle(), nullptr, FALSE);
            return true;
        }
        return what == TChange::Text;  // no text to show
    }

  private:
    TPaintBox& box_;
};

}  // namespace

LRESULT CALLBACK PaintBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* peer = static_cast<TPaintBoxPeer*>(GetPropA(hwnd, kPaintBoxProp));
    switch (msg) {
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers everything
        case WM_PAINT:
            if (peer) {
                try {
                    peer->Paint(hwnd);
                } catch (...) {
                    ShowCurrentException();
                }
                return 0;
            }
            break;
        case WM_NCHITTEST:
            // Clicks go through to the form (its context menu, for one).
            return HTTRANSPARENT;
        default:
            break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::unique_ptr<TControlPeer> MakePaintBoxPeer(TPaintBox& box, TFormPeer& form) {
    return std::make_unique<TPaintBoxPeer>(box, form);
}

}  // namespace tk::gui
