// Controls and forms: the portable state, the notices to the peers, and the
// showing, closing and destruction of forms.
#include "toolkit/Forms.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
#include <mutex>
#include <utility>

namespace tk {

// ---- Colours ---------------------------------------------------------------

TColor ColorToRGB(TColor c) {
    if ((c & clSystemColor) == 0) {
        return c & 0x00FFFFFF;
    }
    // The classic desktop scheme, indexed by COLOR_* number.
    static constexpr TColor kSystem[] = {
        0xC8D0D4,  // 0 scroll bar
        0xA56E3A,  // 1 background
        0x6A240A,  // 2 active caption
        0x808080,  // 3 inactive caption
        0xC8D0D4,  // 4 menu
        0xFFFFFF,  // 5 window
        0x000000,  // 6 window frame
        0x000000,  // 7 menu text
        0x000000,  // 8 window text
        0xFFFFFF,  // 9 caption text
        0xC8D0D4,  // 10 active border
        0xC8D0D4,  // 11 inactive border
        0x808080,  // 12 application workspace
        0x6A240A,  // 13 highlight
        0xFFFFFF,  // 14 highlight text
        0xF0F0F0,  // 15 button face
        0x808080,  // 16 button shadow
        0x808080,  // 17 grey text
        0x000000,  // 18 button text
        0xC8D0D4,  // 19 inactive caption text
        0xFFFFFF,  // 20 button highlight
        0x404040,  // 21 3-D dark shadow
        0xC8D0D4,  // 22 3-D light
        0x000000,  // 23 tooltip text
        0xE1FFFF,  // 24 tooltip background
    };
    const uint32_t index = c & 0xFF;
    if (index < std::size(kSystem)) {
        return kSystem[index];
    }
    return clBlack;
}

// ---- TControl --------------------------------------------------------------

TControl::TControl(TComponent* owner, TForm* parent) : TComponent(owner), parent_(parent) {
    if (parent_ != nullptr) {
        parent_->AddControl(this);
    }
}

TControl::~TControl() {
    peer_.reset();
    if (parent_ != nullptr) {
        parent_->RemoveControl(this);
        parent_ = nullptr;
    }
}

void TControl::Notify(TChange what, int32_t index, int32_t count) {
    if (peer_) {
        peer_->Changed(what, index, count);
    }
}

void TControl::SetBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
    if (left == left_ && top == top_ && width == width_ && height == height_) {
        return;
    }
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Notify(TChange::Bounds);
}

void TControl::SetCaption(const std::string& v) {
    if (v == caption_) {
        return;
    }
    caption_ = v;
    Notify(TChange::Text);
}

const TFont& TControl::Font() const {
    if (parentFont_ && parent_ != nullptr) {
        return parent_->Font();
    }
    return font_;
}

void TControl::SetFont(const TFont& f) {
    if (!parentFont_ && f == font_) {
        return;
    }
    font_ = f;
    parentFont_ = false;
    Notify(TChange::Font);
    // Controls that take this form's font change with it.
    if (auto* form = dynamic_cast<TForm*>(this)) {
        for (TControl* c : form->controls_) {
            if (c->parentFont_) {
                c->Notify(TChange::Font);
            }
        }
    }
}

void TControl::SetColor(TColor c) {
    if (c == color_) {
        return;
    }
    color_ = c;
    Notify(TChange::Color);
}

void TControl::SetVisible(bool v) {
    if (v == visible_) {
        return;
    }
    visible_ = v;
    Notify(TChange::Visible);
}

void TControl::SetEnabled(bool v) {
    if (v == enabled_) {
        return;
    }
    enabled_ = v;
    Notify(TChange::Enabled);
}

void TControl::SetCursor(TCursor c) {
    if (c == cursor_) {
        return;
    }
    cursor_ = c;
    Notify(TChange::Cursor);
}

void TControl::SetTabOrder(int32_t v) {
    if (v == tabOrder_) {
        return;
    }
    tabOrder_ = v;
    Notify(TChange::TabOrder);
}

void TControl::PeerResized(int32_t width, int32_t height) {
    auto* label = dynamic_cast<TLabel*>(this);
    if (label != nullptr && label->Alignment() == TAlignment::taRightJustify) {
        left_ += width_ - width;
    }
    width_ = width;
    height_ = height;
}

// ---- Labels, buttons, check boxes --------------------------------------------

void TLabel::SetAlignment(TAlignment a) {
    if (a == alignment_) {
        return;
    }
    alignment_ = a;
    Notify(TChange::Text);  // the peer lays the text out again
}

void TLabel::SetTransparent(bool v) {
    if (v == transparent_) {
        return;
    }
    transparent_ = v;
    Notify(TChange::Color);  // the background changes
}

void TButton::Click() {
    if (OnClick) {
        OnClick(*this);
    }
    if (modalResult_ != mrNone && Parent() != nullptr) {
        Parent()->SetModalResult(modalResult_);
    }
}

void TCheckBox::SetChecked(bool v) {
    if (v == checked_) {
        return;
    }
    checked_ = v;
    Notify(TChange::Checked);
    // A handler that sets the tick back runs once more and settles; one that
    // keeps flipping it is cut off rather than recursing without end.
    constexpr int32_t kMaxDepth = 16;
    if (!OnClick || clickDepth_ >= kMaxDepth) {
        return;
    }
    struct Depth {
        int32_t& d;
        explicit Depth(int32_t& x) : d(x) { ++d; }
        ~Depth() { --d; }
    } depth(clickDepth_);
    OnClick(*this);
}

// ---- Combo box -------------------------------------------------------------

void TComboBox::AddItem(const std::string& s) {
    items_.push_back(s);
    Notify(TChange::Items, static_cast<int32_t>(items_.size()) - 1, 1);
}

void TComboBox::ClearItems() {
    if (items_.empty() && itemIndex_ == -1) {
        return;
    }
    items_.clear();
    Notify(TChange::Items, -1, 0);
    if (itemIndex_ != -1) {
        itemIndex_ = -1;
        Notify(TChange::ItemIndex);
    }
}

void TComboBox::SetItemIndex(int32_t i) {
    if (i < 0 || static_cast<size_t>(i) >= items_.size()) {
        i = -1;
    }
    if (i == itemIndex_) {
        return;
    }
    itemIndex_ = i;
    Notify(TChange::ItemIndex);
}

std::string TComboBox::Text() const {
    if (itemIndex_ < 0 || static_cast<size_t>(itemIndex_) >= items_.size()) {
        return {};
    }
    return items_[static_cast<size_t>(itemIndex_)];
}

void TComboBox::UserSelect(int32_t i) {
    if (i < 0 || static_cast<size_t>(i) >= items_.size()) {
        return;
    }
    SetItemIndex(i);
    if (OnChange) {
        OnChange(*this);
    }
}

// ---- Memo ------------------------------------------------------------------

void TMemo::AddLine(const std::string& s) {
    // The oldest lines make room first, so the peer never holds more than
    // the bound.
    if (maxLines_ > 0 && lines_.size() >= maxLines_) {
        const size_t drop = lines_.size() - maxLines_ + 1;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(drop));
        Notify(TChange::LinesRemoved, 0, static_cast<int32_t>(drop));
    }
    lines_.push_back(s);
    Notify(TChange::LineAdded, static_cast<int32_t>(lines_.size()) - 1, 1);
}

void TMemo::ClearLines() {
    if (lines_.empty()) {
        return;
    }
    lines_.clear();
    Notify(TChange::LinesCleared);
}

void TMemo::SetMaxLines(size_t n) {
    maxLines_ = n;
    if (n > 0 && lines_.size() > n) {
        const size_t drop = lines_.size() - n;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(drop));
        Notify(TChange::LinesRemoved, 0, static_cast<int32_t>(drop));
    }
}

// ---- Forms -----------------------------------------------------------------

namespace {

std::mutex& HeadlessLock() {
    static std::mutex m;
    return m;
}

THeadlessModal& HeadlessHandler() {
    static THeadlessModal handler;
    return handler;
}

}  // namespace

THeadlessModal SetHeadlessModalHandler(THeadlessModal handler) {
    std::lock_guard<std::mutex> g(HeadlessLock());
    THeadlessModal old = std::move(HeadlessHandler());
    HeadlessHandler() = std::move(handler);
    return old;
}

TForm::TForm(TComponent* owner) : TControl(owner, nullptr) {}

TForm::~TForm() {
    DoDestroy();
    if (TApplication* app = Application(); app != nullptr && app->mainForm_ == this) {
        app->mainForm_ = nullptr;
    }
    // The controls' peers go first, then the form's own; the controls, freed
    // later by the owner, no longer know this form.
    ReleasePeers();
    for (TControl* c : controls_) {
        c->parent_ = nullptr;
    }
    controls_.clear();
    showing_ = false;
}

void TForm::SetClientSize(int32_t width, int32_t height) {
    if (width == clientWidth_ && height == clientHeight_) {
        return;
    }
    clientWidth_ = width;
    clientHeight_ = height;
    Notify(TChange::Bounds);
    if (OnResize) {
        OnResize(*this);
    }
}

void TForm::AddControl(TControl* c) {
    controls_.push_back(c);
}

void TForm::RemoveControl(TControl* c) {
    auto it = std::find(controls_.begin(), controls_.end(), c);
    if (it != controls_.end()) {
        controls_.erase(it);
    }
}

void TForm::MakePeers() {
    TGuiBackend* backend = GuiBackend();
    if (backend == nullptr) {
        return;
    }
    try {
        peer_ = backend->MakePeer(*this);
        for (TControl* c : controls_) {
            c->peer_ = backend->MakePeer(*c);
        }
    } catch (...) {
        ReleasePeers();
        throw;
    }
}

void TForm::ReleasePeers() {
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
        (*it)->peer_.reset();
    }
    peer_.reset();
}

void TForm::DoCreate() {
    if (OnCreate) {
        OnCreate(*this);
    }
}

void TForm::DoDestroy() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    if (OnDestroy) {
        OnDestroy(*this);
    }
}

void TForm::Show() {
    if (showing_) {
        return;
    }
    MakePeers();
    showing_ = true;
    Notify(TChange::Visible);
}

TModalResult TForm::ShowModal() {
    if (showing_) {
        // Already on screen as a modeless window: shown again as a dialog.
        ReleasePeers();
        showing_ = false;
    }
    modalResult_ = mrNone;
    TGuiBackend* backend = GuiBackend();
    if (backend != nullptr) {
        MakePeers();
    }
    showing_ = true;
    modal_ = true;
    struct Ending {
        TForm& f;
        ~Ending() {
            f.modal_ = false;
            f.showing_ = false;
            f.ReleasePeers();
        }
    } ending{*this};

    TModalResult r = mrNone;
    if (backend != nullptr) {
        r = backend->ShowModal(*this);
    } else {
        THeadlessModal handler;
        {
            std::lock_guard<std::mutex> g(HeadlessLock());
            handler = HeadlessHandler();
        }
        r = handler ? handler(*this) : mrCancel;
    }
    if (r != mrNone) {
        modalResult_ = r;
    } else if (modalResult_ == mrNone) {
        modalResult_ = mrCancel;
    }
    return modalResult_;
}

void TForm::SetModalResult(TModalResult r) {
    modalResult_ = r;
    Notify(TChange::ModalResult);
}

void TForm::Close() {
    if (modal_) {
        if (modalResult_ == mrNone) {
            SetModalResult(mrCancel);
        }
        return;
    }
    const bool wasShowing = showing_;
    showing_ = false;
    if (wasShowing) {
        ReleasePeers();
    }
    if (TApplication* app = Application(); app != nullptr && app->mainForm_ == this) {
        app->MainFormClosed();
    }
}

void TForm::Invalidate() {
    Notify(TChange::Repaint);
}

void TForm::Paint(TCanvas& canvas) {
    if (OnPaint) {
        OnPaint(*this, canvas);
    }
}

}  // namespace tk

namespace tk {

// ---- Canvas: shapes drawn with the pen, for canvases that only draw lines ----

namespace {

// Draws with the pen in colour c and puts the caller's pen back.
class TPenAs {
  public:
    TPenAs(TCanvas& canvas, TColor c) : canvas_(canvas), old_(canvas.PenColor()) {
        canvas_.SetPenColor(c);
    }
    ~TPenAs() { canvas_.SetPenColor(old_); }
    TPenAs(const TPenAs&) = delete;
    TPenAs& operator=(const TPenAs&) = delete;

  private:
    TCanvas& canvas_;
    TColor old_;
};

void Row(TCanvas& canvas, int32_t left, int32_t right, int32_t y) {
    if (right > left) {
        canvas.MoveTo(left, y);
        canvas.LineTo(right, y);
    }
}

// The x extent of row y of the ellipse inside [left, right) x [top, bottom).
bool EllipseRow(int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t y, int32_t& x0,
                int32_t& x1) {
    const double a = (right - left) / 2.0;
    const double b = (bottom - top) / 2.0;
    if (a <= 0 || b <= 0) {
        return false;
    }
    const double cy = top + b;
    const double dy = (y + 0.5 - cy) / b;
    if (dy * dy > 1.0) {
        return false;
    }
    const double half = a * std::sqrt(1.0 - dy * dy);
    const double cx = left + a;
    x0 = static_cast<int32_t>(std::lround(cx - half));
    x1 = static_cast<int32_t>(std::lround(cx + half));
    return x1 > x0;
}

}  // namespace

void TCanvas::FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    TPenAs pen(*this, BrushColor());
    for (int32_t y = top; y < bottom; ++y) {
        Row(*this, left, right, y);
    }
}

void TCanvas::Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    if (right <= left || bottom <= top) {
        return;
    }
    if (BrushStyle() == TBrushStyle::bsSolid) {
        FillRect(left + 1, top + 1, right - 1, bottom - 1);
    }
    MoveTo(left, top);
    LineTo(right - 1, top);
    LineTo(right - 1, bottom - 1);
    LineTo(left, bottom - 1);
    LineTo(left, top);
}

void TCanvas::Ellipse(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    int32_t prev0 = 0, prev1 = 0;
    bool havePrev = false;
    for (int32_t y = top; y < bottom; ++y) {
        int32_t x0 = 0, x1 = 0;
        if (!EllipseRow(left, top, right, bottom, y, x0, x1)) {
            continue;
        }
        if (BrushStyle() == TBrushStyle::bsSolid) {
            TPenAs pen(*this, BrushColor());
            Row(*this, x0, x1, y);
        }
        // The outline: each row's ends, widened to meet the row before.
        const int32_t l1 = havePrev ? std::max(x0 + 1, std::min(prev0, x1)) : x1;
        const int32_t r0 = havePrev ? std::min(x1 - 1, std::max(prev1, x0)) : x0;
        const bool edgeRow = y == top || y + 1 == bottom || !havePrev;
        Row(*this, x0, edgeRow ? x1 : l1, y);
        Row(*this, edgeRow ? x0 : r0, x1, y);
        prev0 = x0;
        prev1 = x1;
        havePrev = true;
    }
}

void TCanvas::TextOut(int32_t, int32_t, const std::string&) {
    // A canvas of lines has no font: text is left out.
}

int32_t TCanvas::TextWidth(const std::string& text) {
    // An average character is about 0.55 of the height in the sans faces used.
    return static_cast<int32_t>(text.size()) * std::max(1, FontSize() * 11 / 20);
}

int32_t TCanvas::TextHeight(const std::string&) {
    return FontSize();
}

// ---- Paint box ---------------------------------------------------------------

void TPaintBox::Invalidate() {
    Notify(TChange::Repaint);
}

void TPaintBox::Paint(TCanvas& canvas) {
    if (OnPaint) {
        OnPaint(*this, canvas);
    }
}

// ---- Menus ---------------------------------------------------------------------

void TMenuItem::Click() {
    if (!enabled_) {
        return;
    }
    if (autoCheck_) {
        checked_ = !checked_;
    }
    if (OnClick) {
        OnClick(*this);
    }
}

TMenuItem& TPopupMenu::Add(const std::string& caption) {
    auto* item = new TMenuItem(this);  // owned and freed by the menu
    item->SetCaption(caption);
    items_.push_back(item);
    return *item;
}

void TPopupMenu::Popup(TForm& form, int32_t x, int32_t y) {
    if (OnPopup) {
        OnPopup(*this);
    }
    TGuiBackend* backend = GuiBackend();
    if (backend == nullptr) {
        return;
    }
    const int32_t picked = backend->TrackPopupMenu(*this, form, x, y);
    if (picked >= 0 && static_cast<size_t>(picked) < items_.size()) {
        items_[static_cast<size_t>(picked)]->Click();
    }
}

int32_t TGuiBackend::TrackPopupMenu(TPopupMenu&, TForm&, int32_t, int32_t) {
    return -1;
}

// ---- Clipboard -----------------------------------------------------------------

bool TGuiBackend::SaveFileName(TForm&, const std::string&, const std::string&, const std::string&,
                               std::string&) {
    return false;
}

bool TGuiBackend::SetClipboardText(const std::string&) {
    return false;
}

bool TGuiBackend::ClipboardText(std::string&) {
    return false;
}

std::string TClipboard::AsText() const {
    std::string text;
    if (TGuiBackend* backend = GuiBackend(); backend != nullptr && backend->ClipboardText(text)) {
        return text;
    }
    return text_;
}

void TClipboard::SetAsText(const std::string& text) {
    text_ = text;
    if (TGuiBackend* backend = GuiBackend()) {
        backend->SetClipboardText(text);
    }
}

TClipboard& Clipboard() {
    static TClipboard clipboard;
    return clipboard;
}

// ---- Form sizes and context menu ---------------------------------------------------

void TForm::SetMinClientSize(int32_t width, int32_t height) {
    if (width == minClientWidth_ && height == minClientHeight_) {
        return;
    }
    minClientWidth_ = width;
    minClientHeight_ = height;
    Notify(TChange::Bounds);
}

void TForm::BringToFront() {
    if (showing_) {
        Notify(TChange::Visible);
    }
}

void TForm::UserResized(int32_t width, int32_t height) {
    if (width == clientWidth_ && height == clientHeight_) {
        return;
    }
    clientWidth_ = width;
    clientHeight_ = height;
    if (OnResize) {
        OnResize(*this);
    }
}

bool TForm::UserContextMenu(int32_t x, int32_t y) {
    if (popupMenu_ == nullptr) {
        return false;
    }
    popupMenu_->Popup(*this, x, y);
    return true;
}

}  // namespace tk
