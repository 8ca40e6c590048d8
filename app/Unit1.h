// The program's main window: the receiver GPS1, the port and baud rate
// choices, the fix labels, the sentence log and the clock buttons, over a
// background that shades from white to light blue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/StartOptions.h"
#include "gps/GPS.h"
#include "toolkit/Forms.h"

class TReceiverShare;
class TSatellitesForm;

namespace record {
class TRecorder;
class TRecordListener;
}  // namespace record

namespace tk {
class TTimer;
}

// Paints the rows 0..max(W, H) of a vertical gradient from startColor to
// endColor (00BBGGRR values), each row a line from (0, y) to (W, y).
void DrawGradient(tk::TCanvas& canvas, int32_t W, int32_t H, tk::TColor startColor,
                  tk::TColor endColor);

class TForm1 : public tk::TForm {
  public:
    // The window's own colour, and the memo's.
    static constexpr tk::TColor kFormColor = 16768388;  // FFDD84
    static constexpr tk::TColor kMemoColor = 15466237;  // EBFEFD
    // The sentence log keeps this many lines, the oldest going first.
    static constexpr size_t kMemoMaxLines = 1000;
    static const std::string kStatusText;
    // What the status bar says in place of kStatusText while a receiver of
    // several satellite systems is read in the GPS-only mode.
    static const std::string kGnssHint;
    // The hint comes after this many RMC or GGA lines of other talkers (GN,
    // GL, ...) and when no GPRMC came for kGnssHintQuietMs.
    static constexpr int kGnssHintLines = 5;
    static constexpr uint64_t kGnssHintQuietMs = 10000;

    // Builds the window with its controls and GPS1, applies the stored
    // values of GPS1, then runs FormCreate.
    explicit TForm1(tk::TComponent* owner);
    // Runs FormDestroy (closing the port and freeing GPS1) first.
    ~TForm1() override;

    // Components, in declared order. GPS1 is nullptr once FormDestroy ran.
    gps::TGPS* GPS1 = nullptr;
    tk::TLabel* Lat1 = nullptr;
    tk::TLabel* Long1 = nullptr;
    tk::TLabel* Date = nullptr;
    tk::TLabel* Time = nullptr;
    tk::TLabel* Valid = nullptr;
    tk::TButton* Button3 = nullptr;
    tk::TComboBox* PortsComboBox = nullptr;
    tk::TLabel* Label1 = nullptr;
    tk::TComboBox* BaudChoices = nullptr;
    tk::TLabel* Label2 = nullptr;
    tk::TBevel* Bevel1 = nullptr;
    tk::TStatusBar* StatusBar1 = nullptr;
    tk::TLabel* Lat2 = nullptr;
    tk::TLabel* Long2 = nullptr;
    tk::TButton* Button4 = nullptr;
    tk::TCheckBox* CheckBox1 = nullptr;
    tk::TLabel* Alt = nullptr;
    tk::TLabel* Label3 = nullptr;
    tk::TLabel* GPSs = nullptr;
    tk::TMemo* Memo1 = nullptr;
    tk::TCheckBox* CheckBox2 = nullptr;

    // Handlers, in declared order.
    void Button3Click(tk::TButton& Sender);
    void GPS1ValidFix(gps::TGPS& Sender, double Lat, double Lon, double SOG, double COG);
    void GPS1FixLoss(gps::TGPS& Sender);
    void FormCreate(tk::TForm& Sender);
    void PortsComboBoxChange(tk::TComboBox& Sender);
    void BaudChoicesChange(tk::TComboBox& Sender);
    void FormDestroy(tk::TForm& Sender);
    void GPS1FixProgress(gps::TGPS& Sender, const std::string& Progress, int32_t FixD);
    void GPS1Error(gps::TGPS& Sender, const std::string& ErrMsg);
    void GPS1ComLoss(gps::TGPS& Sender);
    void GPS1DeviceLost();
    void GPS1FixQuality(gps::TGPS& Sender, const std::string& Quality, int32_t FixQ);
    void GPS1Sentence(gps::TGPS& Sender, const std::string& SenID, const gps::TDataArray& A);
    void Button4Click(tk::TButton& Sender);
    void CheckBox1Click(tk::TCheckBox& Sender);
    void FormPaint(tk::TForm& Sender, tk::TCanvas& Canvas);

    // The context menu (right click, the context-menu key, Shift+F10) and
    // its items, and what they run.
    tk::TPopupMenu* PopupMenu1 = nullptr;
    tk::TMenuItem* GnssItem = nullptr;        // "All satellite systems (GNSS)"
    tk::TMenuItem* SatellitesItem = nullptr;  // "Satellites..."
    tk::TMenuItem* CopyItem = nullptr;        // "Copy position"
    void GnssItemClick(tk::TMenuItem& Sender);
    void SatellitesItemClick(tk::TMenuItem& Sender);
    void CopyItemClick(tk::TMenuItem& Sender);
    void GPS1Satellites(gps::TGPS& Sender, const gps::TSatelliteList& Satellites);

    // Recording: "Record track..." asks for a GPX file, "Record track and
    // NMEA log..." too, with the raw log beside it (the same name with
    // ".nmea"); the item that started it shows a tick, and the status bar
    // counts the points, until "Stop recording" or a write error (a message
    // box then says why). RecordTimer writes the log out and counts.
    tk::TMenuItem* RecordItem = nullptr;         // "Record track..."
    tk::TMenuItem* RecordWithLogItem = nullptr;  // "Record track and NMEA log..."
    tk::TMenuItem* StopRecordItem = nullptr;     // "Stop recording"
    tk::TTimer* RecordTimer = nullptr;
    void RecordItemClick(tk::TMenuItem& Sender);
    void StopRecordItemClick(tk::TMenuItem& Sender);
    void RecordTimerTimer();
    // Starts recording the receiver's input into gpxPath (UTF-8), and into
    // its NMEA log when withLog; existing files are replaced only when
    // overwrite. False, after a message box that says why, when a file
    // cannot be made.
    bool StartRecording(const std::string& gpxPath, bool withLog, bool overwrite);
    void StopRecording();
    bool Recording() const;
    uint64_t RecordedPoints() const;
    // The status bar's text while recording: "Recording: 1,234 points".
    static std::string RecordingText(uint64_t points);
    // Sharing the receiver with other programs in gpsd's protocol on
    // 127.0.0.1: the item's tick starts and stops it, the status bar tells
    // the number of clients ("Shared: 2 clients").
    tk::TMenuItem* ShareItem = nullptr;  // "Share with other programs (port 2947)"
    void ShareItemClick(tk::TMenuItem& Sender);
    // Starts sharing on SharePort(); a port that cannot be served is told
    // in a message box and the tick stays off (false).
    bool StartSharing();
    void StopSharing();
    // The sharing once it was first started, else nullptr.
    TReceiverShare* Share() const { return share_.get(); }
    // The port the item serves (2947; --share=PORT; 0 a free one).
    uint16_t SharePort() const { return sharePort_; }
    void SetSharePort(uint16_t port);

    // Opens the satellites window, or brings it to the front; it is made on
    // first use and lives as long as this window.
    TSatellitesForm& ShowSatellitesWindow();
    // The satellites window once made, else nullptr.
    TSatellitesForm* SatellitesWindow() const { return satellitesForm_; }
    // "<Lat1>  <Long1>  <Lat2> <Long2>  <date> <time> UTC" from the labels as shown.
    std::string PositionText() const;

    // Applies --gnss, --port, --baud and the port of --share; the problems
    // with bad values, as messages for the user (the window's own choice
    // stays for those). --open, --satellites and --share are for the
    // caller, once the window shows.
    std::vector<std::string> ApplyStartOptions(const TStartOptions& options);

    // The milliseconds clock of the GNSS hint's quiet time (by default the
    // monotonic clock); tests give their own.
    void SetHintClock(std::function<uint64_t()> msClock) { hintClock_ = std::move(msClock); }
    bool GnssHintShown() const { return gnssHintShown_; }

  private:
    void CreateControls();
    void CreateMenu();
    void ApplyStoredValues();

    // Shows or takes back the GNSS hint as the receiver's mode and what it
    // heard so far call for.
    void UpdateGnssHint();
    void TellUser(const std::string& text);
    // The recording items' ticks and enabled states, from the recording.
    void UpdateRecordItems();
    // The status bar: the GNSS hint, else the recording and the sharing,
    // else kStatusText.
    void UpdateStatusBar();
    // Tells the clients of the port the receiver reads now.
    void UpdateSharedDevice();

    bool deviceLost_ = false;  // the port's device went away; no tick since
    std::function<uint64_t()> hintClock_;
    int otherTalkerFixLines_ = 0;        // RMC and GGA lines of talkers other than GP
    std::optional<uint64_t> lastGprmc_;  // when the last GPRMC came, by hintClock_
    bool gnssHintShown_ = false;
    TSatellitesForm* satellitesForm_ = nullptr;
    std::unique_ptr<record::TRecorder> recorder_;
    std::unique_ptr<record::TRecordListener> recordListener_;
    bool recordingWithLog_ = false;
    std::string recordFailure_;  // a write error not yet shown
    std::unique_ptr<TReceiverShare> share_;
    uint16_t sharePort_;
};
