// The Win32 window peers: what the backend, the form peer and the control
// peers share. Private to toolkit/win32/Gui*.cpp.
#pragma once

#include <windows.h>
// The toolkit's TGuiBackend::MessageBox, not the system's macro.
#undef MessageBox

#include <map>
#include <memory>
#include <string>

#include "toolkit/Forms.h"

namespace tk::gui {

// The window class of forms; tests find forms by it and their caption.
inline constexpr const char* kFormClass = "PalmoGPSForm";
// The window class of paint boxes.
inline constexpr const char* kPaintBoxClass = "PalmoGPSPaintBox";
// Child control identifiers start above IDOK/IDCANCEL and the other dialog ids.
inline constexpr int kFirstControlId = 100;
// A form's timer for a child's gathered changes: this plus the child's id.
inline constexpr UINT_PTR kFlushTimerBase = 0x5000;
// How long a child gathers changes before its widget is brought up to date.
inline constexpr UINT kFlushDelayMs = 200;

// 00BBGGRR with system colours resolved.
COLORREF NativeColor(TColor c);

// Owns one GDI object (font, brush, bitmap); deleted with the owner.
class TGdiObject {
  public:
    TGdiObject() = default;
    explicit TGdiObject(HGDIOBJ h) : h_(h) {}
    ~TGdiObject() { Reset(); }
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    void Reset(HGDIOBJ h = nullptr) {
        if (h_) {
            DeleteObject(h_);
        }
        h_ = h;
    }
    HGDIOBJ Get() const { return h_; }
    HFONT Font() const { return static_cast<HFONT>(h_); }
    HBRUSH Brush() const { return static_cast<HBRUSH>(h_); }

  private:
    HGDIOBJ h_ = nullptr;
};

// A font for the toolkit font: its name, its magnitude as character height,
// bold or regular.
HFONT CreateToolkitFont(const TFont& f);

class TFormPeer;
class TMemoryDc;

// A peer whose widget is a child window of a form.
class TChildPeer : public TControlPeer {
  public:
    TChildPeer(TControl& control, TFormPeer& form);
    ~TChildPeer() override;
    TChildPeer(const TChildPeer&) = delete;
    TChildPeer& operator=(const TChildPeer&) = delete;

    void Changed(TChange what, int32_t index, int32_t count) override;

    TControl& Control() const { return control_; }
    HWND Handle() const { return hwnd_; }
    int Id() const { return id_; }
    // The form window went away with its children.
    void FormGone() {
        form_ = nullptr;
        hwnd_ = nullptr;
    }

    // A notification (WM_COMMAND code) from the widget.
    virtual void Command(WORD /*code*/) {}
    // WM_CTLCOLOR*: colours set in hdc, the background brush (nullptr: the default).
    virtual HBRUSH CtlColor(HDC hdc);
    // WM_DRAWITEM for owner-drawn widgets.
    virtual void DrawItem(const DRAWITEMSTRUCT& /*di*/) {}
    // Paints its whole rectangle itself, so the form need not paint under it.
    virtual bool Opaque() const { return true; }
    virtual bool DefaultButton() const { return false; }
    // Brings the widget up to date with changes gathered since the last time.
    virtual void Flush() {}

  protected:
    // Makes the widget; a subclass calls it from its constructor.
    void Create(const char* className, DWORD style, DWORD exStyle = 0);
    // Applies a change the base does not handle; true when handled.
    virtual bool Apply(TChange what, int32_t index, int32_t count);
    virtual void ApplyText();
    virtual void ApplyBounds();
    void ApplyFont();
    // The background brush of the control's colour (made on first use).
    HBRUSH ColorBrush();
    TFormPeer* Form() const { return form_; }

  private:
    TControl& control_;
    TFormPeer* form_;
    HWND hwnd_ = nullptr;
    int id_ = 0;
    TGdiObject font_;
    TGdiObject brush_;
};

// The top-level window of a form.
class TFormPeer : public TControlPeer {
  public:
    TFormPeer(TForm& form, HWND owner);
    ~TFormPeer() override;
    TFormPeer(const TFormPeer&) = delete;
    TFormPeer& operator=(const TFormPeer&) = delete;

    void Changed(TChange what, int32_t index, int32_t count) override;

    TForm& Form() const { return form_; }
    HWND Handle() const { return hwnd_; }
    // The form of a window made by this backend, else nullptr.
    static TFormPeer* FromHandle(HWND hwnd);

    int AddChild(TChildPeer* child);
    void RemoveChild(TChildPeer* child);
    // Repaints the form's area under a child (its old and new rectangles),
    // so a transparent widget shows no remains of its old text.
    void RepaintArea(const RECT& area);
    // Puts the tab stops in tab order (z-order is the dialog manager's tab order).
    void ArrangeTabOrder();
    void SetModal(bool modal) { modal_ = modal; }
    bool Modal() const { return modal_; }
    // Puts the window on screen once its controls exist: tab order, focus.
    void FinishShow();

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  private:
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void Paint();
    void ApplyBounds();
    TChildPeer* ChildByHandle(HWND h) const;
    TChildPeer* ChildById(int id) const;

    TForm& form_;
    HWND hwnd_ = nullptr;
    std::map<int, TChildPeer*> children_;
    int nextId_ = kFirstControlId;
    // The background as last painted (the form's colour and its OnPaint),
    // kept until the form asks to paint again, so that a changing label
    // costs a copy rather than a full paint.
    std::unique_ptr<TMemoryDc> background_;
    bool modal_ = false;
    bool shown_ = false;
    HWND lastFocus_ = nullptr;
};

// Registers the form and paint box window classes; false when the system refuses.
bool RegisterFormClass();

// The peer of a paint box.
std::unique_ptr<TControlPeer> MakePaintBoxPeer(TPaintBox& box, TFormPeer& form);

// The peer for a control that is not a form (nullptr: not shown).
std::unique_ptr<TControlPeer> MakeChildPeer(TControl& control, TFormPeer& form);

}  // namespace tk::gui
