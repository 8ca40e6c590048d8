// Controls and forms with no display and with a recording backend: state
// rules, notices to the peers, showing, closing and destruction order.
#include "toolkit/Forms.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FormsFakeBackend.h"

namespace {

using formstest::Make;
using formstest::TFakeBackend;
using tk::TChange;

using Names = std::vector<std::string>;

TEST(Forms, ShowMakesPeersInOrderAndCloseReleasesThem) {
    TFakeBackend backend;
    auto form = std::make_unique<tk::TForm>(nullptr);
    form->SetName("form");
    auto& label = Make<tk::TLabel>(*form, "label");
    auto& button = Make<tk::TButton>(*form, "button");
    auto& memo = Make<tk::TMemo>(*form, "memo");
    EXPECT_EQ(form->Controls(), (std::vector<tk::TControl*>{&label, &button, &memo}));

    // Nothing reaches a control without a peer.
    label.SetCaption("before");
    EXPECT_TRUE(backend.notices.empty());

    form->Show();
    EXPECT_TRUE(form->Showing());
    EXPECT_EQ(backend.made, (Names{"form", "label", "button", "memo"}));
    ASSERT_EQ(backend.notices.size(), 1u);  // the window appears once all peers exist
    EXPECT_EQ(backend.notices[0].control, "form");
    EXPECT_EQ(backend.notices[0].what, TChange::Visible);
    ASSERT_NE(label.Peer(), nullptr);

    // Showing again makes no second set of peers.
    form->Show();
    EXPECT_EQ(backend.made.size(), 4u);

    // Each real change is one notice; setting the same value is none.
    backend.notices.clear();
    label.SetCaption("after");
    label.SetCaption("after");
    label.SetBounds(1, 2, 3, 4);
    label.SetBounds(1, 2, 3, 4);
    button.SetEnabled(false);
    button.SetCursor(tk::TCursor::crHandPoint);
    button.SetTabOrder(0);
    memo.SetColor(0x123456);
    memo.SetVisible(false);
    form->Invalidate();
    form->SetClientSize(376, 421);
    form->SetClientSize(376, 421);
    ASSERT_EQ(backend.notices.size(), 9u);
    const TChange expected[] = {TChange::Text,    TChange::Bounds,   TChange::Enabled,
                                TChange::Cursor,  TChange::TabOrder, TChange::Color,
                                TChange::Visible, TChange::Repaint,  TChange::Bounds};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(backend.notices[i].what, expected[i]) << i;
    }
    EXPECT_EQ(label.Caption(), "after");
    EXPECT_EQ(label.Left() + label.Top() + label.Width() + label.Height(), 10);
    EXPECT_EQ(form->ClientWidth(), 376);
    EXPECT_EQ(form->ClientHeight(), 421);

    // A modeless close releases the controls' peers, then the form's own.
    form->Close();
    EXPECT_FALSE(form->Showing());
    EXPECT_EQ(backend.released, (Names{"memo", "button", "label", "form"}));
    EXPECT_EQ(label.Peer(), nullptr);
    EXPECT_EQ(form->Peer(), nullptr);

    // Shown again: fresh peers; a control the backend does not show has none.
    backend.unshown = "button";
    form->Show();
    EXPECT_NE(label.Peer(), nullptr);
    EXPECT_EQ(button.Peer(), nullptr);
    backend.released.clear();
    form.reset();
    EXPECT_EQ(backend.released, (Names{"memo", "label", "form"}));
}

TEST(Forms, DestructionOrderAndOwnership) {
    TFakeBackend backend;
    std::vector<std::string> events;

    // A control owned elsewhere but parented by the form outlives the form.
    auto elsewhere = std::make_unique<tk::TComponent>(nullptr);
    auto form = std::make_unique<tk::TForm>(nullptr);
    form->SetName("form");
    auto* stray = new tk::TLabel(elsewhere.get(), form.get());  // freed by `elsewhere`
    stray->SetName("stray");
    auto& owned = Make<tk::TCheckBox>(*form, "owned");
    auto& early = Make<tk::TButton>(*form, "early");
    form->OnDestroy = [&](tk::TForm& f) {
        // The controls and their peers still exist while OnDestroy runs.
        events.push_back("destroy:" + std::to_string(f.Controls().size()) +
                         (owned.Peer() != nullptr ? ":peer" : ":nopeer"));
    };
    form->Show();
    EXPECT_EQ(backend.made, (Names{"form", "stray", "owned", "early"}));

    // A control freed before its form leaves the form's list with its peer.
    delete &early;
    EXPECT_EQ(backend.released, (Names{"early"}));
    EXPECT_EQ(form->Controls().size(), 2u);
    EXPECT_EQ(form->ComponentCount(), 1u);

    form.reset();
    EXPECT_EQ(events, (Names{"destroy:2:peer"}));
    EXPECT_EQ(backend.released, (Names{"early", "owned", "stray", "form"}));
    // The stray label no longer knows the destroyed form: its use is safe.
    EXPECT_EQ(stray->Parent(), nullptr);
    stray->SetCaption("still alive");
    EXPECT_EQ(stray->Font().Name, "MS Sans Serif");
    elsewhere.reset();  // frees the label, which touches no form
}

// A derived form runs OnDestroy while its own members still exist.
class TOwnForm : public tk::TForm {
  public:
    explicit TOwnForm(tk::TComponent* owner, std::vector<std::string>& log)
        : tk::TForm(owner), log_(log) {
        box = new tk::TCheckBox(this, this);  // freed by the form
        OnCreate = [this](tk::TForm&) { log_.push_back("create"); };
        OnDestroy = [this](tk::TForm&) { log_.push_back("destroy:" + member_); };
        DoCreate();
    }
    ~TOwnForm() override {
        DoDestroy();
        member_ = "gone";
    }
    tk::TCheckBox* box;

  private:
    std::vector<std::string>& log_;
    std::string member_ = "alive";
};

TEST(Forms, DerivedFormCreateAndDestroyRunOnce) {
    std::vector<std::string> log;
    {
        TOwnForm form(nullptr, log);
        form.box->SetChecked(true);
    }
    EXPECT_EQ(log, (Names{"create", "destroy:alive"}));
}

TEST(Forms, FontsFollowTheFormUntilSetOwn) {
    TFakeBackend backend;
    tk::TForm form(nullptr);
    form.SetName("form");
    auto& follows = Make<tk::TLabel>(form, "follows");
    auto& own = Make<tk::TLabel>(form, "own");
    tk::TFont bold;
    bold.Name = "MS Sans Serif";
    bold.Height = 13;
    bold.Bold = true;
    own.SetFont(bold);
    EXPECT_FALSE(own.ParentFont());
    EXPECT_TRUE(follows.ParentFont());
    form.Show();
    backend.notices.clear();

    tk::TFont tahoma;
    tahoma.Name = "Tahoma";
    tahoma.Height = -11;
    form.SetFont(tahoma);
    EXPECT_EQ(follows.Font(), tahoma);
    EXPECT_EQ(own.Font(), bold);
    ASSERT_EQ(backend.Of(TChange::Font).size(), 2u);
    EXPECT_EQ(backend.Of(TChange::Font)[0].control, "form");
    EXPECT_EQ(backend.Of(TChange::Font)[1].control, "follows");

    // Setting the same font again is no change.
    backend.notices.clear();
    form.SetFont(tahoma);
    own.SetFont(bold);
    EXPECT_TRUE(backend.notices.empty());
}

TEST(Forms, CheckBoxClicksSettleAndAreCutOff) {
    TFakeBackend backend;
    tk::TForm form(nullptr);
    auto& box = Make<tk::TCheckBox>(form, "box");
    form.Show();

    // The handler ties the tick to a state that refuses to turn on: the
    // tick goes back, the handler runs once more and settles.
    bool portOpen = false;
    int runs = 0;
    std::vector<bool> seen;
    box.OnClick = [&](tk::TCheckBox& b) {
        ++runs;
        seen.push_back(b.Checked());
        b.SetChecked(portOpen);
    };
    box.UserClick();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_FALSE(box.Checked());
    EXPECT_EQ(backend.Of(TChange::Checked).size(), 2u);

    // When the state follows, one run.
    runs = 0;
    box.OnClick = [&](tk::TCheckBox& b) {
        ++runs;
        portOpen = b.Checked();
        b.SetChecked(portOpen);
    };
    box.SetChecked(true);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(box.Checked());
    box.SetChecked(true);  // same value: no click
    EXPECT_EQ(runs, 1);
    box.UserClick();
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(portOpen);

    // A handler that always flips the tick is cut off, not a stack overflow.
    runs = 0;
    box.OnClick = [&](tk::TCheckBox& b) {
        ++runs;
        b.SetChecked(!b.Checked());
    };
    box.UserClick();
    EXPECT_EQ(runs, 16);

    // An exception from the handler passes to the caller; the box stays usable.
    runs = 0;
    box.OnClick = [&](tk::TCheckBox&) {
        ++runs;
        throw std::runtime_error("open failed");
    };
    const bool before = box.Checked();
    EXPECT_THROW(box.UserClick(), std::runtime_error);
    EXPECT_EQ(box.Checked(), !before);
    EXPECT_THROW(box.UserClick(), std::runtime_error);
    EXPECT_EQ(runs, 2);
}

TEST(Forms, ComboBoxSelectionRules) {
    TFakeBackend backend;
    tk::TForm form(nullptr);
    auto& combo = Make<tk::TComboBox>(form, "combo");
    int changes = 0;
    std::string textInHandler;
    combo.OnChange = [&](tk::TComboBox& c) {
        ++changes;
        textInHandler = c.Text();
    };
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    combo.SetItemIndex(0);  // nothing to select
    EXPECT_EQ(combo.ItemIndex(), -1);

    form.Show();
    for (const char* s : {"COM2", "COM5", "COM12"}) {
        combo.AddItem(s);
    }
    const auto items = backend.Of(TChange::Items);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2].index, 2);
    EXPECT_EQ(items[2].count, 1);

    // Set by the program: selected, no OnChange.
    combo.SetItemIndex(1);
    EXPECT_EQ(combo.ItemIndex(), 1);
    EXPECT_EQ(combo.Text(), "COM5");
    EXPECT_EQ(changes, 0);
    combo.SetItemIndex(3);
    EXPECT_EQ(combo.ItemIndex(), -1);
    combo.SetItemIndex(-7);
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(backend.Of(TChange::ItemIndex).size(), 2u);  // 1, then back to -1

    // Picked by the user: selected first, then OnChange, also for the same entry.
    combo.UserSelect(2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textInHandler, "COM12");
    combo.UserSelect(2);
    EXPECT_EQ(changes, 2);
    combo.UserSelect(3);  // no such entry
    combo.UserSelect(-1);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(combo.ItemIndex(), 2);

    combo.ClearItems();
    EXPECT_TRUE(combo.Items().empty());
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    EXPECT_EQ(backend.Of(TChange::Items).back().index, -1);
    EXPECT_EQ(changes, 2);
}

TEST(Forms, MemoBoundDropsOldestLines) {
    TFakeBackend backend;
    tk::TForm form(nullptr);
    auto& memo = Make<tk::TMemo>(form, "memo");
    form.Show();

    memo.SetMaxLines(3);
    for (int i = 1; i <= 5; ++i) {
        memo.AddLine("line " + std::to_string(i));
    }
    EXPECT_EQ(memo.Lines(), (Names{"line 3", "line 4", "line 5"}));
    const auto removed = backend.Of(TChange::LinesRemoved);
    ASSERT_EQ(removed.size(), 2u);
    EXPECT_EQ(removed[0].count, 1);
    const auto added = backend.Of(TChange::LineAdded);
    ASSERT_EQ(added.size(), 5u);
    EXPECT_EQ(added[4].index, 2);  // the index in the bounded list
    // The peer heard the removal before the line that needed the room.
    size_t lastRemoved = 0, lastAdded = 0;
    for (size_t i = 0; i < backend.notices.size(); ++i) {
        if (backend.notices[i].what == TChange::LinesRemoved) {
            lastRemoved = i;
        }
        if (backend.notices[i].what == TChange::LineAdded) {
            lastAdded = i;
        }
    }
    EXPECT_LT(lastRemoved, lastAdded);

    // A tighter bound trims at once; no bound lets it grow.
    memo.SetMaxLines(1);
    EXPECT_EQ(memo.Lines(), (Names{"line 5"}));
    EXPECT_EQ(backend.Of(TChange::LinesRemoved).back().count, 2);
    memo.SetMaxLines(0);
    for (int i = 0; i < 10; ++i) {
        memo.AddLine("x\r");
    }
    EXPECT_EQ(memo.Lines().size(), 11u);
    EXPECT_EQ(memo.Lines().back(), "x\r");

    memo.ClearLines();
    EXPECT_TRUE(memo.Lines().empty());
    memo.ClearLines();
    EXPECT_EQ(backend.Of(TChange::LinesCleared).size(), 1u);
}

TEST(Forms, LabelsButtonsAndPaint) {
    TFakeBackend backend;
    tk::TForm form(nullptr);
    auto& right = Make<tk::TLabel>(form, "right");
    auto& left = Make<tk::TLabel>(form, "left");
    right.SetAlignment(tk::TAlignment::taRightJustify);
    right.SetBounds(286, 380, 75, 19);
    left.SetBounds(30, 93, 31, 13);
    form.Show();
    backend.notices.clear();

    // An auto-sized right-aligned label keeps its right edge.
    right.PeerResized(40, 19);
    EXPECT_EQ(right.Left() + right.Width(), 361);
    EXPECT_EQ(right.Width(), 40);
    left.PeerResized(60, 13);
    EXPECT_EQ(left.Left(), 30);
    EXPECT_EQ(left.Width(), 60);
    EXPECT_TRUE(backend.notices.empty());

    left.SetTransparent(true);
    left.SetAlignment(tk::TAlignment::taCenter);
    EXPECT_EQ(backend.notices.size(), 2u);

    // A button click runs OnClick, then hands its ModalResult to the form.
    auto& plain = Make<tk::TButton>(form, "plain");
    auto& ok = Make<tk::TBitBtn>(form, "ok");
    ok.SetKind(tk::TBitBtnKind::bkOK);
    ok.SetModalResult(tk::mrOk);
    std::vector<std::string> clicks;
    plain.OnClick = [&](tk::TButton&) { clicks.push_back("plain"); };
    ok.OnClick = [&](tk::TButton&) {
        clicks.push_back("ok:" + std::to_string(form.ModalResult()));
    };
    plain.Click();
    EXPECT_EQ(form.ModalResult(), tk::mrNone);
    ok.Click();
    EXPECT_EQ(clicks, (Names{"plain", "ok:0"}));
    EXPECT_EQ(form.ModalResult(), tk::mrOk);
    EXPECT_EQ(backend.Of(TChange::ModalResult).size(), 1u);

    // Paint hands the peer's canvas to OnPaint.
    struct Canvas : tk::TCanvas {
        std::vector<std::string> ops;
        void MoveTo(int32_t x, int32_t y) override {
            ops.push_back("m" + std::to_string(x) + "," + std::to_string(y));
        }
        void LineTo(int32_t x, int32_t y) override {
            ops.push_back("l" + std::to_string(x) + "," + std::to_string(y) + "/" +
                          std::to_string(PenColor()));
        }
    } canvas;
    form.Paint(canvas);  // no handler: nothing drawn
    EXPECT_TRUE(canvas.ops.empty());
    form.OnPaint = [](tk::TForm& f, tk::TCanvas& c) {
        c.SetPenColor(0xFFDD84);
        c.MoveTo(0, 0);
        c.LineTo(f.ClientWidth(), 0);
    };
    form.SetClientSize(10, 5);
    form.Paint(canvas);
    EXPECT_EQ(canvas.ops, (Names{"m0,0", "l10,0/16768388"}));
}

TEST(Forms, SystemColoursResolve) {
    EXPECT_EQ(tk::ColorToRGB(0xFFDD84), 0xFFDD84u);
    EXPECT_EQ(tk::ColorToRGB(tk::clWindow), tk::clWhite);
    EXPECT_EQ(tk::ColorToRGB(tk::clWindowText), tk::clBlack);
    const tk::TColor face = tk::ColorToRGB(tk::clBtnFace);
    EXPECT_EQ(face & tk::clSystemColor, 0u);
    EXPECT_NE(face, tk::clBlack);
}

}  // namespace

namespace {

// A canvas of pixels that draws only lines: the shapes come from TCanvas.
class TPixelCanvas : public tk::TCanvas {
  public:
    void MoveTo(int32_t x, int32_t y) override {
        x_ = x;
        y_ = y;
    }
    void LineTo(int32_t x, int32_t y) override {
        for (int32_t px = x_; px < x; ++px) {  // rows are all the shapes need
            pixels[y * 40 + px] = PenColor();
        }
        x_ = x;
        y_ = y;
    }
    int Count(tk::TColor c) const {
        int n = 0;
        for (tk::TColor p : pixels) {
            n += p == c ? 1 : 0;
        }
        return n;
    }
    std::vector<tk::TColor> pixels = std::vector<tk::TColor>(40 * 40, tk::clWhite);

  private:
    int32_t x_ = 0, y_ = 0;
};

TEST(Forms, ShapesMenusClipboardAndUserSizes) {
    // Shapes on a canvas of lines: fill, outline, clear brush.
    TPixelCanvas c;
    c.SetBrushColor(0x0000FF);
    c.FillRect(0, 0, 10, 10);
    EXPECT_EQ(c.Count(0x0000FF), 100);
    c.SetPenColor(0x00FF00);
    c.SetBrushStyle(tk::TBrushStyle::bsClear);
    c.Ellipse(20, 20, 34, 34);
    EXPECT_EQ(c.pixels[27 * 40 + 27], tk::clWhite);  // the inside stays
    EXPECT_EQ(c.pixels[27 * 40 + 20], 0x00FF00u);    // the left edge
    EXPECT_EQ(c.pixels[20 * 40 + 27], 0x00FF00u);    // the top edge
    c.SetBrushStyle(tk::TBrushStyle::bsSolid);
    c.Ellipse(20, 20, 34, 34);
    EXPECT_EQ(c.pixels[27 * 40 + 27], 0x0000FFu);
    EXPECT_EQ(c.PenColor(), 0x00FF00u);  // the fill gives the pen back

    // Menus: the popup's OnPopup, auto-check items, disabled items.
    TFakeBackend backend;
    auto form = std::make_unique<tk::TForm>(nullptr);
    EXPECT_FALSE(form->UserContextMenu(1, 1));
    tk::TPopupMenu menu(nullptr);
    tk::TMenuItem& check = menu.Add("Check");
    check.SetAutoCheck(true);
    tk::TMenuItem& off = menu.Add("Off");
    off.SetEnabled(false);
    int popups = 0, clicks = 0;
    menu.OnPopup = [&](tk::TPopupMenu&) { ++popups; };
    check.OnClick = [&](tk::TMenuItem& i) { clicks += i.Checked() ? 1 : 10; };
    off.OnClick = [&](tk::TMenuItem&) { clicks += 100; };
    form->SetPopupMenu(&menu);
    EXPECT_TRUE(form->UserContextMenu(-1, -1));  // the fake backend picks nothing
    EXPECT_EQ(popups, 1);
    check.Click();
    check.Click();
    off.Click();
    EXPECT_EQ(clicks, 11);

    // The clipboard with a backend that has none keeps the text itself.
    tk::Clipboard().SetAsText("48\xB0 N");
    EXPECT_EQ(tk::Clipboard().AsText(), "48\xB0 N");

    // A size the user gave: stored without a notice back, OnResize once.
    int resized = 0;
    form->OnResize = [&](tk::TForm&) { ++resized; };
    form->SetMinClientSize(100, 80);
    form->SetClientSize(200, 150);
    form->Show();
    const size_t notices = backend.notices.size();
    form->UserResized(300, 200);
    form->UserResized(300, 200);
    EXPECT_EQ(form->ClientWidth(), 300);
    EXPECT_EQ(resized, 2);
    EXPECT_EQ(backend.notices.size(), notices);
}

}  // namespace
