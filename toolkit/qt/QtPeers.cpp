// The Qt peers: forms as top-level widgets, controls as child widgets at the
// forms' pixel positions.
#include "toolkit/qt/QtPeers.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QResizeEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <exception>

namespace tk::qt {

// ---- Conversions -------------------------------------------------------------------

QString ToQString(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string FromQString(const QString& s) {
    const QByteArray bytes = s.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QColor ToQColor(TColor c) {
    const TColor rgb = ColorToRGB(c);
    return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>((rgb >> 16) & 0xFF));
}

namespace {

// The Windows faces that stored forms name, followed by free faces of much the
// same shape and width that Linux systems carry.
QStringList FamiliesFor(const std::string& name) {
    const QString face = ToQString(name);
    const QString key = face.toLower();
    QStringList families{face};
    if (key.contains("courier") || key.contains("consol") || key.contains("fixedsys")) {
        families << "Liberation Mono"
                 << "DejaVu Sans Mono"
                 << "Monospace";
    } else if (key.contains("times") || (key.contains("serif") && !key.contains("sans"))) {
        families << "Liberation Serif"
                 << "DejaVu Serif"
                 << "Serif";
    } else {
        families << "Liberation Sans"
                 << "Arimo"
                 << "DejaVu Sans"
                 << "Sans Serif";
    }
    return families;
}

}  // namespace

QFont ToQFont(const TFont& f) {
    QFont font;
    const QStringList families = FamiliesFor(f.Name);
    font.setFamily(families.front());
    font.setFamilies(families);
    font.setPixelSize(std::max(1, std::abs(f.Height)));
    font.setBold(f.Bold);
    return font;
}

// ---- Calls into the portable classes ---------------------------------------------------

namespace {
int g_portableDepth = 0;  // main thread only, like every peer
}

TPortableCallDepth::TPortableCallDepth() {
    ++g_portableDepth;
}
TPortableCallDepth::~TPortableCallDepth() {
    --g_portableDepth;
}
bool InPortableCall() {
    return g_portableDepth > 0;
}

namespace {

// Paint handlers run inside Qt's painting, where a message box must not open:
// their exceptions are shown once the painting is over.
void ShowLater(std::exception_ptr error) {
    QTimer::singleShot(0, qApp, [error] {
        try {
            std::rethrow_exception(error);
        } catch (...) {
            ShowCurrentException();
        }
    });
}

// ---- Canvas ----------------------------------------------------------------------------

class TQtCanvas : public TCanvas {
  public:
    // font: the control's, whose face the canvas's text keeps.
    TQtCanvas(QPainter& painter, const TFont& font)
        : painter_(painter), pen_(ToQColor(PenColor())), font_(ToQFont(font)) {
        TCanvas::SetFontColor(font.Color);
        TCanvas::SetFontSize(std::max(1, std::abs(font.Height)));
        painter_.setRenderHint(QPainter::Antialiasing, false);
    }
    void SetPenColor(TColor c) override {
        TCanvas::SetPenColor(c);
        pen_ = ToQColor(c);
    }
    void SetFontSize(int32_t pixels) override {
        TCanvas::SetFontSize(pixels);
        font_.setPixelSize(std::max(1, pixels));
    }
    void MoveTo(int32_t x, int32_t y) override { pos_ = QPoint(x, y); }
    // As GDI draws it: every pixel from the current position up to, not
    // including, the end point.
    void LineTo(int32_t x, int32_t y) override {
        const QPoint from = pos_;
        pos_ = QPoint(x, y);
        if (from == pos_) {
            return;
        }
        if (from.y() == y) {
            const int left = std::min(from.x(), x + (x < from.x() ? 1 : 0));
            const int len = std::abs(x - from.x());
            painter_.fillRect(left, y, len, 1, pen_);
            return;
        }
        if (from.x() == x) {
            const int top = std::min(from.y(), y + (y < from.y() ? 1 : 0));
            const int len = std::abs(y - from.y());
            painter_.fillRect(x, top, 1, len, pen_);
            return;
        }
        QPolygon points;
        int x0 = from.x(), y0 = from.y();
        const int dx = std::abs(x - x0), sx = x0 < x ? 1 : -1;
        const int dy = -std::abs(y - y0), sy = y0 < y ? 1 : -1;
        int err = dx + dy;
        while (x0 != x || y0 != y) {
            points << QPoint(x0, y0);
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y0 += sy;
            }
        }
        painter_.setPen(QPen(pen_, 1));
        painter_.drawPoints(points);
    }
    void FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        if (right > left && bottom > top) {
            painter_.fillRect(left, top, right - left, bottom - top, ToQColor(BrushColor()));
        }
    }
    // The outline's pixels are those of GDI's: the rectangle's last column
    // and row are right - 1 and bottom - 1.
    void Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        if (right <= left || bottom <= top) {
            return;
        }
        Shape();
        painter_.drawRect(left, top, right - left - 1, bottom - top - 1);
    }
    void Ellipse(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        if (right <= left || bottom <= top) {
            return;
        }
        Shape();
        painter_.drawEllipse(QRect(left, top, right - left - 1, bottom - top - 1));
    }
    void TextOut(int32_t x, int32_t y, const std::string& text) override {
        painter_.setFont(font_);
        painter_.setPen(QPen(ToQColor(FontColor()), 1));
        const QFontMetrics metrics(font_);
        painter_.drawText(QPoint(x, y + metrics.ascent()), ToQString(text));
    }
    int32_t TextWidth(const std::string& text) override {
        return QFontMetrics(font_).horizontalAdvance(ToQString(text));
    }
    int32_t TextHeight(const std::string&) override { return QFontMetrics(font_).height(); }

  private:
    // Pen and brush for an outlined, maybe filled, shape.
    void Shape() {
        painter_.setPen(QPen(pen_, 0));  // cosmetic: one pixel
        if (BrushStyle() == TBrushStyle::bsSolid) {
            painter_.setBrush(ToQColor(BrushColor()));
        } else {
            painter_.setBrush(Qt::NoBrush);
        }
    }

    QPainter& painter_;
    QColor pen_;
    QFont font_;
    QPoint pos_;
};

}  // namespace

// ---- The form's window ------------------------------------------------------------------

class TQtFormWidget : public QWidget {
  public:
    TQtFormPeer* peer = nullptr;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (peer == nullptr) {
            return;
        }
        TForm& form = peer->Form();
        painter.fillRect(rect(), ToQColor(form.Color()));
        TQtCanvas canvas(painter, form.Font());
        TPortableCallDepth depth;
        try {
            form.Paint(canvas);
        } catch (...) {
            ShowLater(std::current_exception());
        }
    }

    // The close box asks the form; the form decides whether the window goes.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        if (peer != nullptr) {
            TForm* form = &peer->Form();
            CallPortable([form] { form->UserClose(); });
        }
    }

    // A right click on the form or on a control that has no menu of its own.
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (peer == nullptr || peer->Form().PopupMenu() == nullptr) {
            QWidget::contextMenuEvent(event);
            return;
        }
        event->accept();
        const bool keyboard = event->reason() == QContextMenuEvent::Keyboard;
        OpenMenu(keyboard ? QPoint(-1, -1) : event->pos());
    }

    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (peer != nullptr && peer->Form().BorderStyle() == TBorderStyle::bsSizeable) {
            TForm* form = &peer->Form();
            const QSize size = event->size();
            CallPortable([form, size] { form->UserResized(size.width(), size.height()); });
        }
    }

    void keyPressEvent(QKeyEvent* event) override {
        // The context-menu key and Shift+F10, which no control took.
        const bool menuKey =
            event->key() == Qt::Key_Menu ||
            (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
        if (peer != nullptr && menuKey && peer->Form().PopupMenu() != nullptr) {
            event->accept();
            OpenMenu(QPoint(-1, -1));
            return;
        }
        if (peer != nullptr && event->modifiers() == Qt::NoModifier) {
            if (event->key() == Qt::Key_Escape && peer->Modal()) {
                TForm* form = &peer->Form();
                CallPortable([form] { form->UserClose(); });
                return;
            }
            if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
                peer->ClickDefault();
                return;
            }
        }
        QWidget::keyPressEvent(event);
    }

  private:
    void OpenMenu(QPoint at) {
        TForm* form = &peer->Form();
        CallPortable([form, at] { form->UserContextMenu(at.x(), at.y()); });
    }
};

// ---- Base peer -----------------------------------------------------------------------------

TQtPeer::TQtPeer(TControl& control) : control_(control) {
    if (TForm* parent = control.Parent()) {
        form_ = dynamic_cast<TQtFormPeer*>(parent->Peer());
    }
}

TQtPeer::~TQtPeer() {
    *alive_ = false;
    for (const auto& c : connections_) {
        QObject::disconnect(c);
    }
    if (form_ != nullptr) {
        form_->RemoveChild(this);
    }
    if (QWidget* w = Widget()) {
        w->hide();
        // The widget may be the one whose event is being handled right now.
        if (InPortableCall()) {
            w->deleteLater();
        } else {
            delete w;
        }
    }
}

void TQtPeer::Attach(QWidget* widget) {
    widget_ = widget;
    guard_ = widget;
    if (form_ != nullptr) {
        form_->AddChild(this);
    }
    ApplyAll();
}

void TQtPeer::Changed(TChange what, int32_t index, int32_t count) {
    if (Widget() != nullptr) {
        Apply(what, index, count);
    }
}

void TQtPeer::ApplyAll() {
    for (TChange what :
         {TChange::Font, TChange::Color, TChange::Text, TChange::Items, TChange::ItemIndex,
          TChange::Checked, TChange::LinesCleared, TChange::Enabled, TChange::Cursor,
          TChange::Bounds, TChange::TabOrder, TChange::Visible}) {
        Apply(what, -1, 0);
    }
}

void TQtPeer::Apply(TChange what, int32_t, int32_t) {
    switch (what) {
        case TChange::Bounds:
            ApplyBounds();
            break;
        case TChange::Font:
            ApplyFont();
            break;
        case TChange::Color:
            ApplyColor();
            break;
        case TChange::Visible:
            widget_->setVisible(control_.Visible());
            break;
        case TChange::Enabled:
            widget_->setEnabled(control_.Enabled());
            break;
        case TChange::Cursor:
            if (control_.Cursor() == TCursor::crHandPoint) {
                widget_->setCursor(Qt::PointingHandCursor);
            } else {
                widget_->unsetCursor();
            }
            break;
        case TChange::TabOrder:
            if (form_ != nullptr) {
                form_->UpdateTabOrder();
            }
            break;
        default:
            break;
    }
}

void TQtPeer::ApplyBounds() {
    widget_->setGeometry(control_.Left(), control_.Top(), std::max(0, control_.Width()),
                         std::max(0, control_.Height()));
}

void TQtPeer::ApplyFont() {
    const TFont& f = control_.Font();
    widget_->setFont(ToQFont(f));
    QPalette p = widget_->palette();
    const QColor text = ToQColor(f.Color);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Text, text);
    widget_->setPalette(p);
}

// ---- Labels ---------------------------------------------------------------------------------

namespace {

QWidget* ParentWidget(TQtFormPeer* form) {
    return form != nullptr ? form->Widget() : nullptr;
}

class TQtLabelPeer : public TQtPeer {
  public:
    explicit TQtLabelPeer(TLabel& label, TQtFormPeer* form) : TQtPeer(label), label_(label) {
        auto* w = new QLabel(ParentWidget(form));
        w->setTextFormat(Qt::PlainText);
        w->setWordWrap(false);
        w->setContentsMargins(0, 0, 0, 0);
        w->setIndent(0);
        Attach(w);
    }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        switch (what) {
            case TChange::Text: {
                auto* w = static_cast<QLabel*>(widget_);
                Qt::Alignment a = Qt::AlignTop;
                switch (label_.Alignment()) {
                    case TAlignment::taLeftJustify:
                        a |= Qt::AlignLeft;
                        break;
                    case TAlignment::taRightJustify:
                        a |= Qt::AlignRight;
                        break;
                    case TAlignment::taCenter:
                        a |= Qt::AlignHCenter;
                        break;
                }
                w->setAlignment(a);
                w->setText(ToQString(label_.Caption()));
                Fit();
                break;
            }
            case TChange::Font:
                ApplyFont();
                Fit();
                break;
            default:
                TQtPeer::Apply(what, index, count);
        }
    }

    void ApplyColor() override {
        // A transparent label leaves the form's painting behind its text.
        widget_->setAutoFillBackground(!label_.Transparent());
        QPalette p = widget_->palette();
        p.setColor(QPalette::Window, ToQColor(label_.Color()));
        widget_->setPalette(p);
    }

  private:
    // An auto-sized label takes the size of its text; the control keeps the
    // right edge of a right-aligned one.
    void Fit() {
        if (!label_.AutoSize()) {
            return;
        }
        const QFontMetrics fm(widget_->font());
        const int width = fm.horizontalAdvance(ToQString(label_.Caption()));
        const int height = fm.height();
        if (width != label_.Width() || height != label_.Height()) {
            label_.PeerResized(width, height);
        }
        ApplyBounds();
    }

    TLabel& label_;
};

// ---- Buttons ----------------------------------------------------------------------------------

class TQtButtonPeer : public TQtPeer {
  public:
    explicit TQtButtonPeer(TButton& button, TQtFormPeer* form) : TQtPeer(button), button_(button) {
        auto* w = new QPushButton(ParentWidget(form));
        w->setAutoDefault(false);
        w->setDefault(button.Default());
        if (auto* bit = dynamic_cast<TBitBtn*>(&button)) {
            if (bit->Kind() == TBitBtnKind::bkOK) {
                w->setIcon(w->style()->standardIcon(QStyle::SP_DialogOkButton));
            } else if (bit->Kind() == TBitBtnKind::bkCancel) {
                w->setIcon(w->style()->standardIcon(QStyle::SP_DialogCancelButton));
            }
        }
        TButton* b = &button;
        connections_.push_back(
            QObject::connect(w, &QPushButton::clicked, [b] { CallPortable([b] { b->Click(); }); }));
        Attach(w);
    }
    bool Focusable() const override { return true; }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        if (what == TChange::Text) {
            static_cast<QPushButton*>(widget_)->setText(ToQString(button_.Caption()));
        } else {
            TQtPeer::Apply(what, index, count);
        }
    }

  private:
    TButton& button_;
};

// ---- Check boxes
// ----------------------------------------------------------------------------------

class TQtCheckBoxPeer : public TQtPeer {
  public:
    explicit TQtCheckBoxPeer(TCheckBox& box, TQtFormPeer* form) : TQtPeer(box), box_(box) {
        auto* w = new QCheckBox(ParentWidget(form));
        // Qt has flipped its own tick already; the control decides, and the
        // tick shown follows the control's afterwards (a handler may set it back).
        TCheckBox* b = &box;
        auto alive = Alive();
        connections_.push_back(QObject::connect(w, &QCheckBox::clicked, [this, b, alive] {
            CallPortable([b] { b->UserClick(); });
            if (*alive) {
                SyncTick();
            }
        }));
        Attach(w);
    }
    bool Focusable() const override { return true; }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        switch (what) {
            case TChange::Text:
                static_cast<QCheckBox*>(widget_)->setText(ToQString(box_.Caption()));
                break;
            case TChange::Checked:
                SyncTick();
                break;
            default:
                TQtPeer::Apply(what, index, count);
        }
    }

  private:
    void SyncTick() {
        auto* w = static_cast<QCheckBox*>(Widget());
        if (w != nullptr && w->isChecked() != box_.Checked()) {
            const QSignalBlocker block(w);
            w->setChecked(box_.Checked());
        }
    }

    TCheckBox& box_;
};

// ---- Drop-down lists
// -------------------------------------------------------------------------------

class TQtComboBoxPeer : public TQtPeer {
  public:
    explicit TQtComboBoxPeer(TComboBox& combo, TQtFormPeer* form) : TQtPeer(combo), combo_(combo) {
        auto* w = new QComboBox(ParentWidget(form));
        w->setEditable(false);
        TComboBox* c = &combo;
        auto alive = Alive();
        connections_.push_back(
            QObject::connect(w, &QComboBox::activated, [this, c, alive](int index) {
                // Picking the entry that is already selected changes nothing.
                if (index != c->ItemIndex()) {
                    CallPortable([c, index] { c->UserSelect(index); });
                }
                if (*alive) {
                    SyncIndex();
                }
            }));
        Attach(w);
    }
    bool Focusable() const override { return true; }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        auto* w = static_cast<QComboBox*>(widget_);
        switch (what) {
            case TChange::Items: {
                const QSignalBlocker block(w);
                w->clear();
                for (const std::string& item : combo_.Items()) {
                    w->addItem(ToQString(item));
                }
                w->setCurrentIndex(combo_.ItemIndex());
                break;
            }
            case TChange::ItemIndex:
                SyncIndex();
                break;
            default:
                TQtPeer::Apply(what, index, count);
        }
    }

  private:
    void SyncIndex() {
        auto* w = static_cast<QComboBox*>(Widget());
        if (w != nullptr && w->currentIndex() != combo_.ItemIndex()) {
            const QSignalBlocker block(w);
            w->setCurrentIndex(combo_.ItemIndex());
        }
    }

    TComboBox& combo_;
};

// ---- Memo
// ----------------------------------------------------------------------------------------

class TQtMemoPeer : public TQtPeer {
  public:
    explicit TQtMemoPeer(TMemo& memo, TQtFormPeer* form) : TQtPeer(memo), memo_(memo) {
        auto* w = new QPlainTextEdit(ParentWidget(form));
        w->setReadOnly(memo.ReadOnly());
        w->setUndoRedoEnabled(false);
        const TScrollStyle s = memo.ScrollBars();
        const bool horizontal = s == TScrollStyle::ssHorizontal || s == TScrollStyle::ssBoth;
        const bool vertical = s == TScrollStyle::ssVertical || s == TScrollStyle::ssBoth;
        w->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn
                                                   : Qt::ScrollBarAlwaysOff);
        w->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        w->setLineWrapMode(horizontal ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        Attach(w);
    }
    bool Focusable() const override { return true; }

    // One line of the control is one line on screen: a trailing line end is
    // not an extra blank line, and line ends inside show as blanks.
    static QString Shown(const std::string& line) {
        std::string s = line;
        if (!s.empty() && s.back() == '\n') {
            s.pop_back();
        }
        if (!s.empty() && s.back() == '\r') {
            s.pop_back();
        }
        std::replace(s.begin(), s.end(), '\r', ' ');
        std::replace(s.begin(), s.end(), '\n', ' ');
        return ToQString(s);
    }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        auto* w = static_cast<QPlainTextEdit*>(widget_);
        switch (what) {
            case TChange::LineAdded:
                if (index == shown_ && static_cast<size_t>(index) < memo_.Lines().size()) {
                    w->appendPlainText(Shown(memo_.Lines()[static_cast<size_t>(index)]));
                    ++shown_;
                    w->verticalScrollBar()->setValue(w->verticalScrollBar()->maximum());
                } else {
                    Rebuild();
                }
                break;
            case TChange::LinesRemoved:
                RemoveFront(std::min(count, shown_));
                break;
            case TChange::LinesCleared:
                Rebuild();
                break;
            case TChange::Color: {
                QPalette p = w->palette();
                p.setColor(QPalette::Base, ToQColor(memo_.Color()));
                w->setPalette(p);
                break;
            }
            default:
                TQtPeer::Apply(what, index, count);
        }
    }

  private:
    void Rebuild() {
        auto* w = static_cast<QPlainTextEdit*>(widget_);
        w->clear();
        shown_ = 0;
        for (const std::string& line : memo_.Lines()) {
            w->appendPlainText(Shown(line));
            ++shown_;
        }
        w->verticalScrollBar()->setValue(w->verticalScrollBar()->maximum());
    }

    void RemoveFront(int32_t n) {
        if (n <= 0) {
            return;
        }
        auto* w = static_cast<QPlainTextEdit*>(widget_);
        if (n >= shown_) {
            w->clear();
            shown_ = 0;
            return;
        }
        QTextCursor cursor(w->document()->firstBlock());
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, n);
        cursor.removeSelectedText();
        shown_ -= n;
    }

    TMemo& memo_;
    int32_t shown_ = 0;
};

// ---- Bevel and status bar
// -------------------------------------------------------------------------

class TQtBevelPeer : public TQtPeer {
  public:
    explicit TQtBevelPeer(TBevel& bevel, TQtFormPeer* form) : TQtPeer(bevel) {
        auto* w = new QFrame(ParentWidget(form));
        const QFrame::Shape shape =
            bevel.Shape() == TBevelShape::bsBox ? QFrame::Panel : QFrame::Box;
        const QFrame::Shadow shadow =
            bevel.Style() == TBevelStyle::bsLowered ? QFrame::Sunken : QFrame::Raised;
        w->setFrameStyle(shape | shadow);
        w->setLineWidth(1);
        // Only a drawn frame: below the other controls, and not in the mouse's way.
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
        w->lower();
        Attach(w);
    }
};

class TQtStatusBarPeer : public TQtPeer {
  public:
    explicit TQtStatusBarPeer(TStatusBar& bar, TQtFormPeer* form) : TQtPeer(bar) {
        auto* w = new QStatusBar(ParentWidget(form));
        w->setSizeGripEnabled(false);
        panel_ = new QLabel(w);
        panel_->setTextFormat(Qt::PlainText);
        w->addWidget(panel_, 1);
        Attach(w);
    }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        if (what == TChange::Text) {
            panel_->setText(ToQString(control_.Caption()));
        } else {
            TQtPeer::Apply(what, index, count);
        }
    }
    void ApplyColor() override {
        widget_->setAutoFillBackground(true);
        QPalette p = widget_->palette();
        p.setColor(QPalette::Window, ToQColor(control_.Color()));
        widget_->setPalette(p);
    }

  private:
    QLabel* panel_ = nullptr;
};

// ---- Paint box
// ---------------------------------------------------------------------------------

class TQtPaintWidget : public QWidget {
  public:
    TQtPaintWidget(TPaintBox& box, QWidget* parent) : QWidget(parent), box_(box) {
        // Everything is painted here: no background fill by Qt first.
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    bool detached = false;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (detached) {
            return;
        }
        painter.fillRect(rect(), ToQColor(box_.Color()));
        TQtCanvas canvas(painter, box_.Font());
        TPortableCallDepth depth;
        try {
            box_.Paint(canvas);
        } catch (...) {
            ShowLater(std::current_exception());
        }
    }

  private:
    TPaintBox& box_;
};

class TQtPaintBoxPeer : public TQtPeer {
  public:
    explicit TQtPaintBoxPeer(TPaintBox& box, TQtFormPeer* form) : TQtPeer(box) {
        widget_ = new TQtPaintWidget(box, ParentWidget(form));
        paint_ = static_cast<TQtPaintWidget*>(widget_);
        Attach(widget_);
    }
    ~TQtPaintBoxPeer() override {
        if (Widget() != nullptr) {
            paint_->detached = true;  // a deferred deletion paints nothing more
        }
    }

  protected:
    void Apply(TChange what, int32_t index, int32_t count) override {
        switch (what) {
            case TChange::Repaint:
            case TChange::Color:
            case TChange::Font:
                widget_->update();
                break;
            default:
                TQtPeer::Apply(what, index, count);
        }
    }

  private:
    TQtPaintWidget* paint_ = nullptr;
};

}  // namespace

// ---- Forms
// ---------------------------------------------------------------------------------------

TQtFormPeer::TQtFormPeer(TForm& form, bool mainWindow) : TQtPeer(form), form_(form) {
    window_ = new TQtFormWidget;
    window_->peer = this;
    Qt::WindowFlags flags = mainWindow ? Qt::Window : Qt::Dialog;
    if (form.BorderStyle() != TBorderStyle::bsSizeable || form.SystemMenuOnly()) {
        // A fixed frame: title and close box, and a minimise box only for a
        // single frame that asks for more than the system menu.
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint;
        if (form.BorderStyle() == TBorderStyle::bsSingle && !form.SystemMenuOnly()) {
            flags |= Qt::WindowMinimizeButtonHint;
        }
    }
    window_->setWindowFlags(flags);
    Attach(window_);
}

TQtFormPeer::~TQtFormPeer() {
    *alive_ = false;
    if (Widget() != nullptr) {
        window_->peer = nullptr;
    }
    if (modalLoop_ != nullptr) {
        modalLoop_->exit(0);
    }
    for (TQtPeer* child : children_) {
        child->DetachForm();
    }
}

void TQtFormPeer::AddChild(TQtPeer* child) {
    children_.push_back(child);
}

void TQtFormPeer::RemoveChild(TQtPeer* child) {
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

void TQtFormPeer::Apply(TChange what, int32_t index, int32_t count) {
    switch (what) {
        case TChange::Text:
            window_->setWindowTitle(ToQString(form_.Caption()));
            break;
        case TChange::Color:
        case TChange::Repaint:
            window_->update();
            break;
        case TChange::Visible:
            if (form_.Showing() && form_.Visible()) {
                ShowWindow();
            } else {
                window_->hide();
            }
            break;
        case TChange::ModalResult:
            if (modalLoop_ != nullptr && form_.ModalResult() != mrNone) {
                modalLoop_->exit(0);
            }
            break;
        case TChange::TabOrder:
            break;
        default:
            TQtPeer::Apply(what, index, count);
    }
}

void TQtFormPeer::ApplyBounds() {
    const int w = std::max(1, form_.ClientWidth());
    const int h = std::max(1, form_.ClientHeight());
    if (form_.BorderStyle() == TBorderStyle::bsSizeable) {
        window_->setMinimumSize(std::max(0, form_.MinClientWidth()),
                                std::max(0, form_.MinClientHeight()));
        window_->resize(w, h);
    } else {
        window_->setFixedSize(w, h);
    }
}

void TQtFormPeer::ShowWindow() {
    if (Widget() == nullptr) {
        return;
    }
    if (!shownOnce_) {
        shownOnce_ = true;
        if (form_.Position() == TPosition::poDesigned) {
            window_->move(form_.Left(), form_.Top());
        } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = form_.Position() == TPosition::poDesktopCenter
                                   ? screen->availableVirtualGeometry()
                                   : screen->availableGeometry();
            window_->move(area.center() - QPoint(window_->width() / 2, window_->height() / 2));
        }
    }
    window_->show();
    // Platforms without a window stack (offscreen, minimal) only warn about raising.
    const QString platform = QGuiApplication::platformName();
    if (platform != "offscreen" && platform != "minimal") {
        window_->raise();
    }
    window_->activateWindow();
    UpdateTabOrder();
    // The first control of the tab order starts with the focus.
    TQtPeer* first = nullptr;
    for (TQtPeer* child : children_) {
        if (child->Focusable() && child->Control().TabOrder() >= 0 && child->Control().Visible() &&
            child->Control().Enabled() &&
            (first == nullptr || child->Control().TabOrder() < first->Control().TabOrder())) {
            first = child;
        }
    }
    if (first != nullptr && first->Widget() != nullptr) {
        first->Widget()->setFocus(Qt::OtherFocusReason);
    }
}

void TQtFormPeer::UpdateTabOrder() {
    if (Widget() == nullptr) {
        return;
    }
    std::vector<TQtPeer*> chain;
    for (TQtPeer* child : children_) {
        if (!child->Focusable() || child->Widget() == nullptr) {
            continue;
        }
        if (child->Control().TabOrder() >= 0) {
            child->Widget()->setFocusPolicy(Qt::StrongFocus);
            chain.push_back(child);
        } else {
            child->Widget()->setFocusPolicy(Qt::ClickFocus);
        }
    }
    std::stable_sort(chain.begin(), chain.end(), [](TQtPeer* a, TQtPeer* b) {
        return a->Control().TabOrder() < b->Control().TabOrder();
    });
    for (size_t i = 1; i < chain.size(); ++i) {
        QWidget::setTabOrder(chain[i - 1]->Widget(), chain[i]->Widget());
    }
}

void TQtFormPeer::ClickDefault() {
    if (Widget() == nullptr) {
        return;
    }
    if (auto* focused = qobject_cast<QPushButton*>(window_->focusWidget())) {
        focused->click();
        return;
    }
    for (TQtPeer* child : children_) {
        auto* button = dynamic_cast<TButton*>(&child->Control());
        auto* w = qobject_cast<QPushButton*>(child->Widget());
        if (button != nullptr && w != nullptr && button->Default() && button->Enabled() &&
            button->Visible()) {
            w->click();
            return;
        }
    }
}

// ---- Making peers
// ----------------------------------------------------------------------------------

std::unique_ptr<TControlPeer> MakeQtPeer(TControl& control) {
    if (auto* form = dynamic_cast<TForm*>(&control)) {
        TApplication* app = Application();
        const bool mainWindow = app == nullptr || app->MainForm() == form;
        return std::make_unique<TQtFormPeer>(*form, mainWindow);
    }
    TQtFormPeer* form = control.Parent() != nullptr
                            ? dynamic_cast<TQtFormPeer*>(control.Parent()->Peer())
                            : nullptr;
    if (form == nullptr) {
        return nullptr;
    }
    if (auto* label = dynamic_cast<TLabel*>(&control)) {
        return std::make_unique<TQtLabelPeer>(*label, form);
    }
    if (auto* button = dynamic_cast<TButton*>(&control)) {
        return std::make_unique<TQtButtonPeer>(*button, form);
    }
    if (auto* box = dynamic_cast<TCheckBox*>(&control)) {
        return std::make_unique<TQtCheckBoxPeer>(*box, form);
    }
    if (auto* combo = dynamic_cast<TComboBox*>(&control)) {
        return std::make_unique<TQtComboBoxPeer>(*combo, form);
    }
    if (auto* memo = dynamic_cast<TMemo*>(&control)) {
        return std::make_unique<TQtMemoPeer>(*memo, form);
    }
    if (auto* bevel = dynamic_cast<TBevel*>(&control)) {
        return std::make_unique<TQtBevelPeer>(*bevel, form);
    }
    if (auto* bar = dynamic_cast<TStatusBar*>(&control)) {
        return std::make_unique<TQtStatusBarPeer>(*bar, form);
    }
    if (auto* box = dynamic_cast<TPaintBox*>(&control)) {
        return std::make_unique<TQtPaintBoxPeer>(*box, form);
    }
    return nullptr;
}

}  // namespace tk::qt
