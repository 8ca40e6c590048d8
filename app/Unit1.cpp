#include "app/Unit1.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "PalmoVersion.h"
#include "app/ReceiverShare.h"
#include "app/SatellitesForm.h"
#include "record/RecordListener.h"
#include "record/Recorder.h"
#include "serial/ComPort.h"
#include "serial/ComSelectForm.h"
#include "serial/PortProbe.h"
#include "toolkit/Clock.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/RegionalFormats.h"
#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"
#include "toolkit/Timer.h"

const std::string TForm1::kStatusText = " Palmo GPS Receiver - made by the PalmoGPS developers";
const std::string TForm1::kGnssHint =
    "This receiver sends GNSS sentences - right-click and choose All satellite systems (GNSS)";

namespace {

// The ports the window offers: COM1 to COM10.
constexpr uint32_t kListedPorts = 10;

// A whole text as a decimal integer; anything else fails as a bad value.
int32_t StrToInt(const std::string& text) {
    int32_t v = 0;
    if (!TryStrToInt(text, v)) {
        throw std::invalid_argument("'" + text + "' is not a valid integer value");
    }
    return v;
}

// Whether the receiver's port is open and stays so. A close that the port
// had to defer (it was asked for while the port was still delivering data)
// already counts as closed: Open reads true until it completes.
bool PortOpen(const gps::TGPS& g) {
    return g.ComOpen() && g.ComPort().OpenState() == osOpen;
}

// An RMC or GGA of a satellite system's talker other than GPS (GNRMC,
// GLGGA, ...); proprietary sentences (P...) are none.
bool OtherTalkerFix(const std::string& id) {
    return id.size() == 5 && id.compare(0, 2, "GP") != 0 && id[0] != 'P' &&
           (id.compare(2, 3, "RMC") == 0 || id.compare(2, 3, "GGA") == 0);
}

tk::TFont WithBold(tk::TFont f) {
    f.Bold = true;
    return f;
}

}  // namespace

void DrawGradient(tk::TCanvas& canvas, int32_t W, int32_t H, tk::TColor startColor,
                  tk::TColor endColor) {
    const int32_t n = std::max(W, H);
    if (n <= 0) {
        return;
    }
    const tk::TColor from = tk::ColorToRGB(startColor);
    const tk::TColor to = tk::ColorToRGB(endColor);
    auto channel = [n](tk::TColor a, tk::TColor b, int shift, int32_t y) {
        const int64_t s = (a >> shift) & 0xFF;
        const int64_t e = (b >> shift) & 0xFF;
        // Integer division truncating toward zero, as the rows are defined.
        return static_cast<tk::TColor>(s + (e - s) * y / n);
    };
    for (int32_t y = 0; y <= n; ++y) {
        const tk::TColor r = channel(from, to, 0, y);
        const tk::TColor g = channel(from, to, 8, y);
        const tk::TColor b = channel(from, to, 16, y);
        canvas.SetPenColor(r + g * 256 + b * 65536);
        canvas.MoveTo(0, y);
        canvas.LineTo(W, y);
    }
}

TForm1::TForm1(tk::TComponent* owner)
    : tk::TForm(owner),
      hintClock_([] { return tk::MonotonicUs() / 1000; }),
      sharePort_(TReceiverShare::kDefaultPort) {
    SetName("Form1");
    GPS1 = new gps::TGPS(this);  // owned by the form until FormDestroy frees it
    GPS1->SetName("GPS1");
    CreateControls();
    CreateMenu();
    ApplyStoredValues();
    DoCreate();
}

TForm1::~TForm1() {
    DoDestroy();
}

void TForm1::CreateControls() {
    // The form and its controls are owned by the form and freed with it; the
    // frame and labels come first, so the windowed controls lie above them.
    SetCaption("Palmo GPS Receiver...");
    SetBorderStyle(tk::TBorderStyle::bsDialog);
    SetSystemMenuOnly(true);
    SetPosition(tk::TPosition::poDesktopCenter);
    SetClientSize(376, 421);
    SetColor(kFormColor);
    tk::TFont font;
    font.Name = "Tahoma";
    font.Height = -11;
    font.Color = tk::clWindowText;
    SetFont(font);
    const tk::TFont bold = WithBold(font);

    auto label = [this](const char* name, int32_t l, int32_t t, int32_t w, int32_t h,
                        const char* text) {
        auto* c = new tk::TLabel(this, this);
        c->SetName(name);
        c->SetBounds(l, t, w, h);
        c->SetCaption(text);
        return c;
    };
    auto fixLabel = [&](const char* name, int32_t l, int32_t t, int32_t w, int32_t h,
                        const char* text) {
        tk::TLabel* c = label(name, l, t, w, h, text);
        c->SetFont(bold);
        c->SetTransparent(true);
        return c;
    };

    Bevel1 = new tk::TBevel(this, this);
    Bevel1->SetName("Bevel1");
    Bevel1->SetBounds(16, 80, 345, 105);

    Lat1 = fixLabel("Lat1", 30, 93, 31, 13, "Lat1\xB0");
    Long1 = fixLabel("Long1", 204, 93, 34, 13, "Long1");
    Date = fixLabel("Date", 30, 136, 27, 13, "Date");
    Time = fixLabel("Time", 204, 136, 28, 13, "Time");
    Valid = fixLabel("Valid", 286, 380, 75, 19, "Not Valid");
    tk::TFont validFont = bold;
    validFont.Height = -16;
    validFont.Color = tk::clBlue;
    Valid->SetFont(validFont);
    Valid->SetAlignment(tk::TAlignment::taRightJustify);
    Label1 = label("Label1", 15, 54, 46, 13, "GPS Port:");
    Label1->SetColor(kFormColor);
    Label2 = label("Label2", 201, 54, 54, 13, "Baud Rate:");
    Label2->SetColor(kFormColor);
    Lat2 = fixLabel("Lat2", 30, 114, 25, 13, "Lat2");
    Long2 = fixLabel("Long2", 204, 114, 34, 13, "Long2");
    Alt = fixLabel("Alt", 30, 159, 45, 13, "Altitude");
    Label3 = fixLabel("Label3", 16, 384, 3, 13, "");
    tk::TFont statusFont = bold;
    statusFont.Color = tk::clBlue;
    Label3->SetFont(statusFont);
    GPSs = fixLabel("GPSs", 204, 159, 55, 13, "Sat Count");

    Button3 = new tk::TButton(this, this);
    Button3->SetName("Button3");
    Button3->SetBounds(16, 197, 163, 25);
    Button3->SetCaption("Set Local Time with GPS");
    Button3->SetCursor(tk::TCursor::crHandPoint);
    Button3->SetTabOrder(0);

    PortsComboBox = new tk::TComboBox(this, this);
    PortsComboBox->SetName("PortsComboBox");
    PortsComboBox->SetBounds(75, 51, 102, 21);
    PortsComboBox->SetCursor(tk::TCursor::crHandPoint);
    PortsComboBox->SetTabOrder(1);

    BaudChoices = new tk::TComboBox(this, this);
    BaudChoices->SetName("BaudChoices");
    BaudChoices->SetBounds(261, 48, 101, 21);
    for (const char* rate : {"150", "300", "600", "1200", "2400", "4800", "9600", "19200", "38400",
                             "57600", "115200"}) {
        BaudChoices->AddItem(rate);
    }
    BaudChoices->SetItemIndex(5);
    BaudChoices->SetCursor(tk::TCursor::crHandPoint);
    BaudChoices->SetTabOrder(2);

    StatusBar1 = new tk::TStatusBar(this, this);
    StatusBar1->SetName("StatusBar1");
    StatusBar1->SetBounds(0, 402, 376, 19);
    StatusBar1->SetColor(tk::clWhite);
    StatusBar1->SetCaption(kStatusText);

    Button4 = new tk::TButton(this, this);
    Button4->SetName("Button4");
    Button4->SetBounds(199, 197, 163, 25);
    Button4->SetCaption("Set System Time with GPS");
    Button4->SetCursor(tk::TCursor::crHandPoint);
    Button4->SetTabOrder(4);

    CheckBox1 = new tk::TCheckBox(this, this);
    CheckBox1->SetName("CheckBox1");
    CheckBox1->SetBounds(16, 18, 145, 17);
    CheckBox1->SetCaption("GPS Available ");
    tk::TFont boxFont;
    boxFont.Name = "MS Sans Serif";
    boxFont.Height = -13;
    boxFont.Bold = true;
    boxFont.Color = tk::clWindowText;
    CheckBox1->SetFont(boxFont);
    CheckBox1->SetColor(kFormColor);
    CheckBox1->SetCursor(tk::TCursor::crHandPoint);
    CheckBox1->SetTabOrder(5);

    Memo1 = new tk::TMemo(this, this);
    Memo1->SetName("Memo1");
    Memo1->SetBounds(16, 248, 345, 129);
    Memo1->SetColor(kMemoColor);
    Memo1->SetScrollBars(tk::TScrollStyle::ssBoth);
    // A log pane: the window writes it, the user reads it.
    Memo1->SetReadOnly(true);
    Memo1->SetMaxLines(kMemoMaxLines);
    Memo1->SetTabOrder(6);

    CheckBox2 = new tk::TCheckBox(this, this);
    CheckBox2->SetName("CheckBox2");
    CheckBox2->SetBounds(16, 230, 97, 17);
    CheckBox2->SetCaption("Active");
    CheckBox2->SetColor(kFormColor);
    CheckBox2->SetChecked(true);
    CheckBox2->SetTabOrder(7);

    OnCreate = [this](tk::TForm& f) { FormCreate(f); };
    OnDestroy = [this](tk::TForm& f) { FormDestroy(f); };
    OnPaint = [this](tk::TForm& f, tk::TCanvas& c) { FormPaint(f, c); };
    Button3->OnClick = [this](tk::TButton& b) { Button3Click(b); };
    Button4->OnClick = [this](tk::TButton& b) { Button4Click(b); };
    PortsComboBox->OnChange = [this](tk::TComboBox& c) { PortsComboBoxChange(c); };
    BaudChoices->OnChange = [this](tk::TComboBox& c) { BaudChoicesChange(c); };
    CheckBox1->OnClick = [this](tk::TCheckBox& c) { CheckBox1Click(c); };
}

void TForm1::ApplyStoredValues() {
    // The window's stored values of GPS1, applied in the receiver's declared
    // order as a stored form streams them in.
    tk::LoadStoredValues(*this, [this] {
        gps::TGPS& g = *GPS1;
        g.SetComBaud(4800);
        g.SetComNumber(1);
        g.SetComOpen(false);
        g.SetComTimeOut(3000);
        g.SetUnits(gps::TUnits::Nautical);
        g.SetStrFormat(gps::TStrFormat::DDMMSS);
        g.SetPosUnits(gps::TFloatUnits::Deg);
        g.SetFixLossAlarm(false);
        g.SetErrorBeep(false);
        g.SetVersion(palmo::kVersion);
        g.OnSentence = [this](gps::TGPS& s, const std::string& id, const gps::TDataArray& a) {
            GPS1Sentence(s, id, a);
        };
        g.OnValidFix = [this](gps::TGPS& s, double lat, double lon, double sog, double cog) {
            GPS1ValidFix(s, lat, lon, sog, cog);
        };
        g.OnFixLoss = [this](gps::TGPS& s) { GPS1FixLoss(s); };
        g.OnFixProgress = [this](gps::TGPS& s, const std::string& p, int32_t d) {
            GPS1FixProgress(s, p, d);
        };
        g.OnFixQuality = [this](gps::TGPS& s, const std::string& q, int32_t f) {
            GPS1FixQuality(s, q, f);
        };
        g.OnError = [this](gps::TGPS& s, const std::string& m) { GPS1Error(s, m); };
        g.OnComLoss = [this](gps::TGPS& s) { GPS1ComLoss(s); };
        g.ComPort().SetOnDeviceLost([this](tk::TComponent&) { GPS1DeviceLost(); });
        g.OnSatellites = [this](gps::TGPS& s, const gps::TSatelliteList& l) {
            GPS1Satellites(s, l);
        };
    });
}

void TForm1::CreateMenu() {
    PopupMenu1 = new tk::TPopupMenu(this);  // owned by the form
    PopupMenu1->SetName("PopupMenu1");
    GnssItem = &PopupMenu1->Add("All satellite systems (GNSS)");
    GnssItem->SetAutoCheck(true);
    // Three dots: the ellipsis character has no place in Latin-1, which the Qt build shows.
    SatellitesItem = &PopupMenu1->Add("Satellites...");
    CopyItem = &PopupMenu1->Add("Copy position");
    ShareItem = &PopupMenu1->Add("");
    ShareItem->SetAutoCheck(true);
    SetSharePort(sharePort_);
    RecordItem = &PopupMenu1->Add("Record track...");
    RecordWithLogItem = &PopupMenu1->Add("Record track and NMEA log...");
    StopRecordItem = &PopupMenu1->Add("Stop recording");
    // The ticks show the receiver's mode and sharing, however they were set;
    // the recording items follow the recording, which a write error may have
    // ended.
    PopupMenu1->OnPopup = [this](tk::TPopupMenu&) {
        GnssItem->SetChecked(GPS1 != nullptr && GPS1->Dialect() == gps::TNmeaDialect::ndGNSS);
        ShareItem->SetChecked(share_ && share_->Active());
        UpdateRecordItems();
    };
    RecordItem->OnClick = [this](tk::TMenuItem& i) { RecordItemClick(i); };
    RecordWithLogItem->OnClick = [this](tk::TMenuItem& i) { RecordItemClick(i); };
    StopRecordItem->OnClick = [this](tk::TMenuItem& i) { StopRecordItemClick(i); };
    UpdateRecordItems();
    RecordTimer = new tk::TTimer(this);  // owned by the form
    RecordTimer->SetName("RecordTimer");
    RecordTimer->SetEnabled(false);
    // Within the raw log's bound for the time check (record::TNmeaLog::kPollMs).
    RecordTimer->SetInterval(250);
    RecordTimer->OnTimer = [this](tk::TComponent&) { RecordTimerTimer(); };
    GnssItem->OnClick = [this](tk::TMenuItem& i) { GnssItemClick(i); };
    SatellitesItem->OnClick = [this](tk::TMenuItem& i) { SatellitesItemClick(i); };
    CopyItem->OnClick = [this](tk::TMenuItem& i) { CopyItemClick(i); };
    ShareItem->OnClick = [this](tk::TMenuItem& i) { ShareItemClick(i); };
    SetPopupMenu(PopupMenu1);
}

void TForm1::RecordItemClick(tk::TMenuItem& Sender) {
    tk::TGuiBackend* backend = tk::GuiBackend();
    if (backend == nullptr || Recording()) {
        return;
    }
    // A name from the PC's clock: track-20240615-101505.gpx.
    std::string name = "track-";
    for (const char c : record::FormatTime(tk::CurrentSystemClock().SystemNow()).substr(0, 19)) {
        if (c == 'T') {
            name += '-';
        } else if (c != '-' && c != ':') {
            name += c;
        }
    }
    std::string path = name + ".gpx";
    const bool withLog = &Sender == RecordWithLogItem;
    if (!backend->SaveFileName(*this, withLog ? "Record track and NMEA log" : "Record track",
                               "GPX tracks", "gpx", path)) {
        return;
    }
    // The dialog asked before an existing file was chosen.
    StartRecording(path, withLog, true);
}

void TForm1::UpdateRecordItems() {
    RecordItem->SetChecked(Recording() && !recordingWithLog_);
    RecordWithLogItem->SetChecked(Recording() && recordingWithLog_);
    RecordItem->SetEnabled(!Recording());
    RecordWithLogItem->SetEnabled(!Recording());
    StopRecordItem->SetEnabled(Recording());
}

void TForm1::StopRecordItemClick(tk::TMenuItem&) {
    StopRecording();
}

bool TForm1::StartRecording(const std::string& gpxPath, bool withLog, bool overwrite) {
    StopRecording();
    if (GPS1 == nullptr) {
        return false;
    }
    record::TRecordOptions options;
    options.GpxPath = gpxPath;
    options.NmeaPath = withLog ? record::NmeaPathFor(gpxPath) : std::string();
    options.Overwrite = overwrite;
    auto recorder = std::make_unique<record::TRecorder>();
    if (!recorder->Start(options)) {
        TellUser("Cannot record: " + recorder->Error() + ".");
        return false;
    }
    // A write error comes while the decoder reports a line: it is noted
    // here and shown by the timer, outside the decoder.
    recorder->OnFailure = [this](const std::string& message) { recordFailure_ = message; };
    recorder_ = std::move(recorder);
    recordListener_ = std::make_unique<record::TRecordListener>(GPS1->Decoder(), *recorder_);
    recordingWithLog_ = withLog;
    recordFailure_.clear();
    RecordTimer->SetEnabled(true);
    UpdateStatusBar();
    UpdateRecordItems();
    return true;
}

void TForm1::StopRecording() {
    if (!recorder_) {
        return;
    }
    RecordTimer->SetEnabled(false);
    recorder_->Stop();
    recordListener_.reset();
    recorder_.reset();
    UpdateStatusBar();
    UpdateRecordItems();
}

bool TForm1::Recording() const {
    return recorder_ && recorder_->Recording();
}

uint64_t TForm1::RecordedPoints() const {
    return recorder_ ? recorder_->Points() : 0;
}

std::string TForm1::RecordingText(uint64_t points) {
    std::string digits = std::to_string(points);
    for (size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return "Recording: " + digits + (points == 1 ? " point" : " points");
}

void TForm1::RecordTimerTimer() {
    if (!recorder_) {
        return;
    }
    recorder_->Tick(tk::MonotonicMs());
    if (!recordFailure_.empty() || !recorder_->Recording()) {
        const std::string message = recordFailure_.empty() ? recorder_->Error() : recordFailure_;
        recordFailure_.clear();
        StopRecording();
        TellUser("Recording stopped: " + message + ".");
        return;
    }
    UpdateStatusBar();
}

void TForm1::TellUser(const std::string& text) {
    if (tk::TGuiBackend* backend = tk::GuiBackend()) {
        backend->MessageBox(text, "PalmoGPS");
    }
}

void TForm1::GnssItemClick(tk::TMenuItem&) {
    if (GPS1 != nullptr) {
        GPS1->SetDialect(GnssItem->Checked() ? gps::TNmeaDialect::ndGNSS : gps::TNmeaDialect::ndGP);
    }
    UpdateGnssHint();
}

void TForm1::UpdateGnssHint() {
    const bool show = GPS1 != nullptr && GPS1->Dialect() == gps::TNmeaDialect::ndGP &&
                      otherTalkerFixLines_ >= kGnssHintLines &&
                      (!lastGprmc_ || hintClock_() - *lastGprmc_ >= kGnssHintQuietMs);
    if (show != gnssHintShown_) {
        gnssHintShown_ = show;
        UpdateStatusBar();
    }
}

void TForm1::UpdateStatusBar() {
    // The hint first; else what runs: the recording, the sharing or both.
    std::string text;
    if (gnssHintShown_) {
        text = kGnssHint;
    } else {
        if (recorder_) {
            text = RecordingText(recorder_->Points());
        }
        if (share_ && share_->Active()) {
            text += (text.empty() ? "" : " - ") + SharedStatusText(share_->Clients());
        }
        if (text.empty()) {
            text = kStatusText;
        }
    }
    if (StatusBar1->Caption() != text) {
        StatusBar1->SetCaption(text);
    }
}

void TForm1::SetSharePort(uint16_t port) {
    sharePort_ = port;
    ShareItem->SetCaption("Share with other programs (port " + std::to_string(port) + ")");
}

void TForm1::ShareItemClick(tk::TMenuItem&) {
    if (ShareItem->Checked()) {
        StartSharing();
    } else {
        StopSharing();
    }
}

bool TForm1::StartSharing() {
    if (GPS1 == nullptr) {
        return false;
    }
    if (!share_) {
        share_ = std::make_unique<TReceiverShare>(*GPS1);
        share_->OnChange = [this](TReceiverShare&) { UpdateStatusBar(); };
    }
    std::string error;
    const bool ok = share_->Start(sharePort_, error);
    ShareItem->SetChecked(ok);
    if (!ok) {
        const std::string text =
            "The receiver cannot be shared on 127.0.0.1:" + std::to_string(sharePort_) + ": " +
            error + ".";
        if (tk::TGuiBackend* backend = tk::GuiBackend()) {
            backend->MessageBox(text, "PalmoGPS");
        } else {
            std::fprintf(stderr, "PalmoGPS: %s\n", text.c_str());
        }
    }
    return ok;
}

void TForm1::StopSharing() {
    if (share_) {
        share_->Stop();
    }
    ShareItem->SetChecked(false);
}

void TForm1::UpdateSharedDevice() {
    if (share_ && share_->Active()) {
        share_->UpdateDevice();
    }
}

void TForm1::SatellitesItemClick(tk::TMenuItem&) {
    ShowSatellitesWindow();
}

void TForm1::CopyItemClick(tk::TMenuItem&) {
    tk::Clipboard().SetAsText(PositionText());
}

std::string TForm1::PositionText() const {
    return Lat1->Caption() + "  " + Long1->Caption() + "  " + Lat2->Caption() + " " +
           Long2->Caption() + "  " + Date->Caption() + " " + Time->Caption() + " UTC";
}

TSatellitesForm& TForm1::ShowSatellitesWindow() {
    if (satellitesForm_ == nullptr) {
        satellitesForm_ = new TSatellitesForm(this);  // owned and freed by this form
        if (GPS1 != nullptr && !GPS1->Silent()) {
            satellitesForm_->ShowSatellites(GPS1->SatellitesInView());
        }
    }
    if (satellitesForm_->Showing()) {
        satellitesForm_->BringToFront();
    } else {
        satellitesForm_->Show();
    }
    return *satellitesForm_;
}

void TForm1::GPS1Satellites(gps::TGPS&, const gps::TSatelliteList& Satellites) {
    if (satellitesForm_ != nullptr) {
        satellitesForm_->ShowSatellites(Satellites);
    }
}

std::vector<std::string> TForm1::ApplyStartOptions(const TStartOptions& options) {
    std::vector<std::string> problems;
    if (options.Share) {
        SetSharePort(options.SharePort);
    }
    if (options.Gnss) {
        GPS1->SetDialect(gps::TNmeaDialect::ndGNSS);
    }
    // Picks the entry as the user would (its change handler runs), or says
    // why not.
    auto pick = [&problems](tk::TComboBox& box, const std::string& entry, const std::string& what,
                            const std::string& given) {
        const auto& items = box.Items();
        const auto it = std::find(items.begin(), items.end(), entry);
        if (it != items.end()) {
            box.UserSelect(static_cast<int32_t>(it - items.begin()));
            return;
        }
        std::string offered;
        for (const std::string& item : items) {
            offered += (offered.empty() ? "" : ", ") + item;
        }
        problems.push_back(what + " " + given + " is not one of " +
                           (offered.empty() ? std::string("the choices (there are none)")
                                            : "the choices " + offered) +
                           "; " +
                           (box.Text().empty() ? "nothing is chosen." : box.Text() + " stays."));
    };
    if (!options.Port.empty()) {
        int32_t n = 0;
        std::string digits = options.Port;
        if (digits.size() > 3 && (digits.rfind("COM", 0) == 0 || digits.rfind("com", 0) == 0)) {
            digits = digits.substr(3);
        }
        if (TryStrToInt(digits, n) && n > 0) {
            pick(*PortsComboBox, "COM" + std::to_string(n), "Port", "COM" + std::to_string(n));
        } else {
            pick(*PortsComboBox, "", "Port", "\"" + options.Port + "\"");
        }
    }
    if (!options.Baud.empty()) {
        int32_t b = 0;
        const bool number = TryStrToInt(options.Baud, b);
        pick(*BaudChoices, number ? std::to_string(b) : "", "Baud rate",
             number ? std::to_string(b) : "\"" + options.Baud + "\"");
    }
    return problems;
}

void TForm1::Button3Click(tk::TButton&) {
    if (GPS1 != nullptr) {
        GPS1->SetLocalClock();
    }
}

void TForm1::GPS1ValidFix(gps::TGPS&, double Lat, double Lon, double, double) {
    Time->SetCaption(tk::FormatLongTime(GPS1->UTCTime()));
    Date->SetCaption(tk::FormatShortDate(GPS1->UTCTime()));
    Lat1->SetCaption("Lat: " + GPS1->LatAsStr());
    Long1->SetCaption("Long: " + GPS1->LonAsStr());
    Lat2->SetCaption("Lat: " + tk::FloatToStrGeneral(Lat));
    Long2->SetCaption("Long: " + tk::FloatToStrGeneral(Lon));
    std::string alt = "Altitude: " + tk::FloatToStrGeneral(GPS1->Altitude()) + " ";
    // No unit letter has come yet before the first GPGGA: no NUL goes into the text.
    if (GPS1->AltUnits() != '\0') {
        alt += GPS1->AltUnits();
    }
    Alt->SetCaption(alt);
    GPSs->SetCaption("Sat Count: " + std::to_string(GPS1->FixSatCount()));
    Valid->SetCaption("Valid");
}

void TForm1::GPS1FixLoss(gps::TGPS&) {
    Valid->SetCaption("Not Valid");
}

void TForm1::FormCreate(tk::TForm&) {
    for (uint32_t n = 1; n <= kListedPorts; ++n) {
        if (ProbePort(n)) {
            PortsComboBox->AddItem("COM" + std::to_string(n));
        }
    }
    // Selecting runs no change handler: GPS1 keeps its stored port until the
    // user picks one.
    PortsComboBox->SetItemIndex(0);
    GPS1->SetComOpen(false);
    GPS1->SetErrorBeep(true);
}

void TForm1::PortsComboBoxChange(tk::TComboBox&) {
    CheckBox1->SetChecked(false);
    const int32_t n = StrToInt(PortEntryDigits(PortsComboBox->Text()));
    if (n < 0 || n > 0xFFFF) {
        throw std::out_of_range("'" + PortsComboBox->Text() + "' names no port");
    }
    GPS1->SetComNumber(static_cast<uint16_t>(n));
    UpdateSharedDevice();
}

void TForm1::BaudChoicesChange(tk::TComboBox&) {
    CheckBox1->SetChecked(false);
    GPS1->SetComBaud(StrToInt(BaudChoices->Text()));
    UpdateSharedDevice();
}

void TForm1::FormDestroy(tk::TForm&) {
    if (GPS1 == nullptr) {
        return;
    }
    StopRecording();
    try {
        GPS1->SetComOpen(false);
    } catch (...) {
        // Runs from the destructor: a failing close is shown, not thrown on.
        tk::ShowCurrentException();
    }
    share_.reset();  // its listener leaves GPS1's decoder first
    delete GPS1;     // leaves the form's components as it goes
    GPS1 = nullptr;
    delete satellitesForm_;  // likewise; its window goes before this one's
    satellitesForm_ = nullptr;
}

void TForm1::GPS1FixProgress(gps::TGPS&, const std::string& Progress, int32_t) {
    Label3->SetCaption("Fix Progress: " + Progress);
}

void TForm1::GPS1Error(gps::TGPS&, const std::string&) {
    for (tk::TLabel* l : {Date, Time, Lat1, Long1, Lat2, Long2, Alt, GPSs}) {
        l->SetCaption("--");
    }
    Label3->SetCaption("Error");
}

void TForm1::GPS1ComLoss(gps::TGPS&) {
    for (tk::TLabel* l : {Time, Date, Lat1, Long1, Lat2, Long2, Alt, GPSs}) {
        l->SetCaption("--");
    }
    // The silence that follows a vanished device is no news: the cause stays.
    if (!deviceLost_) {
        Label3->SetCaption("GPS Lossed");
    }
    if (satellitesForm_ != nullptr) {
        satellitesForm_->Clear();
    }
}

void TForm1::GPS1DeviceLost() {
    // The port is closed and the box unticked: ticking it again opens the
    // device anew once it is back.
    deviceLost_ = true;
    Label3->SetCaption("Device lost");
    CheckBox1->SetChecked(false);
}

void TForm1::GPS1FixQuality(gps::TGPS&, const std::string& Quality, int32_t) {
    Label3->SetCaption("Fix Quality: " + Quality);
}

void TForm1::GPS1Sentence(gps::TGPS&, const std::string& SenID, const gps::TDataArray&) {
    if (CheckBox2->Checked()) {
        Memo1->AddLine(SenID + ": " + GPS1->NmeaSentence() + "\r");
    }
    if (SenID == "GPRMC") {
        lastGprmc_ = hintClock_();
    } else if (OtherTalkerFix(SenID) && otherTalkerFixLines_ < kGnssHintLines) {
        ++otherTalkerFixLines_;
    }
    UpdateGnssHint();
}

void TForm1::Button4Click(tk::TButton&) {
    if (GPS1 != nullptr) {
        GPS1->SetSysClock();
    }
}

void TForm1::CheckBox1Click(tk::TCheckBox&) {
    if (GPS1 == nullptr) {
        return;
    }
    if (CheckBox1->Checked()) {
        deviceLost_ = false;
    }
    try {
        GPS1->SetComOpen(CheckBox1->Checked());
    } catch (...) {
        // The tick shows the port's real state also when the open failed;
        // the failure itself goes on to the toolkit's exception display.
        CheckBox1->SetChecked(PortOpen(*GPS1));
        throw;
    }
    CheckBox1->SetChecked(PortOpen(*GPS1));
    UpdateSharedDevice();
}

void TForm1::FormPaint(tk::TForm&, tk::TCanvas& Canvas) {
    DrawGradient(Canvas, ClientWidth(), ClientHeight(), StatusBar1->Color(), Color());
}
