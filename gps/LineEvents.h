// The events of one processed line, in their fixed order: fix loss, error,
// sentence, valid fix, fix progress, fix quality, then the satellites in
// view. The receiver component raises them as its events; gpscat writes
// them as JSON; both from the decoder's report through one function.
#pragma once

#include <cstdint>
#include <string>

#include "gps/NmeaDecoder.h"

namespace gps {

// Each event returns false to end the line's events (its receiver is gone).
class TLineEventSink {
  public:
    virtual ~TLineEventSink() = default;
    virtual bool RaiseFixLoss() { return true; }
    virtual bool RaiseError(const std::string& message) {
        (void)message;
        return true;
    }
    virtual bool RaiseSentence(const std::string& id, const TDataArray& fields) {
        (void)id;
        (void)fields;
        return true;
    }
    virtual bool RaiseValidFix() { return true; }
    virtual bool RaiseFixProgress(const std::string& name, int32_t dim) {
        (void)name;
        (void)dim;
        return true;
    }
    virtual bool RaiseFixQuality(const std::string& name, int32_t quality) {
        (void)name;
        (void)quality;
        return true;
    }
    virtual void RaiseSatellites(const TSatelliteList& list) { (void)list; }
};

// Raises on the sink the events of the line the report tells of.
void RaiseLineEvents(const TNmeaDecoder& decoder, const TLineReport& report, TLineEventSink& sink);

}  // namespace gps
