// Shared pieces of the receiver tests: a character source over a byte
// string, checksummed lines, and a recorder of the receiver's events.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "serial/CharSource.h"
#include "gps/GPS.h"

namespace gpstest {

// Hands out the bytes of a string like a port hands out received characters.
class TBufferSource : public gps::TNmeaCharSource {
  public:
    explicit TBufferSource(std::string data = {}) : data_(std::move(data)) {}
    char ReceiveChar() override {
        if (pos_ >= data_.size()) {
            throw std::out_of_range("no character waiting");
        }
        return data_[pos_++];
    }
    bool Open() const override { return open_; }
    void SetOpen(bool open) { open_ = open; }
    void Append(std::string_view bytes) { data_.append(bytes); }
    size_t Waiting() const { return data_.size() - pos_; }
    // Every character taken counts as arrived at this moment (none: unknown).
    void SetArrival(const TArrivalTime& t) { arrival_ = t; }
    bool CharArrival(uint32_t, TArrivalTime& out) override {
        if (!arrival_.Known()) {
            return false;
        }
        out = arrival_;
        return true;
    }

  private:
    std::string data_;
    size_t pos_ = 0;
    bool open_ = true;
    TArrivalTime arrival_;
};

// Feeds bytes to the receiver in chunks of the given size, as trigger events would.
inline void Feed(gps::TGPS& gps, std::string_view bytes, size_t chunk = 64) {
    TBufferSource source{std::string(bytes)};
    while (source.Waiting() > 0) {
        const size_t n = std::min(chunk, source.Waiting());
        gps.PortTriggerAvail(source, static_cast<uint16_t>(n));
    }
}

// The same, each line come off a port at the moment given.
inline void FeedArrived(gps::TGPS& gps, std::string_view bytes, const TArrivalTime& arrival) {
    TBufferSource source{std::string(bytes)};
    source.SetArrival(arrival);
    gps.PortTriggerAvail(source, static_cast<uint16_t>(source.Waiting()));
}

// "$" + payload + "*" + the two upper-case hex digits of the XOR of the payload.
inline std::string Sentence(std::string_view payload) {
    unsigned sum = 0;
    for (const char c : payload) {
        sum ^= static_cast<unsigned char>(c);
    }
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return "$" + std::string(payload) + "*" + hex;
}

// Records every event of a receiver as one text each, in the order raised.
struct TEventLog {
    std::vector<std::string> events;

    explicit TEventLog(gps::TGPS& gps) {
        gps.OnSentence = [this](gps::TGPS&, const std::string& id, const gps::TDataArray&) {
            events.push_back("Sentence " + id);
        };
        gps.OnValidFix = [this](gps::TGPS&, double lat, double lon, double sog, double cog) {
            char text[160];
            std::snprintf(text, sizeof text, "ValidFix %.6f %.6f %.4f %.2f", lat, lon, sog, cog);
            events.emplace_back(text);
        };
        gps.OnFixLoss = [this](gps::TGPS&) { events.emplace_back("FixLoss"); };
        gps.OnFixProgress = [this](gps::TGPS&, const std::string& name, int32_t dim) {
            events.push_back("FixProgress " + name + " " + std::to_string(dim));
        };
        gps.OnFixQuality = [this](gps::TGPS&, const std::string& name, int32_t q) {
            events.push_back("FixQuality " + name + " " + std::to_string(q));
        };
        gps.OnError = [this](gps::TGPS&, const std::string& msg) {
            events.push_back("Error " + msg);
        };
    }
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(events);
        return out;
    }
};

}  // namespace gpstest
