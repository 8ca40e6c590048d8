// The port selection dialog over real ports: its layout, the list of ports
// that probe true, the number picked, and the port component that asks
// through it when it opens with no port chosen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComPortTestSupport.h"
#include "serial/ComSelectForm.h"
#include "serial/PortProbe.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/Forms.h"

namespace {

using namespace cptest;

// Answers the dialog's modal display for the life of the object.
class THeadlessAnswer {
  public:
    explicit THeadlessAnswer(tk::THeadlessModal answer)
        : previous_(tk::SetHeadlessModalHandler(std::move(answer))) {}
    ~THeadlessAnswer() { tk::SetHeadlessModalHandler(std::move(previous_)); }

  private:
    tk::THeadlessModal previous_;
};

// Installs the dialog as the port component's for the life of the object.
class TDialogInstall {
  public:
    TDialogInstall() : previous_(SetPortSelectDialog(ShowComSelectDialog)) {}
    ~TDialogInstall() { SetPortSelectDialog(std::move(previous_)); }

  private:
    TPortSelectDialog previous_;
};

// Picks the entry with the given text, then confirms with the OK button.
tk::THeadlessModal Pick(const std::string& entry, std::vector<std::string>* seen = nullptr) {
    return [entry, seen](tk::TForm& form) {
        auto& dialog = dynamic_cast<TComSelectForm&>(form);
        if (seen != nullptr) {
            *seen = dialog.PortsComboBox->Items();
        }
        const auto& items = dialog.PortsComboBox->Items();
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i] == entry) {
                dialog.PortsComboBox->UserSelect(static_cast<int32_t>(i));
            }
        }
        dialog.OkBtn->Click();
        return tk::mrNone;  // the button's modal result decides
    };
}

TEST(ComSelectForm, TextConversions) {
    int32_t v = 7;
    EXPECT_TRUE(TryStrToInt("12", v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(TryStrToInt("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(TryStrToInt("+5", v));
    EXPECT_EQ(v, 5);
    v = 7;
    for (const char* bad : {"", "-", "1x", " 1", "2147483648", "99999999999999999999", "0x10"}) {
        EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    }
    EXPECT_EQ(v, 7);
    EXPECT_EQ(PortEntryDigits("COM12"), "12");
    EXPECT_EQ(PortEntryDigits("COM"), "");
    EXPECT_EQ(PortEntryDigits(""), "");
    EXPECT_EQ(PortEntryDigits("COM" + std::string(300, '1')).size(), 255u);
}

TEST(ComSelectForm, LayoutAndPortList) {
    REQUIRE_PORTS();
#ifndef _WIN32
    // Ports 1 and 3 lead to a device; 2 does not; nothing beyond.
    ptytest::TPtyPair one, three;
    ptytest::TPortsEnv env(one.Path() + ":/nonexistent/palmo-no-port:" + three.Path());
#else
    [[maybe_unused]] TPorts ports;
#endif
    TComSelectForm form(nullptr);
    EXPECT_EQ(form.Caption(), "Select Port");
    EXPECT_EQ(form.ClientWidth(), 220);
    EXPECT_EQ(form.ClientHeight(), 131);
    EXPECT_EQ(form.BorderStyle(), tk::TBorderStyle::bsDialog);
    EXPECT_TRUE(form.SystemMenuOnly());
    EXPECT_EQ(form.Position(), tk::TPosition::poScreenCenter);
    EXPECT_EQ(form.Color(), tk::clBtnFace);
    EXPECT_EQ(form.Font().Name, "MS Sans Serif");
    EXPECT_EQ(form.Font().Height, -11);
    EXPECT_EQ(form.Font().Color, tk::clBlack);

    EXPECT_EQ(form.OkBtn->Caption(), "OK");
    EXPECT_EQ(form.OkBtn->Left(), 67);
    EXPECT_EQ(form.OkBtn->Top(), 87);
    EXPECT_EQ(form.OkBtn->Width(), 85);
    EXPECT_EQ(form.OkBtn->Height(), 27);
    EXPECT_TRUE(form.OkBtn->Default());
    EXPECT_EQ(form.OkBtn->ModalResult(), tk::mrOk);
    EXPECT_EQ(form.OkBtn->Kind(), tk::TBitBtnKind::bkOK);
    EXPECT_EQ(form.OkBtn->TabOrder(), 0);
    EXPECT_EQ(form.PortsComboBox->Left(), 8);
    EXPECT_EQ(form.PortsComboBox->Top(), 24);
    EXPECT_EQ(form.PortsComboBox->Width(), 201);
    EXPECT_EQ(form.PortsComboBox->Height(), 21);
    EXPECT_EQ(form.PortsComboBox->ItemHeight(), 13);
    EXPECT_EQ(form.PortsComboBox->TabOrder(), 1);

    const auto& items = form.PortsComboBox->Items();
#ifndef _WIN32
    EXPECT_EQ(items, (std::vector<std::string>{"COM1", "COM3"}));
#else
    // Every pair of the wrapper is there, in increasing order; at most 50.
    ASSERT_GE(items.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(items.begin(), items.begin() + 4),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_LE(items.size(), 50u);
#endif
    EXPECT_EQ(form.PortsComboBox->ItemIndex(), 0);
    EXPECT_EQ(form.SelectedComNumber(), 1);
    form.PortsComboBox->SetItemIndex(1);
    EXPECT_EQ(form.SelectedComNumber(), items.size() > 1 && items[1] == "COM3" ? 3 : 2);
    form.PortsComboBox->SetItemIndex(-1);
    EXPECT_EQ(form.SelectedComNumber(), 0);
}

TEST(ComSelectForm, DialogResults) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    tk::TApplication app;
    uint16_t chosen = 0;
    {
        // OK with the first entry selected.
        std::vector<std::string> seen;
        THeadlessAnswer answer(Pick("COM1", &seen));
        EXPECT_TRUE(ShowComSelectDialog(chosen));
        EXPECT_EQ(chosen, 1);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), "COM1");
    }
    {
        THeadlessAnswer answer(Pick("COM3"));
        EXPECT_TRUE(ShowComSelectDialog(chosen));
        EXPECT_EQ(chosen, 3);
    }
    {
        // Closed with the close box: no choice, the number is left alone.
        THeadlessAnswer answer([](tk::TForm& f) {
            f.UserClose();
            return tk::mrNone;
        });
        chosen = 9;
        EXPECT_FALSE(ShowComSelectDialog(chosen));
        EXPECT_EQ(chosen, 9);
    }
    // The dialog was owned by the application while it was up, and is gone.
    EXPECT_EQ(app.ComponentCount(), 0u);
}

TEST(ComSelectForm, PortComponentAsksThroughTheDialog) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TDialogInstall install;
    auto port = MakePort(0);
    port->SetPromptForPort(true);
    {
        // Cancelled: the open fails with "no port selected".
        THeadlessAnswer answer([](tk::TForm&) { return tk::mrCancel; });
        EXPECT_EQ(CodeOf([&] { port->SetOpen(true); }), ecNoPortSelected);
        EXPECT_FALSE(port->Open());
        EXPECT_EQ(port->ComNumber(), 0);
    }
    {
        // Picked: the port opens on the chosen number, and bytes flow.
        THeadlessAnswer answer(Pick("COM3"));
        port->SetOpen(true);
        ASSERT_TRUE(port->Open());
        EXPECT_EQ(port->ComNumber(), kPortB);
        TFar remote(ports, kPortB);
        ASSERT_TRUE(remote.Ok());
        std::string got;
        port->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
            for (uint16_t i = 0; i < count; ++i) {
                got += cp.ReceiveChar();
            }
        });
        ASSERT_TRUE(remote.Write("$GP"));
        EXPECT_TRUE(PumpUntil([&] { return got == "$GP"; }));
        port->SetOpen(false);
    }
}

TEST(ComSelectForm, ConfirmingAnEmptyListFailsTheOpen) {
#ifndef _WIN32
    // No usable port at all: the list is empty and nothing is selected.
    ptytest::TPortsEnv env("/nonexistent/palmo-no-port");
    TDialogInstall install;
    std::vector<std::string> seen{"x"};
    THeadlessAnswer answer(Pick("COM1", &seen));
    uint16_t chosen = 4;
    EXPECT_FALSE(ShowComSelectDialog(chosen));
    EXPECT_EQ(chosen, 4);
    EXPECT_TRUE(seen.empty());
    auto port = MakePort(0);
    port->SetPromptForPort(true);
    EXPECT_EQ(CodeOf([&] { port->SetOpen(true); }), ecNoPortSelected);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->ComNumber(), 0);
#else
    // Every COM number probes true under Wine: the same case through a
    // dialog whose list the answer empties before confirming.
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TDialogInstall install;
    THeadlessAnswer answer([](tk::TForm& f) {
        auto& dialog = dynamic_cast<TComSelectForm&>(f);
        dialog.PortsComboBox->ClearItems();
        dialog.OkBtn->Click();
        return tk::mrNone;
    });
    auto port = MakePort(0);
    port->SetPromptForPort(true);
    EXPECT_EQ(CodeOf([&] { port->SetOpen(true); }), ecNoPortSelected);
    EXPECT_FALSE(port->Open());
#endif
}

}  // namespace
