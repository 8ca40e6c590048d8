// What the share servers serve, made from the decoder's reports: a TPV per
// epoch, a SKY per completed GSV group (and when satellites drop out or the
// data stops), and every accepted sentence as it arrived.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gps/NmeaDecoder.h"
#include "share/Protocol.h"

namespace share {

class TServer;

class TShareFeed : public gps::TNmeaListener {
  public:
    // A server to publish to (not owned; remove it, or drop the feed, before
    // it goes). Its device description is set at once.
    void AddServer(TServer* server);
    void RemoveServer(TServer* server);

    // The device served. DataSeen is set by the feed itself once bytes come.
    void SetDevice(const TDeviceInfo& device);
    const TDeviceInfo& Device() const { return device_; }

    // Also told each report as it is published (tests, and programs that
    // serve in other ways); called only when assigned.
    std::function<void(const TTpv&)> OnTpv;
    std::function<void(const TSky&)> OnSky;

    void BytesReceived(const gps::TNmeaDecoder& decoder, std::string_view bytes) override;
    void LineProcessed(const gps::TNmeaDecoder& decoder, const gps::TLineReport& report) override;
    void Silence(const gps::TNmeaDecoder& decoder) override;

  private:
    // The fix part of the last GGA that decoded whole.
    struct TGga {
        double secondOfDay = -1;  // its time field; -1 when it had none
        int32_t quality = 0;
        std::optional<double> altMSL;
        std::optional<double> geoidSep;
        std::optional<double> lat;
        std::optional<double> lon;
    };
    void TakeGga(const gps::TNmeaDecoder& decoder);
    TTpv RmcTpv(const gps::TNmeaDecoder& decoder);
    TTpv GgaTpv(const gps::TNmeaDecoder& decoder) const;
    // The GGA's altitude and status when it belongs to the epoch at
    // secondOfDay (this one, or the one before when the receiver sends its
    // RMC first).
    void AddGga(TTpv& tpv, double secondOfDay) const;
    void PublishTpv(const TTpv& tpv);
    void PublishSky(const gps::TNmeaDecoder& decoder);

    std::vector<TServer*> servers_;
    TDeviceInfo device_;
    std::optional<TGga> gga_;
    bool rmcSeen_ = false;  // since the data last stopped: the RMC drives the TPV
    double rmcDay_ = 0;     // the date of the last RMC that had one (a day count)
};

}  // namespace share
