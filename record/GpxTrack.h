// A GPX 1.1 track written point by point so that a crash never costs it:
// after each point the file is a whole, valid document. Each point is
// written over the closing tags of the document before it, followed by the
// closing tags again, in one write, straight to the operating system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "record/RecordFile.h"
#include "record/XmlWriter.h"

namespace record {

// The kind of fix of a point, as GPX names it ("none" is never written).
enum class TFixType { Unknown, TwoD, ThreeD, DGPS };

struct TTrackPoint {
    double Time = 0.0;  // UTC day count since 1899-12-30, with the fraction of its second
    double LatDeg = 0.0;
    double LonDeg = 0.0;
    std::optional<double> Elevation;    // metres above mean sea level
    std::optional<double> GeoidHeight;  // metres of the geoid above the ellipsoid
    TFixType Fix = TFixType::Unknown;
    std::optional<int32_t> Satellites;  // used in the fix
    std::optional<double> Hdop;
    std::optional<double> Vdop;
    std::optional<double> Pdop;
    std::optional<double> AgeOfDgps;     // seconds
    std::optional<int32_t> DgpsStation;  // 0 to 1023
    std::optional<double> SpeedMps;      // over ground
    std::optional<double> CourseDeg;     // over ground, true
};

// The namespace of the speed and course extension elements.
inline constexpr char kExtensionNamespace[] = "urn:palmogps:gpx:1";

// A coordinate or other number as decimal text: Fixed with exactly that
// many decimals, Decimal the shortest text that reads back as the value
// (never an exponent, as xsd:decimal wants). Independent of the C locale.
std::string FormatFixed(double value, int decimals);
std::string FormatDecimal(double value);
// A day count as xsd:dateTime in UTC, to the millisecond, with the fraction
// only when there is one: 2024-06-15T10:15:05Z, 2024-06-15T10:15:05.25Z.
std::string FormatTime(double dayCount);

class TGpxTrack {
  public:
    // A gap between points longer than this starts a new segment.
    static constexpr double kMaxGapSeconds = 10.0;

    // Creates the file (see TRecordFile::Create) and writes a GPX document
    // with no track yet; the track and its name (the first point's time)
    // come with the first point. creator is the program and its version.
    bool Create(const std::string& path, bool overwrite, const std::string& creator);
    // Writes one point; a fix loss (BreakSegment) or a gap of more than
    // kMaxGapSeconds, or time going backwards, closes the segment first.
    // False once writing failed: Error() says why, and nothing is written
    // any more; the file is left holding the points before the failure.
    bool AddPoint(const TTrackPoint& point);
    // The next point starts a new segment.
    void BreakSegment() { breakSegment_ = true; }
    void Close();

    bool IsOpen() const { return file_.IsOpen(); }
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }
    uint64_t Points() const { return points_; }
    const std::string& Path() const { return path_; }
    // Bytes in the file, the closing tags included.
    uint64_t Size() const { return tail_ + closing_.size(); }

  private:
    void WritePoint(const TTrackPoint& point);
    // Writes pending_ and the closing tags at tail_; on success the pending
    // text becomes part of the document.
    bool Commit();

    TRecordFile file_;
    std::string path_;
    std::string pending_;  // written by xml_ since the last commit
    TXmlWriter xml_{pending_};
    std::string closing_;  // the closing tags now on disk at tail_
    uint64_t tail_ = 0;    // where the closing tags start
    uint64_t points_ = 0;
    bool inSegment_ = false;
    bool breakSegment_ = false;
    double lastTime_ = 0.0;
    std::string error_;
};

}  // namespace record
