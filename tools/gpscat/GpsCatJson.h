// gpscat's output: one JSON object a line for each receiver event, the
// receiver's whole state for --summary, and the program's own events.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "gps/GPS.h"
#include "gps/LineEvents.h"
#include "tools/gpscat/JsonLine.h"

namespace gpscat {

// A day count (days since 1899-12-30) as YYYY-MM-DDTHH:MM:SSZ, to the nearest
// second; empty for a value the calendar does not reach.
std::string IsoTime(double dayCount);

// Writes each event of a line as its JSON line: OnFixLoss, OnError,
// OnSentence, OnValidFix, OnFixProgress, OnFixQuality and (when asked for)
// OnSatellites, reading the fix from the decoder in the given units.
class TEventWriter : public gps::TLineEventSink {
  public:
    TEventWriter(std::string& out, const gps::TNmeaDecoder& decoder, const gps::TFixUnits& units,
                 bool satellites)
        : out_(out), decoder_(decoder), units_(units), satellites_(satellites) {}

    bool RaiseFixLoss() override;
    bool RaiseError(const std::string& message) override;
    bool RaiseSentence(const std::string& id, const gps::TDataArray& fields) override;
    bool RaiseValidFix() override;
    bool RaiseFixProgress(const std::string& name, int32_t dim) override;
    bool RaiseFixQuality(const std::string& name, int32_t quality) override;
    void RaiseSatellites(const gps::TSatelliteList& list) override;

  private:
    std::string& out_;
    const gps::TNmeaDecoder& decoder_;
    const gps::TFixUnits& units_;
    bool satellites_;
};

// The writer as a listener of a decoder: gpscat's file mode.
class TEventListener : public gps::TNmeaListener {
  public:
    TEventListener(std::string& out, const gps::TNmeaDecoder& decoder, const gps::TFixUnits& units,
                   bool satellites)
        : writer_(out, decoder, units, satellites) {}
    void LineProcessed(const gps::TNmeaDecoder& decoder, const gps::TLineReport& report) override {
        gps::RaiseLineEvents(decoder, report, writer_);
    }

  private:
    TEventWriter writer_;
};

// Assigns the receiver's six events (and with satellites OnSatellites) so
// that each appends its JSON line to out: gpscat's port mode.
void AttachEventWriters(gps::TGPS& gps, std::string& out, bool satellites = false);

// The receiver's whole state as one line ({"event":"State",...}); in the
// GNSS dialect with the satellites.
void AppendState(std::string& out, const gps::TNmeaDecoder& decoder, const gps::TFixUnits& units);

// A line of the program's own: {"event":NAME}, or with the port and its path.
void AppendEvent(std::string& out, std::string_view name);
void AppendDeviceEvent(std::string& out, std::string_view name, uint16_t port,
                       const std::string& path);

}  // namespace gpscat
