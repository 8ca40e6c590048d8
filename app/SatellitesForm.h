// The satellites window: a sky plot of the satellites in view (north up,
// the horizon as the outer circle), a signal bar per satellite and a legend
// line, coloured by satellite system; filled where the satellite is used in
// the fix, outlined where it is not.
#pragma once

#include <cstdint>
#include <string>

#include "gps/Satellites.h"
#include "toolkit/Forms.h"
#include "toolkit/Timer.h"

class TSatellitesForm : public tk::TForm {
  public:
    static constexpr int32_t kClientWidth = 360;
    static constexpr int32_t kClientHeight = 480;
    static constexpr int32_t kMinClientWidth = 240;
    static constexpr int32_t kMinClientHeight = 320;
    // Repaints come at most this often; changes in between are gathered.
    static constexpr uint32_t kRepaintIntervalMs = 100;
    // A satellite's disc is this wide and high.
    static constexpr int32_t kDisc = 14;
    // Signal bars are full height at this SNR (dB-Hz) and above.
    static constexpr int32_t kFullSnr = 50;
    static constexpr tk::TColor kBackground = tk::clWhite;
    static constexpr tk::TColor kGrid = 0xA0A0A0;
    static constexpr tk::TColor kText = 0x202020;

    explicit TSatellitesForm(tk::TComponent* owner);

    // The colour of a system's discs, bars and legend entry.
    static tk::TColor SystemColor(gps::TGnssSystem system);

    // Shows these satellites (in view, with their used flags); repaints when
    // they differ from what is shown.
    void ShowSatellites(const gps::TSatelliteList& satellites);
    // No satellites: the legend reads "No satellites in view".
    void Clear() { ShowSatellites({}); }
    const gps::TSatelliteList& Satellites() const { return satellites_; }
    // Per system present, "GPS 8/11" (used/in view), separated by two
    // blanks; "No satellites in view" when there are none.
    std::string Legend() const;

    // Where things go in a client area of this size, with text of this height.
    struct TLayout {
        int32_t cx = 0, cy = 0;  // the sky plot's centre
        int32_t radius = 0;      // the horizon's radius
        int32_t barsTop = 0;     // the highest a bar reaches
        int32_t barsBase = 0;    // the bars' foot (exclusive)
        int32_t legendTop = 0;
    };
    static TLayout LayoutFor(int32_t width, int32_t height, int32_t textHeight);
    // The centre of a satellite at this elevation and azimuth (degrees).
    static void SkyPoint(const TLayout& layout, int32_t elevation, int32_t azimuth, int32_t& x,
                         int32_t& y);
    // The slot of bar i of n: its left edge and width.
    static void BarSlot(int32_t width, size_t i, size_t n, int32_t& left, int32_t& barWidth);

    // The layout of the last painting.
    const TLayout& Layout() const { return layout_; }

    // Fills the client area.
    tk::TPaintBox* Sky = nullptr;

  private:
    void Draw(tk::TCanvas& canvas);
    void Changed();
    void ThrottleTick();

    gps::TSatelliteList satellites_;
    TLayout layout_;
    tk::TTimer* throttle_ = nullptr;
    bool pending_ = false;
};
