// Pieces shared by the fuzzers: a fatal check, a character source over the
// fuzz bytes and the invariants of a receiver's satellite lists.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gps/GPS.h"

namespace fuzz {

// A property that does not hold ends the run as a finding.
inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The fuzz bytes as a port's waiting characters.
class TFuzzSource : public gps::TNmeaCharSource {
  public:
    TFuzzSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    char ReceiveChar() override {
        Check(pos_ < size_);  // the receiver took more than it was offered
        return static_cast<char>(data_[pos_++]);
    }
    // A block up to the stop character, as the port's ring hands it out.
    size_t ReceiveBlock(char* dest, size_t max, char stop) override {
        if (!blocks_) {
            return TCharSource::ReceiveBlock(dest, max, stop);
        }
        Check(max <= size_ - pos_);  // the receiver asked for more than it was offered
        const void* hit = std::memchr(data_ + pos_, stop, max);
        const size_t n =
            hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - (data_ + pos_)) + 1 : max;
        std::memcpy(dest, data_ + pos_, n);
        pos_ += n;
        return n;
    }
    bool Open() const override { return open_; }
    void SetOpen(bool open) { open_ = open; }
    void SetBlocks(bool blocks) { blocks_ = blocks; }
    size_t Waiting() const { return size_ - pos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool open_ = true;
    bool blocks_ = false;
};

// The used satellites are sorted and unique, FixSatSet has a bit for each of
// their numbers up to 31 and no other bit from 1 to 31, and the satellites in
// view (when given) are sorted, one entry each, marked used from that list.
inline void CheckSatellites(const gps::TGPS& g, const gps::TSatelliteList* inView) {
    const gps::TSatelliteIdList& used = g.UsedSatellites();
    Check(std::is_sorted(used.begin(), used.end()));
    Check(std::adjacent_find(used.begin(), used.end()) == used.end());
    uint32_t bits = 0;
    for (const gps::TSatelliteId& id : used) {
        Check(id.PRN > 0);
        if (id.PRN <= 31) {
            bits |= uint32_t{1} << id.PRN;
        }
    }
    Check((g.FixSatSet() & ~uint32_t{1}) == bits);
    if (inView == nullptr) {
        return;
    }
    const gps::TSatelliteList& list = *inView;
    for (size_t i = 0; i < list.size(); ++i) {
        const gps::TSatelliteId id{list[i].System, list[i].PRN};
        if (i > 0) {
            Check(gps::TSatelliteId{list[i - 1].System, list[i - 1].PRN} < id);
        }
        Check(list[i].Used == std::binary_search(used.begin(), used.end(), id));
    }
}

}  // namespace fuzz
