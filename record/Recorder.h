// One recording: a GPX track, a raw NMEA log, or both, fed with what the
// receiver reads. A write error stops the whole recording with a message
// (OnFailure) and leaves both files as they were before it; the receiver
// that feeds it is never stopped by it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "record/GpxTrack.h"
#include "record/NmeaLog.h"
#include "record/TrackBuilder.h"

namespace record {

struct TRecordOptions {
    std::string GpxPath;        // the track; empty for none
    std::string NmeaPath;       // the raw log; empty for none
    bool AcceptedOnly = false;  // the raw log keeps only sentences that passed the checksum
    bool Overwrite = false;     // existing files are replaced instead of refused
    std::string Creator;        // named in the track; empty: "PalmoGPS" and its version
};

// The NMEA log's name beside a track: the same name with ".nmea".
std::string NmeaPathFor(const std::string& gpxPath);

class TRecorder {
  public:
    ~TRecorder() { Stop(); }

    // Creates the files. False, with Error() and nothing recording, when
    // one of them cannot be created (the other is then not left behind).
    bool Start(const TRecordOptions& options);
    // Finishes a waiting point, writes the log out and closes the files.
    void Stop();
    bool Recording() const { return recording_; }
    const TRecordOptions& Options() const { return options_; }
    uint64_t Points() const { return track_.Points(); }
    uint64_t LogBytes() const { return log_.Bytes(); }
    // Why recording could not start, or why it stopped; empty when it did not fail.
    const std::string& Error() const { return error_; }

    // Raised once when a write fails; recording has stopped by then.
    std::function<void(const std::string& message)> OnFailure;

    // The receiver's input, as its decoder sees it. nowMs is a monotonic
    // millisecond clock.
    void Bytes(std::string_view bytes, uint32_t nowMs);
    void Line(std::string_view line, bool accepted, uint32_t nowMs);
    void Fix(const TRmcFix& fix) {
        Feed([&] { builder_.Fix(fix); });
    }
    void Gga(const TGgaData& gga) {
        Feed([&] { builder_.Gga(gga); });
    }
    void Gsa(const TGsaData& gsa) { builder_.Gsa(gsa); }
    void FixLost() {
        Feed([&] { builder_.FixLost(); });
    }
    // The data stopped: a waiting point is written and the log flushed.
    void Silence();
    // The owner's timer, at least every TNmeaLog::kPollMs while recording.
    void Tick(uint32_t nowMs);

  private:
    template <typename F>
    void Feed(F f) {
        if (recording_ && track_.IsOpen()) {
            f();
        }
    }
    void Fail(const std::string& message);

    TRecordOptions options_;
    TGpxTrack track_;
    TNmeaLog log_;
    TTrackBuilder builder_;
    bool recording_ = false;
    std::string error_;
};

}  // namespace record
