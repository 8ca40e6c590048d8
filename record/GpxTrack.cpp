#include "record/GpxTrack.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "toolkit/Calendar.h"
#include "toolkit/SystemClock.h"

namespace record {

namespace {

constexpr char kGpxNamespace[] = "http://www.topografix.com/GPX/1/1";

// Text of -0.000 and the like loses its sign.
void DropNegativeZero(std::string& text) {
    if (!text.empty() && text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);
    }
}

// Fixed text with up to decimals digits, trailing zeros (and point) dropped.
std::string FormatRounded(double value, int decimals) {
    std::string text = FormatFixed(value, decimals);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    DropNegativeZero(text);
    return text;
}

const char* FixName(TFixType fix) {
    switch (fix) {
        case TFixType::TwoD:
            return "2d";
        case TFixType::ThreeD:
            return "3d";
        case TFixType::DGPS:
            return "dgps";
        default:
            return nullptr;
    }
}

}  // namespace

std::string FormatFixed(double value, int decimals) {
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ptr);
    DropNegativeZero(text);
    return text;
}

std::string FormatDecimal(double value) {
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    DropNegativeZero(text);
    return text;
}

std::string FormatTime(double dayCount) {
    tk::TClockFields f;
    if (!tk::ClockFieldsFromDayCount(dayCount, f)) {
        return "0001-01-01T00:00:00Z";
    }
    char text[48];
    int n = std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned{f.year},
                          unsigned{f.month}, unsigned{f.day}, unsigned{f.hour}, unsigned{f.minute},
                          unsigned{f.second});
    std::string result(text, static_cast<size_t>(n));
    if (f.milliseconds != 0) {
        n = std::snprintf(text, sizeof text, ".%03u", unsigned{f.milliseconds});
        result.append(text, static_cast<size_t>(n));
        while (result.back() == '0') {
            result.pop_back();
        }
    }
    return result + "Z";
}

bool TGpxTrack::Create(const std::string& path, bool overwrite, const std::string& creator) {
    Close();
    path_ = path;
    error_.clear();
    pending_.clear();
    xml_.Reset();
    closing_.clear();
    tail_ = 0;
    points_ = 0;
    inSegment_ = false;
    breakSegment_ = false;
    std::string reason;
    if (!file_.Create(path, overwrite, reason)) {
        error_ = "cannot create " + path + ": " + reason;
        return false;
    }
    xml_.Declaration();
    xml_.Start("gpx", {{"version", "1.1"},
                       {"creator", creator},
                       {"xmlns", kGpxNamespace},
                       {"xmlns:palmo", kExtensionNamespace}});
    return Commit();
}

void TGpxTrack::WritePoint(const TTrackPoint& p) {
    // Longitude 180 is written as -180: the schema's range ends before it.
    double lon = std::round(p.LonDeg * 1e9) / 1e9;
    if (lon >= 180.0) {
        lon -= 360.0;
    }
    xml_.Start("trkpt", {{"lat", FormatFixed(p.LatDeg, 9)}, {"lon", FormatFixed(lon, 9)}});
    if (p.Elevation) {
        xml_.TextElement("ele", FormatRounded(*p.Elevation, 6));
    }
    xml_.TextElement("time", FormatTime(p.Time));
    if (p.GeoidHeight) {
        xml_.TextElement("geoidheight", FormatRounded(*p.GeoidHeight, 6));
    }
    if (const char* fix = FixName(p.Fix)) {
        xml_.TextElement("fix", fix);
    }
    if (p.Satellites && *p.Satellites >= 0) {
        xml_.TextElement("sat", std::to_string(*p.Satellites));
    }
    if (p.Hdop) {
        xml_.TextElement("hdop", FormatRounded(*p.Hdop, 6));
    }
    if (p.Vdop) {
        xml_.TextElement("vdop", FormatRounded(*p.Vdop, 6));
    }
    if (p.Pdop) {
        xml_.TextElement("pdop", FormatRounded(*p.Pdop, 6));
    }
    if (p.AgeOfDgps) {
        xml_.TextElement("ageofdgpsdata", FormatRounded(*p.AgeOfDgps, 6));
    }
    if (p.DgpsStation && *p.DgpsStation >= 0 && *p.DgpsStation <= 1023) {
        xml_.TextElement("dgpsid", std::to_string(*p.DgpsStation));
    }
    if (p.SpeedMps || p.CourseDeg) {
        xml_.Start("extensions");
        if (p.SpeedMps) {
            xml_.TextElement("palmo:speed", FormatRounded(*p.SpeedMps, 3));
        }
        if (p.CourseDeg) {
            xml_.TextElement("palmo:course", FormatRounded(*p.CourseDeg, 6));
        }
        xml_.End();
    }
    xml_.End();
}

bool TGpxTrack::AddPoint(const TTrackPoint& point) {
    if (!IsOpen() || Failed()) {
        return false;
    }
    if (!std::isfinite(point.LatDeg) || !std::isfinite(point.LonDeg) ||
        !std::isfinite(point.Time)) {
        return true;  // no place to put it
    }
    const double gap = (point.Time - lastTime_) * 86400.0;
    if (inSegment_ && (breakSegment_ || gap > kMaxGapSeconds || gap < 0.0)) {
        xml_.End();
        inSegment_ = false;
    }
    if (points_ == 0 && xml_.Depth() == 1) {
        xml_.Start("trk");
        xml_.TextElement("name", FormatTime(point.Time));
    }
    if (!inSegment_) {
        xml_.Start("trkseg");
        inSegment_ = true;
    }
    breakSegment_ = false;
    WritePoint(point);
    if (!Commit()) {
        return false;
    }
    ++points_;
    lastTime_ = point.Time;
    return true;
}

bool TGpxTrack::Commit() {
    std::string closing = xml_.EndTags();
    std::string bytes = pending_ + closing;
    std::string reason;
    if (!file_.WriteAt(tail_, bytes, reason)) {
        error_ = "cannot write " + path_ + ": " + reason;
        // Whatever part of the new text reached the disk is covered by the
        // closing tags it replaced, and cut off behind them: the blocks
        // they take were the file's already, so this needs no new space.
        std::string ignored;
        if (file_.WriteAt(tail_, closing_, ignored)) {
            file_.Truncate(tail_ + closing_.size(), ignored);
        }
        file_.Close();
        return false;
    }
    tail_ += pending_.size();
    closing_ = std::move(closing);
    pending_.clear();
    return true;
}

void TGpxTrack::Close() {
    file_.Close();
}

}  // namespace record
