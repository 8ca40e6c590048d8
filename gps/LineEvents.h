// The events of one processed line, in their fixed order: fix loss, error,
// sentence, valid fix, fix progress, fix quality, then the satellites in
// view. The receiver component raises them as its events; gpscat writes
// them as JSON; both from the decoder's report through one function.
#pragma once

#include "gps/NmeaDecoder.h"

namespace gps {

// Raises on the sink the events of the line the report tells of. The sink
// has, each returning false to end the line's events (its receiver is
// gone): RaiseFixLoss(), RaiseError(message), RaiseSentence(id, fields),
// RaiseValidFix(), RaiseFixProgress(name, dim), RaiseFixQuality(name,
// quality), and void RaiseSatellites(list). A template, so that the
// receiver's path makes no virtual calls.
template <typename TSink>
void RaiseLineEvents(const TNmeaDecoder& d, const TLineReport& report, TSink& sink) {
    if (report.FixLost && !sink.RaiseFixLoss()) {
        return;
    }
    if (!report.Result) {
        if (!sink.RaiseError(d.ErrorText())) {
            return;
        }
    } else {
        // Only an RMC that decoded whole reports a fix, and a line that failed
        // no change: its values are not to be trusted.
        if (!sink.RaiseSentence(d.Fields()[0], d.Fields()) ||
            (report.ValidFix && !sink.RaiseValidFix()) ||
            (report.ProgressChanged &&
             !sink.RaiseFixProgress(FixDimName(d.FixDim()), d.FixDim())) ||
            (report.QualityChanged &&
             !sink.RaiseFixQuality(QualityName(d.FixQuality(), d.Dialect()), d.FixQuality()))) {
            return;
        }
    }
    if (report.SatellitesChanged) {
        sink.RaiseSatellites(d.SatellitesInView());
    }
}

}  // namespace gps
