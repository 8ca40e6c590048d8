// The port selection dialog: a list of the ports from COM1 to COM50 that can
// be opened, and an OK button. The port component shows it (through
// SetPortSelectDialog) when it opens with no port chosen and PromptForPort set.
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/Forms.h"
#include "toolkit/Numbers.h"

// Reads a whole text as a decimal integer (an optional sign, then digits);
// false for anything else, also for a value beyond the type's range.
using tk::TryStrToInt;
// The part of a port entry from its fourth character on, at most 255
// characters: "COM12" gives "12".
std::string PortEntryDigits(const std::string& text);

class TComSelectForm : public tk::TForm {
  public:
    // Highest port number the dialog lists.
    static constexpr uint32_t kMaxListedPort = 50;

    // Lays the dialog out, then runs FormCreate (which probes the ports).
    explicit TComSelectForm(tk::TComponent* owner);
    ~TComSelectForm() override;

    tk::TBitBtn* OkBtn = nullptr;
    tk::TComboBox* PortsComboBox = nullptr;

    // Lists the ports 1..50 that probe true and selects the first.
    void FormCreate(tk::TForm& Sender);

    // The number of the selected entry ("COM3" gives 3); 0 when nothing is
    // selected or the entry names no port number (0 means no port chosen).
    int32_t SelectedComNumber() const;
};

// Shows the dialog modally, owned by the application while it is up; true
// with the picked number when it was closed with OK and an entry naming a
// port was selected, false otherwise. The dialog is freed in every case.
// This is what the program installs with SetPortSelectDialog.
bool ShowComSelectDialog(uint16_t& selected);
