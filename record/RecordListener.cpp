#include "record/RecordListener.h"

#include <cmath>

#include "toolkit/Clock.h"

namespace record {

TRecordListener::TRecordListener(gps::TNmeaDecoder& decoder, TRecorder& recorder,
                                 std::function<uint32_t()> clock)
    : decoder_(decoder), recorder_(recorder), clock_(std::move(clock)) {
    decoder_.AddListener(this);
}

TRecordListener::~TRecordListener() {
    decoder_.RemoveListener(this);
}

uint32_t TRecordListener::Now() const {
    return clock_ ? clock_() : tk::MonotonicMs();
}

void TRecordListener::BytesReceived(const gps::TNmeaDecoder&, std::string_view bytes) {
    recorder_.Bytes(bytes, Now());
}

void TRecordListener::LineProcessed(const gps::TNmeaDecoder& decoder,
                                    const gps::TLineReport& report) {
    recorder_.Line(report.Line, report.Accepted, Now());
    if (!recorder_.Recording()) {
        return;
    }
    const TFields fields(decoder.Fields());
    if (report.Accepted && report.Kind == gps::TSentenceKind::GGA) {
        TGgaData gga;
        if (ParseGga(fields, gga)) {
            recorder_.Gga(gga);
        }
    } else if (report.Accepted && report.Kind == gps::TSentenceKind::GSA) {
        TGsaData gsa;
        if (ParseGsa(fields, gsa)) {
            recorder_.Gsa(gsa);
        }
    }
    if (report.FixLost) {
        recorder_.FixLost();
    }
    if (report.ValidFix) {
        // The decoder's own values, so that the track holds exactly the
        // fixes its events report; the time field only pairs the epoch's GGA.
        TRmcFix fix;
        fix.Time = decoder.ClockTime();
        fix.TimeOfDayMs = TimeOfDayMs(fields.size() > 1 ? fields[1] : std::string());
        fix.LatDeg = decoder.LatDeg();
        fix.LonDeg = decoder.LonDeg();
        if (!std::isnan(decoder.SpeedKnots())) {
            fix.SpeedKnots = decoder.SpeedKnots();
        }
        if (!std::isnan(decoder.COG())) {
            fix.CourseDeg = decoder.COG();
        }
        recorder_.Fix(fix);
    }
}

void TRecordListener::Silence(const gps::TNmeaDecoder&) {
    recorder_.Silence();
}

}  // namespace record
