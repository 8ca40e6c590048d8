// The main window's logic with no display: the port list from the probe,
// port and baud choices, the tick that follows the port, the labels and the
// sentence log fed by real NMEA bytes through a real port, and the gradient.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/Unit1.h"
#include "gps/NmeaTestSupport.h"
#include "serial/ComPort.h"
#include "serial/ComPortTestSupport.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/RegionalFormats.h"
#include "toolkit/Sound.h"
#include "toolkit/SystemClock.h"
#include "toolkit/Timer.h"

namespace {

using namespace cptest;
using gpstest::Sentence;

// Counts the sounds instead of playing them.
class TRecordingSound : public tk::TSound {
  public:
    void Beep(uint32_t, uint32_t) override { ++tones; }
    void Pause(uint32_t) override {}
    void SystemBeep() override { ++systemBeeps; }
    int tones = 0;
    int systemBeeps = 0;
};

// Remembers every line drawn.
class TRecordingCanvas : public tk::TCanvas {
  public:
    struct TLine {
        tk::TColor color;
        int32_t x0, y0, x1, y1;
    };
    void MoveTo(int32_t x, int32_t y) override {
        x_ = x;
        y_ = y;
    }
    void LineTo(int32_t x, int32_t y) override {
        lines.push_back({PenColor(), x_, y_, x, y});
        x_ = x;
        y_ = y;
    }
    std::vector<TLine> lines;

  private:
    int32_t x_ = 0, y_ = 0;
};

const std::string kGga = Sentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,100,M,46.9,M,,");
const std::string kGsa = Sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
const std::string kRmc =
    Sentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230326,003.1,W");
const std::string kRmcVoid =
    Sentence("GPRMC,123520,V,4807.038,N,01131.000,E,022.4,084.4,230326,003.1,W");

// The window over the test's ports, with the loss time-out off (tests that
// need it set their own) and the sounds counted.
struct TWindow {
    TWindow() { form.GPS1->SetComTimeOut(0); }
    TPorts ports;  // before the form: its creation probes them
    TRecordingSound sound;
    tk::TSoundInstall soundInstall{sound};
    TForm1 form{nullptr};

    // Writes lines at the far end of COM n and serves messages until done().
    bool Send(uint16_t n, const std::string& lines, const std::function<bool()>& done) {
        TFar remote(ports, n);
        return remote.Ok() && remote.Write(lines) && PumpUntil(done);
    }
};

// Fixed regional formats for the life of the object.
struct TFixedFormats {
    explicit TFixedFormats(char separator = '.') {
        tk::SetDecimalSeparatorOverride(separator);
        tk::SetDateTimeFormatOverride("dd/MM/yyyy", "HH:mm:ss");
    }
    ~TFixedFormats() {
        tk::ClearDecimalSeparatorOverride();
        tk::ClearDateTimeFormatOverride();
    }
};

std::vector<std::string> Captions(const TForm1& f) {
    std::vector<std::string> out;
    for (const tk::TLabel* l : {f.Date, f.Time, f.Lat1, f.Long1, f.Lat2, f.Long2, f.Alt, f.GPSs}) {
        out.push_back(l->Caption());
    }
    return out;
}

TEST(MainForm, LayoutAndStoredValues) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    EXPECT_EQ(f.Caption(), "Palmo GPS Receiver...");
    EXPECT_EQ(f.ClientWidth(), 376);
    EXPECT_EQ(f.ClientHeight(), 421);
    EXPECT_EQ(f.Color(), 0xFFDD84u);
    EXPECT_EQ(f.BorderStyle(), tk::TBorderStyle::bsDialog);
    EXPECT_EQ(f.Font().Name, "Tahoma");
    EXPECT_EQ(f.Font().Height, -11);
    EXPECT_FALSE(f.Font().Bold);

    // Position, size, text and tab order of each control.
    using Row = std::tuple<tk::TControl*, int, int, int, int, std::string, int>;
    const std::vector<Row> table = {
        {f.Bevel1, 16, 80, 345, 105, "", -1},
        {f.Lat1, 30, 93, 31, 13, "Lat1\xB0", -1},
        {f.Long1, 204, 93, 34, 13, "Long1", -1},
        {f.Date, 30, 136, 27, 13, "Date", -1},
        {f.Time, 204, 136, 28, 13, "Time", -1},
        {f.Valid, 286, 380, 75, 19, "Not Valid", -1},
        {f.Label1, 15, 54, 46, 13, "GPS Port:", -1},
        {f.Label2, 201, 54, 54, 13, "Baud Rate:", -1},
        {f.Lat2, 30, 114, 25, 13, "Lat2", -1},
        {f.Long2, 204, 114, 34, 13, "Long2", -1},
        {f.Alt, 30, 159, 45, 13, "Altitude", -1},
        {f.Label3, 16, 384, 3, 13, "", -1},
        {f.GPSs, 204, 159, 55, 13, "Sat Count", -1},
        {f.Button3, 16, 197, 163, 25, "Set Local Time with GPS", 0},
        {f.PortsComboBox, 75, 51, 102, 21, "COM1", 1},
        {f.BaudChoices, 261, 48, 101, 21, "4800", 2},
        {f.StatusBar1, 0, 402, 376, 19, f.StatusBar1->Caption(), -1},
        {f.Button4, 199, 197, 163, 25, "Set System Time with GPS", 4},
        {f.CheckBox1, 16, 18, 145, 17, "GPS Available ", 5},
        {f.Memo1, 16, 248, 345, 129, "", 6},
        {f.CheckBox2, 16, 230, 97, 17, "Active", 7},
    };
    for (const auto& [c, l, t, wd, h, text, tab] : table) {
        SCOPED_TRACE(c->Name());
        EXPECT_EQ(c->Parent(), &f);
        EXPECT_EQ(c->Left(), l);
        EXPECT_EQ(c->Top(), t);
        EXPECT_EQ(c->Width(), wd);
        EXPECT_EQ(c->Height(), h);
        if (auto* box = dynamic_cast<tk::TComboBox*>(c)) {
            EXPECT_EQ(box->Text(), text);
        } else {
            EXPECT_EQ(c->Caption(), text);
        }
        EXPECT_EQ(c->TabOrder(), tab);
    }
    EXPECT_EQ(f.StatusBar1->Caption().rfind(" Palmo GPS Receiver", 0), 0u);
    EXPECT_GT(f.StatusBar1->Caption().size(), std::string(" Palmo GPS Receiver").size());
    EXPECT_EQ(f.StatusBar1->Color(), tk::clWhite);
    EXPECT_EQ(f.Memo1->Color(), 0xEBFEFDu);
    EXPECT_EQ(f.Memo1->ScrollBars(), tk::TScrollStyle::ssBoth);
    EXPECT_EQ(f.Memo1->MaxLines(), 1000u);

    // Fonts and colours of the labels.
    for (tk::TLabel* l : {f.Lat1, f.Long1, f.Date, f.Time, f.Lat2, f.Long2, f.Alt, f.GPSs}) {
        EXPECT_TRUE(l->Font().Bold) << l->Name();
        EXPECT_TRUE(l->Transparent()) << l->Name();
        EXPECT_EQ(l->Font().Name, "Tahoma");
    }
    EXPECT_EQ(f.Valid->Font().Height, -16);
    EXPECT_EQ(f.Valid->Font().Color, tk::clBlue);
    EXPECT_EQ(f.Valid->Alignment(), tk::TAlignment::taRightJustify);
    EXPECT_EQ(f.Label3->Font().Color, tk::clBlue);
    EXPECT_TRUE(f.Label3->Font().Bold);
    EXPECT_FALSE(f.Label1->Font().Bold);
    EXPECT_EQ(f.CheckBox1->Font().Name, "MS Sans Serif");
    EXPECT_EQ(f.CheckBox1->Font().Height, -13);
    EXPECT_TRUE(f.CheckBox1->Font().Bold);
    for (tk::TControl* c :
         {static_cast<tk::TControl*>(f.Button3), static_cast<tk::TControl*>(f.Button4),
          static_cast<tk::TControl*>(f.PortsComboBox), static_cast<tk::TControl*>(f.BaudChoices),
          static_cast<tk::TControl*>(f.CheckBox1)}) {
        EXPECT_EQ(c->Cursor(), tk::TCursor::crHandPoint) << c->Name();
    }
    EXPECT_EQ(f.BaudChoices->Items(),
              (std::vector<std::string>{"150", "300", "600", "1200", "2400", "4800", "9600",
                                        "19200", "38400", "57600", "115200"}));
    EXPECT_EQ(f.BaudChoices->ItemIndex(), 5);
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_TRUE(f.CheckBox2->Checked());

    // GPS1's stored values, and what FormCreate changed.
    EXPECT_EQ(f.GPS1->Owner(), &f);
    EXPECT_EQ(f.GPS1->ComNumber(), 1);
    EXPECT_EQ(f.GPS1->ComBaud(), 4800);
    EXPECT_FALSE(f.GPS1->ComOpen());
    EXPECT_EQ(f.GPS1->Units(), gps::TUnits::Nautical);
    EXPECT_EQ(f.GPS1->StrFormat(), gps::TStrFormat::DDMMSS);
    EXPECT_EQ(f.GPS1->PosUnits(), gps::TFloatUnits::Deg);
    EXPECT_FALSE(f.GPS1->FixLossAlarm());
    EXPECT_TRUE(f.GPS1->ErrorBeep());
    EXPECT_FALSE(f.GPS1->Loading());
}

TEST(MainForm, PortListFromTheProbeAndPickingAPort) {
#ifndef _WIN32
    // Only COM2 and COM5 lead to a device.
    ptytest::TPtyPair two, five;
    const std::string none = "/nonexistent/palmo-no-port";
    ptytest::TPortsEnv env(none + ":" + two.Path() + ":" + none + ":" + none + ":" + five.Path());
    TRecordingSound sound;
    tk::TSoundInstall install(sound);
    TForm1 f(nullptr);
    EXPECT_EQ(f.PortsComboBox->Items(), (std::vector<std::string>{"COM2", "COM5"}));
    EXPECT_EQ(f.PortsComboBox->Text(), "COM2");
    // Shown selected, but the receiver keeps its stored port until a pick.
    EXPECT_EQ(f.GPS1->ComNumber(), 1);
    f.PortsComboBox->UserSelect(1);
    EXPECT_EQ(f.GPS1->ComNumber(), 5);
    f.PortsComboBox->UserSelect(0);
    EXPECT_EQ(f.GPS1->ComNumber(), 2);
    EXPECT_FALSE(f.GPS1->ComOpen());

    // No usable port: an empty list with nothing selected.
    ptytest::TPortsEnv nothing(none);
    TForm1 empty(nullptr);
    EXPECT_TRUE(empty.PortsComboBox->Items().empty());
    EXPECT_EQ(empty.PortsComboBox->ItemIndex(), -1);
    EXPECT_EQ(empty.GPS1->ComNumber(), 1);
#else
    REQUIRE_PORTS();
    TWindow w;
    const auto& items = w.form.PortsComboBox->Items();
    ASSERT_GE(items.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(items.begin(), items.begin() + 4),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_LE(items.size(), 10u);
    EXPECT_EQ(w.form.PortsComboBox->ItemIndex(), 0);
    EXPECT_EQ(w.form.GPS1->ComNumber(), 1);
    w.form.PortsComboBox->UserSelect(2);
    EXPECT_EQ(w.form.GPS1->ComNumber(), 3);
#endif
}

TEST(MainForm, PortAndBaudChoicesUntickAndClose) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    EXPECT_TRUE(f.CheckBox1->Checked());

    // Another baud rate: the port closes and the box is unticked; the rate
    // applies at the next open.
    f.BaudChoices->UserSelect(6);
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_FALSE(f.GPS1->ComOpen());
    EXPECT_EQ(f.GPS1->ComBaud(), 9600);
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    EXPECT_EQ(f.GPS1->ComPort().Baud(), 9600);

    // Another port: closed and unticked, then ticked again on the new port,
    // where the lines now come from.
    f.PortsComboBox->UserSelect(2);
    EXPECT_EQ(f.PortsComboBox->Text(), "COM3");
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_FALSE(f.GPS1->ComOpen());
    EXPECT_EQ(f.GPS1->ComNumber(), 3);
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    ASSERT_TRUE(w.Send(3, kGga + "\r\n", [&] { return f.Memo1->Lines().size() == 1; }));
    ASSERT_EQ(f.Memo1->Lines().size(), 1u);
    EXPECT_EQ(f.Memo1->Lines()[0], "GPGGA: " + kGga + "\r");

    // Unticking closes (the close may finish a moment later when the port
    // was still busy delivering the line).
    f.CheckBox1->UserClick();
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_TRUE(PumpUntil([&] { return !f.GPS1->ComOpen(); }));
    EXPECT_FALSE(f.CheckBox1->Checked());
}

TEST(MainForm, UntickWhileThePortDeliversData) {
    // Unticked from inside the port's data event, the close has to wait
    // until the delivery ends: the box shows the port as closed at once and
    // stays so once the close is done; ticking again opens anew.
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    auto log = f.GPS1->OnSentence;
    int sentences = 0;
    f.GPS1->OnSentence = [&](gps::TGPS& g, const std::string& id, const gps::TDataArray& a) {
        log(g, id, a);
        if (++sentences == 1) {
            f.CheckBox1->UserClick();
            EXPECT_TRUE(f.GPS1->ComOpen());  // still closing
            EXPECT_FALSE(f.CheckBox1->Checked());
        }
    };
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    ASSERT_TRUE(w.Send(kPortA, kGga + "\r\n", [&] { return sentences == 1; }));
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_TRUE(PumpUntil([&] { return !f.GPS1->ComOpen(); }));
    EXPECT_FALSE(f.CheckBox1->Checked());
    f.CheckBox1->UserClick();
    EXPECT_TRUE(f.GPS1->ComOpen());
    EXPECT_TRUE(f.CheckBox1->Checked());
    ASSERT_TRUE(w.Send(kPortA, kGsa + "\r\n", [&] { return sentences == 2; }));
    EXPECT_EQ(f.Memo1->Lines().back(), "GPGSA: " + kGsa + "\r");
}

TEST(MainForm, TickFollowsThePortAfterAFailedOpen) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    int clicks = 0;
    auto handler = f.CheckBox1->OnClick;
    f.CheckBox1->OnClick = [&](tk::TCheckBox& b) {
        ++clicks;
        handler(b);
    };
    // A port with no device behind it: the open fails, the failure goes on
    // to whoever called (the toolkit's exception display), the box is
    // unticked again, and the handler ran once more for that and settled.
    f.GPS1->SetComNumber(kMissingPort);
    EXPECT_NE(CodeOf([&] { f.CheckBox1->UserClick(); }), 0);
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_FALSE(f.GPS1->ComOpen());
    EXPECT_EQ(clicks, 2);

    // On a port that is there the same tick opens it and stays.
    f.GPS1->SetComNumber(kPortA);
    clicks = 0;
    f.CheckBox1->UserClick();
    EXPECT_TRUE(f.GPS1->ComOpen());
    EXPECT_TRUE(f.CheckBox1->Checked());
    EXPECT_EQ(clicks, 1);
    f.CheckBox1->UserClick();
    EXPECT_FALSE(f.GPS1->ComOpen());

    if (SecondHolderRefused()) {
        // A port that another component holds.
        auto holder = MakePort(kPortA);
        holder->SetOpen(true);
        ASSERT_TRUE(holder->Open());
        clicks = 0;
        EXPECT_EQ(CodeOf([&] { f.CheckBox1->SetChecked(true); }), ecAlreadyOpen);
        EXPECT_FALSE(f.CheckBox1->Checked());
        EXPECT_FALSE(f.GPS1->ComOpen());
        EXPECT_EQ(clicks, 2);
    }
}

TEST(MainForm, LabelsAndLogFromRealSentences) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    TFixedFormats formats;
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());

    // Quality, then dimension, then the valid fix.
    ASSERT_TRUE(w.Send(kPortA, kGga + "\r\n", [&] { return !f.Label3->Caption().empty(); }));
    EXPECT_EQ(f.Label3->Caption(), "Fix Quality: GPS Fix (SPS)");
    ASSERT_TRUE(w.Send(kPortA, kGsa + "\r\n",
                       [&] { return f.Label3->Caption() != "Fix Quality: GPS Fix (SPS)"; }));
    EXPECT_EQ(f.Label3->Caption(), "Fix Progress: 3D Fix");
    EXPECT_EQ(f.Valid->Caption(), "Not Valid");
    ASSERT_TRUE(w.Send(kPortA, kRmc + "\r\n", [&] { return f.Valid->Caption() == "Valid"; }));

    EXPECT_EQ(f.Date->Caption(), "23/03/2026");
    EXPECT_EQ(f.Time->Caption(), "12:35:19");
    EXPECT_EQ(f.Lat1->Caption(), "Lat: 48\xB0 07' 02\" N");
    EXPECT_EQ(f.Long1->Caption(), "Long: 11\xB0 31' 00\" E");
    EXPECT_EQ(f.Lat2->Caption(), "Lat: 48.1173");
    EXPECT_EQ(f.Long2->Caption(), "Long: 11.5166666666667");
    // 100 m shown in feet with the unit letter as received.
    EXPECT_EQ(f.Alt->Caption(), "Altitude: 328.08 M");
    EXPECT_EQ(f.GPSs->Caption(), "Sat Count: 8");
    EXPECT_EQ(f.Label3->Caption(), "Fix Progress: 3D Fix");

    // One memo line per accepted sentence, each ending in a carriage return.
    EXPECT_EQ(f.Memo1->Lines(),
              (std::vector<std::string>{"GPGGA: " + kGga + "\r", "GPGSA: " + kGsa + "\r",
                                        "GPRMC: " + kRmc + "\r"}));

    // A failed line: the fix labels show "--", the status "Error", with the
    // beep; Valid stays as it was and nothing is logged.
    ASSERT_TRUE(
        w.Send(kPortA, "$GPGGA,1,2,3*00\r\n", [&] { return f.Label3->Caption() == "Error"; }));
    EXPECT_EQ(Captions(f), std::vector<std::string>(8, "--"));
    EXPECT_EQ(f.Valid->Caption(), "Valid");
    EXPECT_EQ(w.sound.systemBeeps, 1);
    EXPECT_EQ(f.Memo1->Lines().size(), 3u);

    // "Active" off: sentences are still decoded and shown, but not logged.
    f.CheckBox2->UserClick();
    EXPECT_FALSE(f.CheckBox2->Checked());
    ASSERT_TRUE(w.Send(kPortA, kRmc + "\r\n", [&] { return f.GPSs->Caption() != "--"; }));
    EXPECT_EQ(f.GPSs->Caption(), "Sat Count: 8");
    EXPECT_EQ(f.Memo1->Lines().size(), 3u);
    f.CheckBox2->UserClick();

    // Losing the fix: only Valid changes.
    ASSERT_TRUE(w.Send(kPortA, kRmcVoid + "\r\n", [&] { return f.Valid->Caption() != "Valid"; }));
    EXPECT_EQ(f.Valid->Caption(), "Not Valid");
    EXPECT_EQ(f.GPSs->Caption(), "Sat Count: 8");
    EXPECT_EQ(f.Memo1->Lines().back(), "GPRMC: " + kRmcVoid + "\r");
}

TEST(MainForm, SilenceBlanksTheLabelsButNotValid) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    ASSERT_TRUE(w.Send(kPortA, kGga + "\r\n" + kRmc + "\r\n",
                       [&] { return f.Valid->Caption() == "Valid"; }));
    f.GPS1->SetComTimeOut(150);
    ASSERT_TRUE(PumpUntil([&] { return f.Label3->Caption() == "GPS Lossed"; }, 5000));
    EXPECT_EQ(Captions(f), std::vector<std::string>(8, "--"));
    EXPECT_EQ(f.Valid->Caption(), "Valid");
    // The next line brings the labels back.
    ASSERT_TRUE(w.Send(kPortA, kRmc + "\r\n", [&] { return f.Lat1->Caption() != "--"; }));
    EXPECT_EQ(f.Lat1->Caption(), "Lat: 48\xB0 07' 02\" N");
}

TEST(MainForm, HandlersFedThroughTheReceiver) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    TFixedFormats formats(',');
    // A fix before any GPGGA: no unit letter yet, and the user's separator.
    ASSERT_TRUE(f.GPS1->ProcessSentence(
        Sentence("GPRMC,000001,A,0030.000,S,00015.000,W,0.0,0.0,010100,,")));
    EXPECT_EQ(f.Lat2->Caption(), "Lat: -0,5");
    EXPECT_EQ(f.Long2->Caption(), "Long: -0,25");
    EXPECT_EQ(f.Alt->Caption(), "Altitude: 0 ");
    EXPECT_EQ(f.GPSs->Caption(), "Sat Count: 0");
    EXPECT_EQ(f.Date->Caption(), "01/01/2000");
    EXPECT_EQ(f.Time->Caption(), "00:00:01");
    EXPECT_EQ(f.Memo1->Lines().size(), 1u);

    // The memo keeps the last 1000 lines.
    for (int i = 0; i < 1005; ++i) {
        f.GPS1->ProcessSentence(Sentence("GPZDA,N" + std::to_string(i)));
    }
    ASSERT_EQ(f.Memo1->Lines().size(), 1000u);
    EXPECT_EQ(f.Memo1->Lines().front(), "GPZDA: " + Sentence("GPZDA,N5") + "\r");
    EXPECT_EQ(f.Memo1->Lines().back(), "GPZDA: " + Sentence("GPZDA,N1004") + "\r");
}

TEST(MainForm, GnssHintForAMultiSystemReceiverReadAsGpsOnly) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    uint64_t nowMs = 50000;
    f.SetHintClock([&nowMs] { return nowMs; });
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    const std::string gnRmc =
        Sentence("GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230326,003.1,W") + "\r\n";
    const std::string gnGga =
        Sentence("GNGGA,123519,4807.038,N,01131.000,E,1,08,0.9,100,M,46.9,M,,") + "\r\n";
    const std::string glGga =
        Sentence("GLGGA,123519,4807.038,N,01131.000,E,1,08,0.9,100,M,46.9,M,,") + "\r\n";
    const std::string others = Sentence("GNGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1,1") + "\r\n" +
                               Sentence("PGRME,15.0,M,45.0,M,25.0,M") + "\r\n" +
                               Sentence("GNVTG,084.4,T,,M,022.4,N,041.5,K,A") + "\r\n";
    auto send = [&](const std::string& lines) {
        const size_t want = f.Memo1->Lines().size() +
                            static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n'));
        return w.Send(kPortA, lines, [&] { return f.Memo1->Lines().size() == want; });
    };

    // Four RMC and GGA lines of other talkers, and lines of other types: no hint.
    ASSERT_TRUE(send(gnRmc + gnGga + others + glGga + gnRmc));
    EXPECT_FALSE(f.GnssHintShown());
    EXPECT_EQ(f.StatusBar1->Caption(), TForm1::kStatusText);
    // The fifth.
    ASSERT_TRUE(send(gnGga));
    EXPECT_TRUE(f.GnssHintShown());
    EXPECT_EQ(f.StatusBar1->Caption(),
              "This receiver sends GNSS sentences - right-click and choose All satellite systems "
              "(GNSS)");
    // Decoding is as it was: nothing of the GN lines in the fix.
    EXPECT_EQ(f.Valid->Caption(), "Not Valid");
    EXPECT_EQ(f.Lat1->Caption(), "Lat1\xB0");

    // A GPRMC takes it back; it returns only 10 s after the last GPRMC.
    ASSERT_TRUE(send(kRmc + "\r\n"));
    EXPECT_EQ(f.StatusBar1->Caption(), TForm1::kStatusText);
    nowMs += 9999;
    ASSERT_TRUE(send(gnRmc));
    EXPECT_FALSE(f.GnssHintShown());
    nowMs += 1;
    ASSERT_TRUE(send(gnRmc));
    EXPECT_EQ(f.StatusBar1->Caption(), TForm1::kGnssHint);

    // GNSS mode on: gone, and not back while it is on; off again: back.
    f.GnssItem->Click();
    ASSERT_EQ(f.GPS1->Dialect(), gps::TNmeaDialect::ndGNSS);
    EXPECT_EQ(f.StatusBar1->Caption(), TForm1::kStatusText);
    nowMs += 60000;
    ASSERT_TRUE(send(gnRmc + gnGga));
    EXPECT_FALSE(f.GnssHintShown());
    EXPECT_EQ(f.Valid->Caption(), "Valid");
    f.GnssItem->Click();
    EXPECT_EQ(f.StatusBar1->Caption(), TForm1::kGnssHint);
}

// Clock buttons reach the clock setter with the fix's time; failures are silent.
class TRecordingClock : public tk::TSystemClock {
  public:
    bool SetSystemTime(const tk::TClockFields& utc) override {
        system.push_back(utc);
        return accept;
    }
    bool SetLocalTime(const tk::TClockFields& local) override {
        this->local.push_back(local);
        return accept;
    }
    std::vector<tk::TClockFields> system, local;
    bool accept = true;
};

TEST(MainForm, ClockButtons) {
    REQUIRE_PORTS();
    TWindow w;
    TForm1& f = w.form;
    TRecordingClock clock;
    tk::TSystemClockInstall install(clock);
    // Without a fix nothing is set and nothing is raised.
    f.Button3->Click();
    f.Button4->Click();
    EXPECT_TRUE(clock.system.empty());
    EXPECT_TRUE(clock.local.empty());
    // A line that came from no port has no arrival time: nothing set.
    ASSERT_TRUE(f.GPS1->ProcessSentence(kRmc));
    f.Button3->Click();
    EXPECT_TRUE(clock.local.empty());
    gpstest::FeedArrived(*f.GPS1, kRmc + "\r\n", TArrivalTime::Now());
    f.Button3->Click();
    ASSERT_EQ(clock.local.size(), 1u);
    EXPECT_EQ(clock.local[0].year, 2026);
    EXPECT_EQ(clock.local[0].month, 3);
    EXPECT_EQ(clock.local[0].day, 23);
    EXPECT_EQ(clock.local[0].hour, 12);
    EXPECT_EQ(clock.local[0].minute, 35);
    clock.accept = false;
    f.Button4->Click();
    ASSERT_EQ(clock.system.size(), 1u);
    EXPECT_EQ(clock.system[0].day, 23);
}

TEST(MainForm, GradientRows) {
    // The window's own painting: 422 rows for a 376 x 421 client area, from
    // white to the window's colour.
    REQUIRE_PORTS();
    TWindow w;
    TRecordingCanvas canvas;
    w.form.Paint(canvas);
    ASSERT_EQ(canvas.lines.size(), 422u);
    for (size_t y = 0; y < canvas.lines.size(); ++y) {
        const auto& l = canvas.lines[y];
        ASSERT_EQ(l.x0, 0);
        ASSERT_EQ(l.y0, static_cast<int32_t>(y));
        ASSERT_EQ(l.x1, 376);
        ASSERT_EQ(l.y1, static_cast<int32_t>(y));
    }
    EXPECT_EQ(canvas.lines.front().color, 0xFFFFFFu);
    EXPECT_EQ(canvas.lines.back().color, 0xFFDD84u);
    // Row 210: red 255 - 123*210/421 = 255 - 61 (truncated, not 62), green
    // 255 - 34*210/421 = 255 - 16, blue stays 255.
    EXPECT_EQ(canvas.lines[210].color, 194u + 239u * 256 + 255u * 65536);

    // Wider than high: N is the width, lines still span the width.
    TRecordingCanvas wide;
    DrawGradient(wide, 4, 2, 0x000000, 0x0000FF);
    ASSERT_EQ(wide.lines.size(), 5u);
    EXPECT_EQ(wide.lines[1].color, 0x3Fu);  // 255 * 1 / 4
    EXPECT_EQ(wide.lines[4].color, 0xFFu);
    EXPECT_EQ(wide.lines[4].y0, 4);
    EXPECT_EQ(wide.lines[4].x1, 4);
    // Falling channels truncate toward zero too.
    TRecordingCanvas down;
    DrawGradient(down, 0, 3, 0x0000FF, 0x000000);
    ASSERT_EQ(down.lines.size(), 4u);
    EXPECT_EQ(down.lines[1].color, 170u);  // 255 - 255/3
    EXPECT_EQ(down.lines[2].color, 85u);
    // Nothing to paint.
    TRecordingCanvas none;
    DrawGradient(none, 0, 0, 0xFFFFFF, 0x000000);
    EXPECT_TRUE(none.lines.empty());
}

TEST(MainForm, DestroyClosesThePortAndFreesTheReceiver) {
    REQUIRE_PORTS();
    auto w = std::make_unique<TWindow>();
    w->form.CheckBox1->UserClick();
    ASSERT_TRUE(w->form.GPS1->ComOpen());
    const size_t owned = w->form.ComponentCount();
    w->form.FormDestroy(w->form);
    EXPECT_EQ(w->form.GPS1, nullptr);
    EXPECT_EQ(w->form.ComponentCount(), owned - 1);
    // The port is free again for another holder.
    auto other = MakePort(kPortA);
    other->SetOpen(true);
    EXPECT_TRUE(other->Open());
    other->SetOpen(false);
    // The window can still go (FormDestroy runs once).
    w.reset();
}

TEST(MainForm, RunsInTheApplicationLoop) {
    // The program's own start with no display: the application's loop
    // serves the port's notices and the receiver's loss timer until the
    // window closes; the window goes with the application and frees the port.
    REQUIRE_PORTS();
    TPorts ports;
    TRecordingSound sound;
    tk::TSoundInstall install(sound);
    int exitCode = -1;
    std::vector<std::string> seen;
    {
        tk::TApplication app;
        TForm1& f = app.CreateForm<TForm1>();
        EXPECT_EQ(app.MainForm(), &f);
        f.CheckBox1->UserClick();
        ASSERT_TRUE(f.GPS1->ComOpen());
        f.GPS1->SetComTimeOut(200);
        TFar remote(ports, kPortA);
        ASSERT_TRUE(remote.Write(kGga + "\r\n" + kRmc + "\r\n"));
        // Watches the window from inside the loop; closes it once the fix
        // came and then the silence was noticed.
        tk::TTimer watch(nullptr);
        watch.SetInterval(20);
        watch.OnTimer = [&](tk::TComponent&) {
            if (f.Valid->Caption() == "Valid" && seen.empty()) {
                seen.push_back(f.GPSs->Caption());
            }
            if (!seen.empty() && f.Label3->Caption() == "GPS Lossed") {
                seen.push_back(f.Lat1->Caption());
                f.Close();
            }
        };
        tk::TTimer limit(nullptr);
        limit.SetInterval(10000);
        limit.OnTimer = [&](tk::TComponent&) { app.Terminate(3); };
        exitCode = app.Run();
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"Sat Count: 8", "--"}));
    // The window closed the port as it went.
    auto other = MakePort(kPortA);
    other->SetOpen(true);
    EXPECT_TRUE(other->Open());
}

}  // namespace
