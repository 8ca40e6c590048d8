#include "app/SatellitesForm.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <tuple>

namespace {

// The colour of each system's discs, bars and legend entry (00BBGGRR).
struct TSystemColor {
    gps::TGnssSystem system;
    tk::TColor color;
};
constexpr TSystemColor kSystemColors[] = {
    {gps::TGnssSystem::GPS, 0x00A000},      // green
    {gps::TGnssSystem::SBAS, 0x808080},     // grey
    {gps::TGnssSystem::GLONASS, 0x0000DC},  // red
    {gps::TGnssSystem::Galileo, 0xFF5A00},  // blue
    {gps::TGnssSystem::BeiDou, 0x008CE6},   // orange
    {gps::TGnssSystem::QZSS, 0xC800A0},     // purple
    {gps::TGnssSystem::NavIC, 0xAAAA00},    // teal
    {gps::TGnssSystem::Unknown, 0x000000},  // black
};

// Room around the horizon for the compass marks and the discs' numbers.
constexpr int32_t kSkyMargin = 20;
// The bars' share of the height is at least this many pixels.
constexpr int32_t kMinBars = 70;
constexpr int32_t kSmallFont = 9;

gps::TSatelliteList Sorted(gps::TSatelliteList list) {
    gps::SortSatellites(list);
    return list;
}

// Per system present: used and in view.
std::map<gps::TGnssSystem, std::pair<int, int>> SystemCounts(const gps::TSatelliteList& list) {
    std::map<gps::TGnssSystem, std::pair<int, int>> counts;
    for (const gps::TSatellite& s : list) {
        auto& [used, seen] = counts[s.System];
        used += s.Used ? 1 : 0;
        ++seen;
    }
    return counts;
}

std::string LegendEntry(gps::TGnssSystem system, const std::pair<int, int>& count) {
    return gps::GnssSystemName(system) + " " + std::to_string(count.first) + "/" +
           std::to_string(count.second);
}

}  // namespace

TSatellitesForm::TSatellitesForm(tk::TComponent* owner) : tk::TForm(owner) {
    SetName("SatellitesForm");
    SetCaption("Satellites");
    SetBorderStyle(tk::TBorderStyle::bsSizeable);
    SetPosition(tk::TPosition::poDesigned);
    SetBounds(40, 40, 0, 0);  // a form's place; its size is the client size
    SetMinClientSize(kMinClientWidth, kMinClientHeight);
    SetColor(kBackground);
    tk::TFont font;
    font.Name = "Tahoma";
    font.Height = -11;
    font.Color = kText;
    SetFont(font);

    Sky = new tk::TPaintBox(this, this);  // owned by the form
    Sky->SetName("Sky");
    Sky->SetColor(kBackground);
    Sky->OnPaint = [this](tk::TPaintBox&, tk::TCanvas& canvas) { Draw(canvas); };

    throttle_ = new tk::TTimer(this);  // owned by the form
    throttle_->SetEnabled(false);
    throttle_->SetInterval(kRepaintIntervalMs);
    throttle_->OnTimer = [this](tk::TComponent&) { ThrottleTick(); };

    // The paint box follows the client area.
    OnResize = [this](tk::TForm&) { Sky->SetBounds(0, 0, ClientWidth(), ClientHeight()); };
    SetClientSize(kClientWidth, kClientHeight);
    DoCreate();
}

tk::TColor TSatellitesForm::SystemColor(gps::TGnssSystem system) {
    for (const TSystemColor& c : kSystemColors) {
        if (c.system == system) {
            return c.color;
        }
    }
    return tk::clBlack;
}

void TSatellitesForm::ShowSatellites(const gps::TSatelliteList& satellites) {
    gps::TSatelliteList sorted = Sorted(satellites);
    if (sorted == satellites_) {
        return;  // nothing to paint again
    }
    satellites_ = std::move(sorted);
    Changed();
}

std::string TSatellitesForm::Legend() const {
    if (satellites_.empty()) {
        return "No satellites in view";
    }
    std::string text;
    for (const auto& [system, count] : SystemCounts(satellites_)) {
        if (!text.empty()) {
            text += "  ";
        }
        text += LegendEntry(system, count);
    }
    return text;
}

TSatellitesForm::TLayout TSatellitesForm::LayoutFor(int32_t width, int32_t height,
                                                    int32_t textHeight) {
    TLayout l;
    l.legendTop = height - textHeight - 6;
    const int32_t side = std::max(0, std::min(width, l.legendTop - kMinBars - textHeight));
    l.cx = width / 2;
    l.cy = side / 2;
    l.radius = std::max(1, side / 2 - kSkyMargin);
    l.barsTop = side + 4;
    l.barsBase = std::max(l.barsTop + 1, l.legendTop - textHeight - 4);
    return l;
}

void TSatellitesForm::SkyPoint(const TLayout& layout, int32_t elevation, int32_t azimuth,
                               int32_t& x, int32_t& y) {
    const double el = std::clamp(elevation, 0, 90);
    const double r = layout.radius * (90.0 - el) / 90.0;
    const double az = azimuth * std::numbers::pi / 180.0;
    x = layout.cx + static_cast<int32_t>(std::lround(r * std::sin(az)));
    y = layout.cy - static_cast<int32_t>(std::lround(r * std::cos(az)));
}

void TSatellitesForm::BarSlot(int32_t width, size_t i, size_t n, int32_t& left, int32_t& barWidth) {
    const int32_t count = static_cast<int32_t>(std::max<size_t>(n, 1));
    const int32_t slot = std::max(1, width / count);
    barWidth = std::clamp(slot - 4, 2, 24);
    const int32_t margin = (width - slot * count) / 2;
    left = margin + static_cast<int32_t>(i) * slot + (slot - barWidth) / 2;
}

void TSatellitesForm::Draw(tk::TCanvas& canvas) {
    const int32_t w = Sky->Width();
    const int32_t h = Sky->Height();
    const int32_t th = canvas.TextHeight("0");
    const TLayout l = LayoutFor(w, h, th);
    layout_ = l;

    // The sky: horizon, 30 and 60 degree rings, compass marks.
    canvas.SetBrushStyle(tk::TBrushStyle::bsClear);
    canvas.SetPenColor(kGrid);
    for (int32_t el : {0, 30, 60}) {
        const int32_t r = l.radius * (90 - el) / 90;
        canvas.Ellipse(l.cx - r, l.cy - r, l.cx + r + 1, l.cy + r + 1);
    }
    canvas.MoveTo(l.cx - l.radius, l.cy);
    canvas.LineTo(l.cx + l.radius + 1, l.cy);
    canvas.MoveTo(l.cx, l.cy - l.radius);
    canvas.LineTo(l.cx, l.cy + l.radius + 1);
    canvas.SetFontColor(kText);
    const int32_t gap = 3;
    canvas.TextOut(l.cx - canvas.TextWidth("N") / 2, l.cy - l.radius - th - gap, "N");
    canvas.TextOut(l.cx - canvas.TextWidth("S") / 2, l.cy + l.radius + gap, "S");
    canvas.TextOut(l.cx + l.radius + gap, l.cy - th / 2, "E");
    canvas.TextOut(l.cx - l.radius - gap - canvas.TextWidth("W"), l.cy - th / 2, "W");

    const int32_t d = kDisc / 2;
    for (const gps::TSatellite& s : satellites_) {
        if (!s.Elevation || !s.Azimuth) {
            continue;
        }
        int32_t x = 0, y = 0;
        SkyPoint(l, *s.Elevation, *s.Azimuth, x, y);
        const tk::TColor c = SystemColor(s.System);
        canvas.SetPenColor(c);
        canvas.SetBrushColor(c);
        canvas.SetBrushStyle(s.Used ? tk::TBrushStyle::bsSolid : tk::TBrushStyle::bsClear);
        canvas.Ellipse(x - d, y - d, x + d, y + d);
        if (!s.Used) {
            // A two-pixel ring reads better than a hairline.
            canvas.Ellipse(x - d + 1, y - d + 1, x + d - 1, y + d - 1);
        }
        canvas.SetFontColor(kText);
        canvas.TextOut(x + d + 1, y - th / 2 - d + 2, std::to_string(s.PRN));
    }

    // The signal bars, with each satellite's number under its slot.
    canvas.SetFontSize(kSmallFont);
    const int32_t base = l.barsBase;
    const int32_t full = std::max(1, base - l.barsTop);
    canvas.SetPenColor(kGrid);
    canvas.MoveTo(0, base);
    canvas.LineTo(w, base);
    for (size_t i = 0; i < satellites_.size(); ++i) {
        const gps::TSatellite& s = satellites_[i];
        int32_t left = 0, bw = 0;
        BarSlot(w, i, satellites_.size(), left, bw);
        const tk::TColor c = SystemColor(s.System);
        if (s.SNR) {
            const int32_t snr = std::clamp(*s.SNR, 0, kFullSnr);
            const int32_t bh = full * snr / kFullSnr;
            if (bh > 0) {
                canvas.SetPenColor(c);
                canvas.SetBrushColor(c);
                canvas.SetBrushStyle(s.Used ? tk::TBrushStyle::bsSolid : tk::TBrushStyle::bsClear);
                canvas.Rectangle(left, base - bh, left + bw, base);
            }
        }
        const std::string number = std::to_string(s.PRN);
        canvas.SetFontColor(kText);
        canvas.TextOut(left + bw / 2 - canvas.TextWidth(number) / 2, base + 2, number);
    }

    // The legend: a swatch and "System used/seen" per system present.
    canvas.SetFontSize(std::max(1, std::abs(Font().Height)));
    const int32_t y = l.legendTop + 3;
    if (satellites_.empty()) {
        const std::string text = Legend();
        canvas.SetFontColor(kText);
        canvas.TextOut((w - canvas.TextWidth(text)) / 2, y, text);
        return;
    }
    // In the window's font when it fits, else smaller and closer.
    const auto counts = SystemCounts(satellites_);
    int32_t spacing = 12;
    auto legendWidth = [&] {
        int32_t total = 0;
        for (const auto& [system, count] : counts) {
            total +=
                canvas.TextHeight("0") + canvas.TextWidth(LegendEntry(system, count)) + spacing;
        }
        return total;
    };
    if (legendWidth() > w - 6) {
        canvas.SetFontSize(kSmallFont);
        spacing = 6;
    }
    const int32_t sw = canvas.TextHeight("0");
    int32_t x = 6;
    for (const auto& [system, count] : counts) {
        const tk::TColor c = SystemColor(system);
        canvas.SetBrushStyle(tk::TBrushStyle::bsSolid);
        canvas.SetBrushColor(c);
        canvas.FillRect(x, y + 2, x + sw - 4, y + sw - 2);
        x += sw;
        const std::string text = LegendEntry(system, count);
        canvas.SetFontColor(c);
        canvas.TextOut(x, y, text);
        x += canvas.TextWidth(text) + spacing;
    }
}

void TSatellitesForm::Changed() {
    if (throttle_->Enabled()) {
        pending_ = true;  // painted when the interval is over
        return;
    }
    Sky->Invalidate();
    throttle_->SetEnabled(true);
}

void TSatellitesForm::ThrottleTick() {
    if (pending_) {
        pending_ = false;
        Sky->Invalidate();
        return;
    }
    throttle_->SetEnabled(false);
}
