// The Qt peers: every control kind mirrored into its widget, later changes
// followed, and the user's actions on the widgets brought back to the controls.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "toolkit/qt/QtTestSupport.h"

namespace {

using qttest::WidgetOf;

tk::TFont Font(const char* name, int32_t height, bool bold = false,
               tk::TColor color = tk::clWindowText) {
    tk::TFont f;
    f.Name = name;
    f.Height = height;
    f.Bold = bold;
    f.Color = color;
    return f;
}

// The next of the given widgets after w in the focus chain (compound widgets
// put their own parts in between).
QWidget* NextStop(QWidget* w, const std::vector<QWidget*>& stops) {
    for (QWidget* next = w->nextInFocusChain(); next != nullptr && next != w;
         next = next->nextInFocusChain()) {
        if (std::find(stops.begin(), stops.end(), next) != stops.end()) {
            return next;
        }
    }
    return nullptr;
}

TEST(QtPeers, EachControlKindMirrorsItsStateAndFollowsChanges) {
    ASSERT_TRUE(qttest::StartQt());
    tk::TForm form(nullptr);
    form.SetCaption("Peers \xB0");
    form.SetClientSize(300, 220);
    form.SetBorderStyle(tk::TBorderStyle::bsDialog);
    form.SetColor(0x84DDFF);
    form.SetFont(Font("Tahoma", -11));

    auto* label = new tk::TLabel(&form, &form);
    label->SetBounds(10, 10, 50, 13);
    label->SetTransparent(true);
    label->SetCaption("Lat1\xB0");
    auto* right = new tk::TLabel(&form, &form);
    right->SetBounds(200, 190, 75, 19);
    right->SetAlignment(tk::TAlignment::taRightJustify);
    right->SetFont(Font("Tahoma", -16, true, tk::clBlue));
    right->SetCaption("Not Valid");
    auto* opaque = new tk::TLabel(&form, &form);
    opaque->SetBounds(10, 30, 40, 13);
    opaque->SetAutoSize(false);
    opaque->SetColor(tk::clWhite);
    opaque->SetCaption("Opaque");
    auto* ok = new tk::TBitBtn(&form, &form);
    ok->SetBounds(100, 60, 85, 27);
    ok->SetKind(tk::TBitBtnKind::bkOK);
    ok->SetCaption("OK");
    ok->SetCursor(tk::TCursor::crHandPoint);
    ok->SetTabOrder(1);
    auto* box = new tk::TCheckBox(&form, &form);
    box->SetBounds(16, 60, 80, 17);
    box->SetFont(Font("MS Sans Serif", -13, true));
    box->SetCaption("GPS Available ");
    box->SetChecked(true);
    box->SetTabOrder(0);
    auto* combo = new tk::TComboBox(&form, &form);
    combo->SetBounds(8, 90, 100, 21);
    combo->AddItem("COM1");
    combo->AddItem("COM3");
    combo->SetItemIndex(1);
    combo->SetTabOrder(2);
    auto* memo = new tk::TMemo(&form, &form);
    memo->SetBounds(8, 115, 280, 60);
    memo->SetScrollBars(tk::TScrollStyle::ssBoth);
    memo->SetMaxLines(3);
    memo->SetColor(0xEBFEFD);
    memo->AddLine("GPGSA: $GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r");
    memo->SetTabOrder(3);
    auto* bevel = new tk::TBevel(&form, &form);
    bevel->SetBounds(4, 4, 150, 50);
    auto* bar = new tk::TStatusBar(&form, &form);
    bar->SetBounds(0, 200, 300, 20);
    bar->SetColor(tk::clWhite);
    bar->SetCaption(" Palmo GPS Receiver");
    form.Show();

    auto* window = WidgetOf(form);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Peers \u00B0"));
    EXPECT_EQ(window->size(), QSize(300, 220));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // a fixed frame
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

    // Labels: Latin-1 text, transparency, the font by pixels, auto-size.
    auto* labelW = WidgetOf<QLabel>(*label);
    ASSERT_NE(labelW, nullptr);
    EXPECT_EQ(labelW->text(), QString::fromUtf8("Lat1\u00B0"));
    EXPECT_FALSE(labelW->autoFillBackground());
    EXPECT_EQ(labelW->font().pixelSize(), 11);
    EXPECT_EQ(labelW->font().families().value(0), "Tahoma");
    EXPECT_FALSE(QFontInfo(labelW->font()).family().isEmpty());
    EXPECT_EQ(labelW->pos(), QPoint(10, 10));
    const int fitted = labelW->fontMetrics().horizontalAdvance(labelW->text());
    EXPECT_EQ(label->Width(), fitted);
    EXPECT_EQ(labelW->width(), fitted);
    EXPECT_EQ(label->Height(), labelW->fontMetrics().height());
    auto* rightW = WidgetOf<QLabel>(*right);
    ASSERT_NE(rightW, nullptr);
    EXPECT_EQ(rightW->font().pixelSize(), 16);
    EXPECT_TRUE(rightW->font().bold());
    EXPECT_EQ(rightW->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(rightW->alignment() & Qt::AlignRight);
    EXPECT_EQ(right->Left() + right->Width(), 275);
    EXPECT_EQ(rightW->geometry().right() + 1, 275);
    auto* opaqueW = WidgetOf<QLabel>(*opaque);
    ASSERT_NE(opaqueW, nullptr);
    EXPECT_TRUE(opaqueW->autoFillBackground());
    EXPECT_EQ(opaqueW->palette().color(QPalette::Window), QColor(255, 255, 255));
    EXPECT_EQ(opaqueW->size(), QSize(40, 13));  // not auto-sized

    auto* okW = WidgetOf<QPushButton>(*ok);
    ASSERT_NE(okW, nullptr);
    EXPECT_EQ(okW->text(), "OK");
    EXPECT_FALSE(okW->icon().isNull());
    EXPECT_EQ(okW->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(okW->geometry(), QRect(100, 60, 85, 27));

    auto* boxW = WidgetOf<QCheckBox>(*box);
    ASSERT_NE(boxW, nullptr);
    EXPECT_TRUE(boxW->isChecked());
    EXPECT_EQ(boxW->text(), "GPS Available ");
    EXPECT_EQ(boxW->font().pixelSize(), 13);
    EXPECT_TRUE(boxW->font().bold());

    auto* comboW = WidgetOf<QComboBox>(*combo);
    ASSERT_NE(comboW, nullptr);
    EXPECT_FALSE(comboW->isEditable());
    ASSERT_EQ(comboW->count(), 2);
    EXPECT_EQ(comboW->itemText(1), "COM3");
    EXPECT_EQ(comboW->currentIndex(), 1);

    auto* memoW = WidgetOf<QPlainTextEdit>(*memo);
    ASSERT_NE(memoW, nullptr);
    EXPECT_EQ(memoW->document()->blockCount(), 1);  // the trailing CR adds no blank line
    EXPECT_EQ(memoW->toPlainText(), "GPGSA: $GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39");
    EXPECT_EQ(memoW->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memoW->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memoW->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(memoW->palette().color(QPalette::Base), QColor(0xFD, 0xFE, 0xEB));

    auto* bevelW = WidgetOf<QFrame>(*bevel);
    ASSERT_NE(bevelW, nullptr);
    EXPECT_EQ(bevelW->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(bevelW->geometry(), QRect(4, 4, 150, 50));

    auto* barW = WidgetOf<QStatusBar>(*bar);
    ASSERT_NE(barW, nullptr);
    auto* panel = barW->findChild<QLabel*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->text(), " Palmo GPS Receiver");
    EXPECT_TRUE(barW->autoFillBackground());
    EXPECT_EQ(barW->palette().color(QPalette::Window), QColor(255, 255, 255));

    // The tab order follows TabOrder; the first stop has the focus.
    const std::vector<QWidget*> stops{boxW, okW, comboW, memoW};
    EXPECT_EQ(NextStop(boxW, stops), okW);
    EXPECT_EQ(NextStop(okW, stops), comboW);
    EXPECT_EQ(NextStop(comboW, stops), memoW);
    EXPECT_EQ(window->focusWidget(), boxW);

    // Later changes.
    label->SetCaption("Lat: 48\xB0 07' 02\" N");
    EXPECT_EQ(labelW->text(), QString::fromUtf8("Lat: 48\u00B0 07' 02\" N"));
    EXPECT_GT(label->Width(), fitted);
    EXPECT_EQ(labelW->width(), label->Width());
    right->SetCaption("Valid");
    EXPECT_EQ(right->Left() + right->Width(), 275);
    EXPECT_EQ(rightW->geometry().right() + 1, 275);
    EXPECT_EQ(rightW->x(), right->Left());
    box->SetChecked(false);
    EXPECT_FALSE(boxW->isChecked());
    combo->SetItemIndex(0);
    EXPECT_EQ(comboW->currentIndex(), 0);
    combo->AddItem("COM5");
    EXPECT_EQ(comboW->count(), 3);
    EXPECT_EQ(comboW->currentIndex(), 0);
    combo->ClearItems();
    EXPECT_EQ(comboW->count(), 0);
    EXPECT_EQ(comboW->currentIndex(), -1);
    for (const char* line : {"one\r", "two\r", "three\r"}) {
        memo->AddLine(line);
    }
    EXPECT_EQ(memoW->toPlainText(), "one\ntwo\nthree");  // bounded to 3: the oldest went
    memo->AddLine("four\r\n");
    EXPECT_EQ(memoW->toPlainText(), "two\nthree\nfour");
    memo->ClearLines();
    EXPECT_TRUE(memoW->toPlainText().isEmpty());
    memo->AddLine("after");
    EXPECT_EQ(memoW->toPlainText(), "after");
    label->SetVisible(false);
    EXPECT_FALSE(labelW->isVisible());
    ok->SetEnabled(false);
    EXPECT_FALSE(okW->isEnabled());
    ok->SetCursor(tk::TCursor::crDefault);
    EXPECT_EQ(okW->cursor().shape(), Qt::ArrowCursor);
    ok->SetBounds(90, 62, 80, 25);
    EXPECT_EQ(okW->geometry(), QRect(90, 62, 80, 25));
    box->SetTabOrder(4);
    EXPECT_EQ(NextStop(memoW, stops), boxW);
    EXPECT_EQ(NextStop(boxW, stops), okW);
    form.SetCaption("Renamed");
    EXPECT_EQ(window->windowTitle(), "Renamed");
    form.SetFont(Font("Tahoma", -12));
    EXPECT_EQ(labelW->font().pixelSize(), 12);  // parent font
    EXPECT_EQ(boxW->font().pixelSize(), 13);    // its own

    // Closing releases the peers and the widgets with them.
    const QPointer<QWidget> gone = window;
    form.Close();
    EXPECT_FALSE(form.Showing());
    EXPECT_EQ(label->Peer(), nullptr);
    EXPECT_EQ(form.Peer(), nullptr);
    EXPECT_TRUE(gone.isNull());
}

TEST(QtPeers, UserActionsComeBackToTheControls) {
    ASSERT_TRUE(qttest::StartQt());
    qttest::TExceptionRecorder shown;
    tk::TForm form(nullptr);
    form.SetClientSize(200, 150);
    auto* button = new tk::TButton(&form, &form);
    button->SetBounds(10, 10, 80, 25);
    int clicks = 0;
    bool fail = false;
    button->OnClick = [&](tk::TButton&) {
        ++clicks;
        if (fail) {
            throw std::runtime_error("refused");
        }
    };
    auto* box = new tk::TCheckBox(&form, &form);
    box->SetBounds(10, 40, 80, 17);
    std::vector<bool> seen;
    bool refuse = true;
    // Like a port that will not open: the handler sets the tick back.
    box->OnClick = [&](tk::TCheckBox& sender) {
        seen.push_back(sender.Checked());
        if (sender.Checked() && refuse) {
            sender.SetChecked(false);
        }
    };
    auto* combo = new tk::TComboBox(&form, &form);
    combo->SetBounds(10, 60, 80, 21);
    combo->AddItem("150");
    combo->AddItem("4800");
    combo->SetItemIndex(0);
    std::vector<std::string> picked;
    combo->OnChange = [&](tk::TComboBox& sender) { picked.push_back(sender.Text()); };
    form.Show();

    auto* buttonW = WidgetOf<QPushButton>(*button);
    auto* boxW = WidgetOf<QCheckBox>(*box);
    auto* comboW = WidgetOf<QComboBox>(*combo);
    ASSERT_TRUE(buttonW && boxW && comboW);

    buttonW->click();
    EXPECT_EQ(clicks, 1);

    // The handler that re-ticks settles: ran twice, and the box shows unticked.
    boxW->click();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_FALSE(box->Checked());
    EXPECT_FALSE(boxW->isChecked());
    refuse = false;
    boxW->click();
    EXPECT_TRUE(box->Checked());
    EXPECT_TRUE(boxW->isChecked());
    boxW->click();
    EXPECT_FALSE(box->Checked());
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));

    // Picking an entry selects it, then OnChange; the entry already selected changes nothing.
    comboW->setCurrentIndex(1);
    Q_EMIT comboW->activated(1);
    EXPECT_EQ(combo->ItemIndex(), 1);
    EXPECT_EQ(picked, std::vector<std::string>{"4800"});
    Q_EMIT comboW->activated(1);
    EXPECT_EQ(picked.size(), 1u);

    // A handler's exception reaches the exception display; the peer goes on working.
    fail = true;
    buttonW->click();
    ASSERT_EQ(shown.seen, std::vector<std::string>{"refused"});
    fail = false;
    buttonW->click();
    EXPECT_EQ(clicks, 3);

    // The close box closes the form; its widgets go once the event is over.
    const QPointer<QWidget> window = WidgetOf(form);
    ASSERT_FALSE(window.isNull());
    window->close();
    EXPECT_FALSE(form.Showing());
    EXPECT_EQ(box->Peer(), nullptr);
    EXPECT_TRUE(qttest::RunUntil([&] { return window.isNull(); }));
    // Shown again: fresh peers with the current state.
    form.Show();
    ASSERT_NE(WidgetOf<QComboBox>(*combo), nullptr);
    EXPECT_EQ(WidgetOf<QComboBox>(*combo)->currentIndex(), 1);
}

}  // namespace
