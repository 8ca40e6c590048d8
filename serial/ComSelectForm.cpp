#include "serial/ComSelectForm.h"

#include <limits>
#include <memory>

#include "serial/PortProbe.h"

std::string PortEntryDigits(const std::string& text) {
    return text.size() > 3 ? text.substr(3, 255) : std::string();
}

TComSelectForm::TComSelectForm(tk::TComponent* owner) : tk::TForm(owner) {
    SetName("ComSelectForm");
    SetCaption("Select Port");
    SetClientSize(220, 131);
    SetBorderStyle(tk::TBorderStyle::bsDialog);
    SetSystemMenuOnly(true);
    SetPosition(tk::TPosition::poScreenCenter);
    SetColor(tk::clBtnFace);
    tk::TFont font;
    font.Name = "MS Sans Serif";
    font.Height = -11;
    font.Color = tk::clBlack;
    SetFont(font);
    OnCreate = [this](tk::TForm& f) { FormCreate(f); };

    // Controls are owned by the form and freed with it.
    OkBtn = new tk::TBitBtn(this, this);
    OkBtn->SetName("OkBtn");
    OkBtn->SetCaption("OK");
    OkBtn->SetBounds(67, 87, 85, 27);
    OkBtn->SetDefault(true);
    OkBtn->SetModalResult(tk::mrOk);
    OkBtn->SetKind(tk::TBitBtnKind::bkOK);
    OkBtn->SetTabOrder(0);

    PortsComboBox = new tk::TComboBox(this, this);
    PortsComboBox->SetName("PortsComboBox");
    PortsComboBox->SetBounds(8, 24, 201, 21);
    PortsComboBox->SetItemHeight(13);
    PortsComboBox->SetTabOrder(1);

    DoCreate();
}

TComSelectForm::~TComSelectForm() {
    DoDestroy();
}

void TComSelectForm::FormCreate(tk::TForm&) {
    for (uint32_t n = 1; n <= kMaxListedPort; ++n) {
        if (ProbePort(n)) {
            PortsComboBox->AddItem("COM" + std::to_string(n));
        }
    }
    // With an empty list nothing is selected.
    PortsComboBox->SetItemIndex(0);
}

int32_t TComSelectForm::SelectedComNumber() const {
    int32_t n = 0;
    if (!TryStrToInt(PortEntryDigits(PortsComboBox->Text()), n) || n < 0 ||
        n > std::numeric_limits<uint16_t>::max()) {
        return 0;
    }
    return n;
}

bool ShowComSelectDialog(uint16_t& selected) {
    // Freed however the dialog ends, also when showing it throws.
    auto form = std::make_unique<TComSelectForm>(tk::Application());
    if (form->ShowModal() != tk::mrOk) {
        return false;
    }
    const int32_t n = form->SelectedComNumber();
    if (n <= 0) {
        // Confirmed with no port in the list: the same as no choice.
        return false;
    }
    selected = static_cast<uint16_t>(n);
    return true;
}
