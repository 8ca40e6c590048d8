// The Qt peers of the toolkit's controls: each mirrors one portable control
// into a Qt widget and turns the user's input on that widget back into the
// control's User* calls. Private to the Qt backend.
#pragma once

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "toolkit/Forms.h"

class QEventLoop;

namespace tk::qt {

// ---- Conversions at the Qt boundary -------------------------------------------

// Byte strings are Windows ANSI / Latin-1; Qt's strings are Unicode.
QString ToQString(const std::string& bytes);
std::string FromQString(const QString& s);
// 00BBGGRR (system colours resolved) to a Qt colour.
QColor ToQColor(TColor c);
// A font by family name, with the closest families this system has behind it,
// sized by pixels.
QFont ToQFont(const TFont& f);

// ---- Calls from Qt into the portable classes ----------------------------------

// Runs fn for a user action; an exception that escapes goes to the
// exception display. While it runs, peers that are released delete their
// widgets later instead of at once (the widget may be the one whose event
// is being handled).
template <typename F>
void CallPortable(F&& fn);
bool InPortableCall();

class TQtFormPeer;

// ---- Peers ------------------------------------------------------------------------

class TQtPeer : public TControlPeer {
  public:
    explicit TQtPeer(TControl& control);
    ~TQtPeer() override;
    TQtPeer(const TQtPeer&) = delete;
    TQtPeer& operator=(const TQtPeer&) = delete;

    void Changed(TChange what, int32_t index, int32_t count) final;

    TControl& Control() const { return control_; }
    // The widget, or nullptr once it is gone (deleted with a parent window).
    QWidget* Widget() const { return guard_.isNull() ? nullptr : widget_; }
    // Applies the control's whole state to the widget.
    void ApplyAll();
    void DetachForm() { form_ = nullptr; }
    // Whether the widget takes part in the tab order.
    virtual bool Focusable() const { return false; }
    // False once the peer is gone (for code that runs on after a call into
    // the portable classes, which may release the peer).
    std::shared_ptr<bool> Alive() const { return alive_; }

  protected:
    // Called by subclass constructors once their widget exists.
    void Attach(QWidget* widget);
    // The change for this kind of control; the base handles the common ones.
    virtual void Apply(TChange what, int32_t index, int32_t count);
    virtual void ApplyBounds();
    virtual void ApplyFont();
    virtual void ApplyColor() {}
    TQtFormPeer* FormPeer() const { return form_; }

    TControl& control_;
    // The widget and a guard that sees its deletion (a guard of QObject: no
    // downcast of a pointer that may dangle).
    QWidget* widget_ = nullptr;
    QPointer<QObject> guard_;
    std::vector<QMetaObject::Connection> connections_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  private:
    TQtFormPeer* form_ = nullptr;
};

class TQtFormWidget;

class TQtFormPeer : public TQtPeer {
  public:
    explicit TQtFormPeer(TForm& form, bool mainWindow);
    ~TQtFormPeer() override;

    TForm& Form() const { return form_; }
    void AddChild(TQtPeer* child);
    void RemoveChild(TQtPeer* child);
    // Orders the tab chain by the controls' TabOrder.
    void UpdateTabOrder();
    // Shows the window (centred when the form asks for it) and focuses the
    // first control of the tab order.
    void ShowWindow();
    // The modal loop that the form's ModalResult ends, while it runs.
    void SetModalLoop(QEventLoop* loop) { modalLoop_ = loop; }
    bool Modal() const { return modalLoop_ != nullptr; }
    // The Enter key: the focused button, else the form's default button.
    void ClickDefault();

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override;
    void ApplyBounds() override;

  private:
    TForm& form_;
    TQtFormWidget* window_ = nullptr;
    std::vector<TQtPeer*> children_;
    QEventLoop* modalLoop_ = nullptr;
    bool shownOnce_ = false;
};

// A peer for any control of a shown form; nullptr for kinds it does not know.
std::unique_ptr<TControlPeer> MakeQtPeer(TControl& control);

}  // namespace tk::qt

// ---- Template bodies ----------------------------------------------------------------

#include "toolkit/ExceptionDisplay.h"

namespace tk::qt {

struct TPortableCallDepth {
    TPortableCallDepth();
    ~TPortableCallDepth();
    TPortableCallDepth(const TPortableCallDepth&) = delete;
    TPortableCallDepth& operator=(const TPortableCallDepth&) = delete;
};

template <typename F>
void CallPortable(F&& fn) {
    TPortableCallDepth depth;
    try {
        fn();
    } catch (...) {
        ShowCurrentException();
    }
}

}  // namespace tk::qt
