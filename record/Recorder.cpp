#include "record/Recorder.h"

#include "PalmoVersion.h"

namespace record {

std::string NmeaPathFor(const std::string& gpxPath) {
    const size_t slash = gpxPath.find_last_of("/\\");
    const size_t dot = gpxPath.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? gpxPath.substr(0, dot) : gpxPath) + ".nmea";
}

bool TRecorder::Start(const TRecordOptions& options) {
    Stop();
    options_ = options;
    error_.clear();
    builder_ = TTrackBuilder();
    builder_.OnPoint = [this](const TTrackPoint& p) {
        if (!track_.AddPoint(p)) {
            Fail(track_.Error());
        }
    };
    builder_.OnBreak = [this] { track_.BreakSegment(); };
    const std::string creator =
        options.Creator.empty() ? std::string("PalmoGPS ") + palmo::kVersion : options.Creator;
    if (!options.GpxPath.empty() && !track_.Create(options.GpxPath, options.Overwrite, creator)) {
        error_ = track_.Error();
        track_.Close();
        return false;
    }
    if (!options.NmeaPath.empty() && !log_.Create(options.NmeaPath, options.Overwrite)) {
        error_ = log_.Error();
        // The track made a moment ago goes too: a failed start leaves nothing behind.
        if (track_.IsOpen()) {
            track_.Close();
            TRecordFile::Remove(options.GpxPath);
        }
        log_.Close();
        return false;
    }
    recording_ = true;
    return true;
}

void TRecorder::Stop() {
    if (!recording_) {
        return;
    }
    builder_.Flush();
    if (recording_ && log_.IsOpen() && !log_.Close()) {
        Fail(log_.Error());
    }
    recording_ = false;
    track_.Close();
    log_.Close();
}

void TRecorder::Fail(const std::string& message) {
    if (!recording_) {
        return;
    }
    recording_ = false;
    error_ = message;
    track_.Close();
    log_.Close();
    if (OnFailure) {
        OnFailure(message);
    }
}

void TRecorder::Bytes(std::string_view bytes, uint32_t nowMs) {
    if (recording_ && log_.IsOpen() && !options_.AcceptedOnly && !log_.Append(bytes, nowMs)) {
        Fail(log_.Error());
    }
}

void TRecorder::Line(std::string_view line, bool accepted, uint32_t nowMs) {
    if (recording_ && log_.IsOpen() && options_.AcceptedOnly && accepted &&
        !log_.AppendLine(line, nowMs)) {
        Fail(log_.Error());
    }
}

void TRecorder::Silence() {
    Feed([&] { builder_.Flush(); });
    if (recording_ && log_.IsOpen() && !log_.Flush()) {
        Fail(log_.Error());
    }
}

void TRecorder::Tick(uint32_t nowMs) {
    if (recording_ && log_.IsOpen() && !log_.Poll(nowMs)) {
        Fail(log_.Error());
    }
}

}  // namespace record
