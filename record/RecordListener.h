// Feeds a recording from a decoder: the bytes as they came, each line, and
// from the accepted RMC, GGA and GSA lines the fields of the track points.
// Attached for as long as it lives.
#pragma once

#include <cstdint>
#include <functional>

#include "gps/NmeaDecoder.h"
#include "record/Recorder.h"

namespace record {

class TRecordListener : public gps::TNmeaListener {
  public:
    // clock: a monotonic millisecond clock for the log's flush delay.
    TRecordListener(gps::TNmeaDecoder& decoder, TRecorder& recorder,
                    std::function<uint32_t()> clock = {});
    ~TRecordListener() override;
    TRecordListener(const TRecordListener&) = delete;
    TRecordListener& operator=(const TRecordListener&) = delete;

    void BytesReceived(const gps::TNmeaDecoder& decoder, std::string_view bytes) override;
    void LineProcessed(const gps::TNmeaDecoder& decoder, const gps::TLineReport& report) override;
    void Silence(const gps::TNmeaDecoder& decoder) override;

  private:
    uint32_t Now() const;

    gps::TNmeaDecoder& decoder_;
    TRecorder& recorder_;
    std::function<uint32_t()> clock_;
};

}  // namespace record
