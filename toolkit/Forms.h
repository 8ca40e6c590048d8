// Forms and controls. Each control keeps its whole state in the portable
// class, so form logic runs with no display; a GUI backend (Qt on Linux,
// Win32 on Windows) gives each control of a shown form a peer that mirrors
// that state into a real widget and turns the user's input back into calls
// of the User* operations below. Without a backend nothing is displayed and
// everything else works the same.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/Component.h"

namespace tk {

// ---- Colours, fonts, cursors ---------------------------------------------

// 00BBGGRR; values with the top bit set name a system colour (the low byte
// is the Win32 COLOR_* index).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clSystemColor = 0x80000000;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowText = clSystemColor | 8;

// The colour a peer paints for c (system colours resolved to the platform's).
TColor ColorToRGB(TColor c);

struct TFont {
    std::string Name = "MS Sans Serif";
    // Pixels; negative: character height without internal leading (as stored
    // forms give it), positive: cell height. Peers use the magnitude.
    int32_t Height = -11;
    bool Bold = false;
    TColor Color = clWindowText;
    bool operator==(const TFont&) const = default;
};

enum class TCursor { crDefault, crHandPoint };
enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

// Modal results.
using TModalResult = int32_t;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;

// ---- Canvas ----------------------------------------------------------------

// How shapes are filled: bsSolid in the brush colour, bsClear not at all
// (only the outline is drawn).
enum class TBrushStyle { bsSolid, bsClear };

// What a paint handler draws with; a peer supplies one during painting.
// Coordinates are pixels of the control's client area; rectangles are given
// as left, top, right, bottom with the right and bottom edges excluded, as
// GDI takes them. Lines and outlines are one pixel wide.
class TCanvas {
  public:
    virtual ~TCanvas() = default;
    TColor PenColor() const { return penColor_; }
    virtual void SetPenColor(TColor c) { penColor_ = c; }
    TColor BrushColor() const { return brushColor_; }
    virtual void SetBrushColor(TColor c) { brushColor_ = c; }
    TBrushStyle BrushStyle() const { return brushStyle_; }
    virtual void SetBrushStyle(TBrushStyle s) { brushStyle_ = s; }
    // The text's colour and its height in pixels (the face is the control's).
    TColor FontColor() const { return fontColor_; }
    virtual void SetFontColor(TColor c) { fontColor_ = c; }
    int32_t FontSize() const { return fontSize_; }
    virtual void SetFontSize(int32_t pixels) { fontSize_ = pixels; }

    virtual void MoveTo(int32_t x, int32_t y) = 0;
    // A line in the pen colour from the current position up to (not
    // including) (x, y), which becomes the current position.
    virtual void LineTo(int32_t x, int32_t y) = 0;
    // The rectangle in the brush colour, whatever the brush style; no outline.
    virtual void FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom);
    // An outline in the pen colour, filled with the brush unless it is clear.
    virtual void Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom);
    // The ellipse inside the rectangle: outline and fill as for Rectangle.
    virtual void Ellipse(int32_t left, int32_t top, int32_t right, int32_t bottom);
    // Text in the font colour with its top left corner at (x, y), over what
    // is there (no background).
    virtual void TextOut(int32_t x, int32_t y, const std::string& text);
    // The size the text takes in the current font.
    virtual int32_t TextWidth(const std::string& text);
    virtual int32_t TextHeight(const std::string& text);

  private:
    TColor penColor_ = clBlack;
    TColor brushColor_ = clWhite;
    TBrushStyle brushStyle_ = TBrushStyle::bsSolid;
    TColor fontColor_ = clWindowText;
    int32_t fontSize_ = 11;
};

// ---- Peers -------------------------------------------------------------------

class TControl;
class TForm;
class TPopupMenu;

// What changed in a control; the peer reads the new state from the control.
enum class TChange {
    Bounds,
    Text,
    Font,
    Color,
    Visible,
    Enabled,
    Cursor,
    TabOrder,
    Items,         // combo box list replaced or appended to
    ItemIndex,     // combo box selection
    Checked,       // check box tick
    LineAdded,     // memo: line `index` appended
    LinesRemoved,  // memo: `count` lines removed from the front
    LinesCleared,  // memo: all lines removed
    Repaint,       // form or paint box: paint again
    ModalResult,   // form: ModalResult was set (a modal loop ends once it is not mrNone)
};

// A control's widget. A call from a peer into the portable classes may
// release that very peer (Close releases a modeless form's peers; a handler
// may free the form): after such a call the peer touches none of its own
// state, or its widget defers its own destruction.
class TControlPeer {
  public:
    virtual ~TControlPeer() = default;
    virtual void Changed(TChange what, int32_t index, int32_t count) = 0;
};

// The platform's windowing system. Installed once at program start (see
// InstallGuiBackend); none in headless programs and tests.
class TGuiBackend {
  public:
    virtual ~TGuiBackend() = default;
    // A peer for a control of a form that is being shown (the form first,
    // then its controls in creation order). nullptr: the control is not shown.
    // A modeless form's peer then receives Changed(Visible): all peers exist
    // and the window appears.
    virtual std::unique_ptr<TControlPeer> MakePeer(TControl& control) = 0;
    // Runs the event loop (serving the toolkit's message queues and timers
    // of the main thread too) until QuitLoop; returns its exit code.
    virtual int RunLoop() = 0;
    virtual void QuitLoop(int exitCode) = 0;
    // Shows the form modally and serves events until its ModalResult is set
    // (or it is closed, which sets mrCancel); returns the result. The form's
    // peers exist already (made as for Show, but with no Visible notice); the
    // form releases them after this returns. Each setting of ModalResult
    // reaches the form's peer as Changed(ModalResult).
    virtual TModalResult ShowModal(TForm& form) = 0;
    // A modal message box with an OK button.
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
    // The desktop's bell or default message sound.
    virtual void SystemBeep() = 0;
    // Serves the waiting events once and returns (TApplication's
    // ProcessMessages). The default serves the toolkit's own messages only.
    virtual void ProcessEvents();
    // Shows the menu at (x, y) of the form's client area (-1, -1: where the
    // keyboard focus is) and returns the index of the item the user picked,
    // or -1. The default shows nothing.
    virtual int32_t TrackPopupMenu(TPopupMenu& menu, TForm& form, int32_t x, int32_t y);
    // Asks for a file to write: a modal save dialog over the form, titled
    // title, offering files ending in "." extension (described as
    // filterName), starting at path. True with the chosen path, which gets
    // the extension when the user typed none; the dialog asks itself before
    // an existing file is chosen. Paths are UTF-8, as file names go to the
    // system. The default asks nothing and returns false.
    virtual bool SaveFileName(TForm& form, const std::string& title, const std::string& filterName,
                              const std::string& extension, std::string& path);
    // The desktop's clipboard as text; false when the backend has none (the
    // toolkit then keeps the text to itself).
    virtual bool SetClipboardText(const std::string& text);
    virtual bool ClipboardText(std::string& text);
};

// The installed backend, or nullptr.
TGuiBackend* GuiBackend();
// Installs a backend (nullptr removes it) and returns the previous one; the
// caller keeps ownership.
TGuiBackend* SetGuiBackend(TGuiBackend* backend);

// Connects to the platform's display and installs its backend, the
// exception display as a message box and the system beep. False, with the
// reason in `reason`, when there is no display. Defined by the GUI library
// of the build (toolkit/qt on Linux, toolkit/win32 on Windows).
bool InstallGuiBackend(int& argc, char** argv, std::string& reason);

// ---- Controls ----------------------------------------------------------------

class TControl : public TComponent {
  public:
    // The owner frees the control; the parent (a form) shows it.
    TControl(TComponent* owner, TForm* parent);
    ~TControl() override;

    TForm* Parent() const { return parent_; }

    int32_t Left() const { return left_; }
    int32_t Top() const { return top_; }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    void SetBounds(int32_t left, int32_t top, int32_t width, int32_t height);

    // Caption of labels, buttons, check boxes and forms; text of the others.
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v);

    // The parent's font while ParentFont holds; setting a font clears it.
    const TFont& Font() const;
    void SetFont(const TFont& f);
    bool ParentFont() const { return parentFont_; }

    TColor Color() const { return color_; }
    void SetColor(TColor c);
    bool Visible() const { return visible_; }
    void SetVisible(bool v);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v);
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor c);
    // -1: not a tab stop.
    int32_t TabOrder() const { return tabOrder_; }
    void SetTabOrder(int32_t v);

    TControlPeer* Peer() const { return peer_.get(); }

    // Called by a peer whose widget sized itself (auto-sized labels): the
    // size is stored (a right-aligned label keeps its right edge, so its Left
    // moves) with no notice back to the peer.
    void PeerResized(int32_t width, int32_t height);

  protected:
    void Notify(TChange what, int32_t index = -1, int32_t count = 0);

  private:
    friend class TForm;
    TForm* parent_;
    int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    std::string caption_;
    TFont font_;
    bool parentFont_ = true;
    TColor color_ = clBtnFace;
    bool visible_ = true;
    bool enabled_ = true;
    TCursor cursor_ = TCursor::crDefault;
    int32_t tabOrder_ = -1;
    std::unique_ptr<TControlPeer> peer_;
};

class TLabel : public TControl {
  public:
    using TControl::TControl;
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment a);
    // A transparent label shows its parent's painting behind the text.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool v);
    // An auto-sized label's peer fits the widget to the text, keeping the
    // right edge of a right-aligned label, and reports through PeerResized.
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool v) { autoSize_ = v; }

  private:
    TAlignment alignment_ = TAlignment::taLeftJustify;
    bool transparent_ = false;
    bool autoSize_ = true;
};

class TButton : public TControl {
  public:
    using TControl::TControl;
    // A click: OnClick, then the parent form's ModalResult := ModalResult
    // when it is not mrNone.
    void Click();
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult v) { modalResult_ = v; }
    // The default button is clicked by the Enter key.
    bool Default() const { return default_; }
    void SetDefault(bool v) { default_ = v; }
    std::function<void(TButton& Sender)> OnClick;

  private:
    TModalResult modalResult_ = mrNone;
    bool default_ = false;
};

// A push button with a glyph; the OK kind shows a tick.
enum class TBitBtnKind { bkCustom, bkOK, bkCancel };
class TBitBtn : public TButton {
  public:
    using TButton::TButton;
    TBitBtnKind Kind() const { return kind_; }
    void SetKind(TBitBtnKind k) { kind_ = k; }

  private:
    TBitBtnKind kind_ = TBitBtnKind::bkCustom;
};

class TCheckBox : public TControl {
  public:
    using TControl::TControl;
    bool Checked() const { return checked_; }
    // A new value stores the tick and runs OnClick (also for a change made
    // by OnClick itself); the same value does nothing. A handler that keeps
    // changing the tick is cut off: beyond 16 nested runs the tick is still
    // stored but OnClick no longer runs.
    void SetChecked(bool v);
    // The user clicked the box: the tick flips.
    void UserClick() { SetChecked(!checked_); }
    std::function<void(TCheckBox& Sender)> OnClick;

  private:
    bool checked_ = false;
    int32_t clickDepth_ = 0;
};

// A drop-down list without free text.
class TComboBox : public TControl {
  public:
    using TControl::TControl;
    const std::vector<std::string>& Items() const { return items_; }
    void AddItem(const std::string& s);
    void ClearItems();
    // -1: nothing selected. Setting it does not run OnChange; an index
    // outside the list selects nothing.
    int32_t ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int32_t i);
    // The selected item's text; empty when nothing is selected.
    std::string Text() const;
    int32_t ItemHeight() const { return itemHeight_; }
    void SetItemHeight(int32_t v) { itemHeight_ = v; }
    // The user picked entry i: it is selected, then OnChange runs (an index
    // outside the list is ignored).
    void UserSelect(int32_t i);
    std::function<void(TComboBox& Sender)> OnChange;

  private:
    std::vector<std::string> items_;
    int32_t itemIndex_ = -1;
    int32_t itemHeight_ = 13;
};

enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

// A multi-line text box. MaxLines > 0 bounds it: adding beyond the bound
// removes the oldest lines.
class TMemo : public TControl {
  public:
    using TControl::TControl;
    const std::vector<std::string>& Lines() const { return lines_; }
    void AddLine(const std::string& s);
    void ClearLines();
    size_t MaxLines() const { return maxLines_; }
    void SetMaxLines(size_t n);
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle s) { scrollBars_ = s; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool v) { readOnly_ = v; }

  private:
    std::vector<std::string> lines_;
    size_t maxLines_ = 0;
    TScrollStyle scrollBars_ = TScrollStyle::ssNone;
    bool readOnly_ = false;
};

enum class TBevelShape { bsBox, bsFrame };
enum class TBevelStyle { bsLowered, bsRaised };
class TBevel : public TControl {
  public:
    using TControl::TControl;
    TBevelShape Shape() const { return shape_; }
    void SetShape(TBevelShape s) { shape_ = s; }
    TBevelStyle Style() const { return style_; }
    void SetStyle(TBevelStyle s) { style_ = s; }

  private:
    TBevelShape shape_ = TBevelShape::bsBox;
    TBevelStyle style_ = TBevelStyle::bsLowered;
};

// A status bar with one simple panel showing Caption.
class TStatusBar : public TControl {
  public:
    using TControl::TControl;
};

// A blank rectangle that its OnPaint draws: over its Color, with a canvas
// whose font starts as the control's.
class TPaintBox : public TControl {
  public:
    using TControl::TControl;
    // Asks the peer to paint again.
    void Invalidate();
    // The peer paints: OnPaint with the canvas.
    void Paint(TCanvas& canvas);
    std::function<void(TPaintBox& Sender, TCanvas& canvas)> OnPaint;
};

// ---- Menus and clipboard ------------------------------------------------------

class TMenuItem : public TComponent {
  public:
    using TComponent::TComponent;
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v) { caption_ = v; }
    // A check item shows a tick while Checked.
    bool Checked() const { return checked_; }
    void SetChecked(bool v) { checked_ = v; }
    // An auto-check item is a check item whose tick a click flips (before OnClick).
    bool AutoCheck() const { return autoCheck_; }
    void SetAutoCheck(bool v) { autoCheck_ = v; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v) { enabled_ = v; }
    // The user picked the item: the tick flips when AutoCheck, then OnClick
    // (an item that is not enabled does nothing).
    void Click();
    std::function<void(TMenuItem& Sender)> OnClick;

  private:
    std::string caption_;
    bool checked_ = false;
    bool autoCheck_ = false;
    bool enabled_ = true;
};

// A context menu: its items, shown where the user asked for it. The menu is
// built again each time it opens, so items may change at any time.
class TPopupMenu : public TComponent {
  public:
    using TComponent::TComponent;
    // A new item at the end, owned by the menu.
    TMenuItem& Add(const std::string& caption);
    const std::vector<TMenuItem*>& Items() const { return items_; }
    // Runs OnPopup, shows the menu over the form through the backend and
    // clicks the item picked. With no backend nothing is shown.
    void Popup(TForm& form, int32_t x, int32_t y);
    // Before the menu shows (items may be brought up to date here).
    std::function<void(TPopupMenu& Sender)> OnPopup;

  private:
    std::vector<TMenuItem*> items_;
};

// The desktop's clipboard (the backend's, else one kept by the toolkit).
class TClipboard {
  public:
    std::string AsText() const;
    void SetAsText(const std::string& text);

  private:
    std::string text_;
};
TClipboard& Clipboard();

// ---- Forms -------------------------------------------------------------------

enum class TBorderStyle { bsSizeable, bsDialog, bsSingle };
enum class TPosition { poDesigned, poScreenCenter, poDesktopCenter };

class TForm : public TControl {
  public:
    explicit TForm(TComponent* owner);
    ~TForm() override;

    // The size of the area inside the frame; Width/Height are not used.
    int32_t ClientWidth() const { return clientWidth_; }
    int32_t ClientHeight() const { return clientHeight_; }
    void SetClientSize(int32_t width, int32_t height);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle s) { borderStyle_ = s; }
    // Only the system menu (close box) among the frame's icons.
    bool SystemMenuOnly() const { return systemMenuOnly_; }
    void SetSystemMenuOnly(bool v) { systemMenuOnly_ = v; }
    TPosition Position() const { return position_; }
    void SetPosition(TPosition p) { position_ = p; }
    // The smallest client size the user can give a sizeable form (0: none).
    int32_t MinClientWidth() const { return minClientWidth_; }
    int32_t MinClientHeight() const { return minClientHeight_; }
    void SetMinClientSize(int32_t width, int32_t height);
    // The menu that a right click, the context-menu key or Shift+F10 opens.
    TPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(TPopupMenu* menu) { popupMenu_ = menu; }

    // The controls this form parents, in creation order.
    const std::vector<TControl*>& Controls() const { return controls_; }

    // Runs OnCreate; a form's constructor calls it once its controls exist
    // and its stored values are applied.
    void DoCreate();
    // Shows the form (peers made through the backend); modeless. Showing a
    // form that shows already does nothing. Controls made after Show get no
    // peer until the form is shown again.
    void Show();
    bool Showing() const { return showing_; }
    // Brings a form that shows in front of the others and activates it.
    void BringToFront();
    // Shows modally until ModalResult is set; the result. ModalResult starts
    // at mrNone. With no backend the headless modal handler decides.
    TModalResult ShowModal();
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult r);
    // Closes the form: a modal form ends with mrCancel (when its ModalResult
    // is still mrNone; its peers go when ShowModal returns); the application's
    // main form ends the loop. A modeless form's peers are released.
    void Close();
    // Asks the peer to paint again.
    void Invalidate();
    // The peer paints: OnPaint with the canvas.
    void Paint(TCanvas& canvas);
    // The user closed the window (close box, Escape on a dialog).
    void UserClose() { Close(); }
    // The user resized the window to this client size: stored with no notice
    // back to the peer, then OnResize.
    void UserResized(int32_t width, int32_t height);
    // The user asked for the context menu at (x, y) of the client area
    // (-1, -1 from the keyboard): the PopupMenu pops up. False when there is none.
    bool UserContextMenu(int32_t x, int32_t y);

    std::function<void(TForm& Sender)> OnCreate;
    std::function<void(TForm& Sender)> OnDestroy;
    std::function<void(TForm& Sender, TCanvas& canvas)> OnPaint;
    // After the client size changed (by the program or by the user).
    std::function<void(TForm& Sender)> OnResize;

  protected:
    // Runs OnDestroy; a derived form's destructor calls it first, while its
    // members still exist (a base destructor would be too late).
    void DoDestroy();

  private:
    friend class TControl;
    void AddControl(TControl* c);
    void RemoveControl(TControl* c);
    void ReleasePeers();

    int32_t clientWidth_ = 0, clientHeight_ = 0;
    TBorderStyle borderStyle_ = TBorderStyle::bsSizeable;
    bool systemMenuOnly_ = false;
    TPosition position_ = TPosition::poDesigned;
    int32_t minClientWidth_ = 0, minClientHeight_ = 0;
    TPopupMenu* popupMenu_ = nullptr;
    void MakePeers();
    std::vector<TControl*> controls_;
    bool showing_ = false;
    bool modal_ = false;
    bool destroyed_ = false;
    TModalResult modalResult_ = mrNone;
};

// Decides the result of ShowModal when no backend is installed (tests set
// the dialog's state here and return the result); the default cancels. A
// handler that returns mrNone leaves the form's own ModalResult (set, say, by
// clicking its OK button), or mrCancel when that is mrNone too.
using THeadlessModal = std::function<TModalResult(TForm& form)>;
THeadlessModal SetHeadlessModalHandler(THeadlessModal handler);

// ---- Application ---------------------------------------------------------------

// The program's application object: the owner of its forms, the main form
// and the message loop.
class TApplication : public TComponent {
  public:
    TApplication();
    ~TApplication() override;

    // Creates a form owned by the application; the first becomes the main form.
    template <typename F>
    F& CreateForm() {
        auto* form = new F(this);  // owned and freed by the application
        if (mainForm_ == nullptr) {
            mainForm_ = form;
        }
        return *form;
    }
    TForm* MainForm() const { return mainForm_; }

    // Shows the main form and runs the loop until it closes (or Terminate);
    // with no backend, the toolkit's own message loop runs (an exception that
    // escapes a message goes to the exception display). The exit code. With
    // no main form, or once terminated, it returns at once.
    int Run();
    void Terminate(int exitCode = 0);
    bool Terminated() const { return terminated_; }
    // Serves the waiting messages and returns.
    void ProcessMessages();
    // The standard exception display: the message in a message box (on
    // standard error with no backend).
    void ShowException(const std::exception* e);
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& t) { title_ = t; }

  private:
    friend class TForm;
    void MainFormClosed();
    TForm* mainForm_ = nullptr;
    bool terminated_ = false;
    bool running_ = false;
    int exitCode_ = 0;
    std::string title_ = "PalmoGPS";
};

// The program's application object once made, else nullptr.
TApplication* Application();

}  // namespace tk
