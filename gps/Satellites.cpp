#include "gps/Satellites.h"

#include <algorithm>
#include <array>

#include "gps/NMEA.h"

namespace gps {

namespace {

bool In(int32_t n, int32_t low, int32_t high) {
    return n >= low && n <= high;
}

// An optional whole-number field: empty gives no value; false for any
// other text that is not an integer.
bool OptionalInteger(const std::string& field, std::optional<int32_t>& value) {
    value.reset();
    if (field.empty()) {
        return true;
    }
    int32_t n = 0;
    if (!ParseInteger(field, n)) {
        return false;
    }
    value = n;
    return true;
}

// No value counts as weaker than any.
bool Stronger(const std::optional<int32_t>& a, const std::optional<int32_t>& b) {
    return a.has_value() && (!b.has_value() || *a > *b);
}

}  // namespace

const std::string& GnssSystemName(TGnssSystem s) {
    static const std::array<std::string, 8> names = {"GPS",    "SBAS", "GLONASS", "Galileo",
                                                     "BeiDou", "QZSS", "NavIC",   "Unknown"};
    const auto i = static_cast<size_t>(s);
    return i < names.size() ? names[i] : names.back();
}

TGnssSystem GnssSystemOf(std::string_view talker, int32_t prn) {
    if (talker == "GP") {
        if (In(prn, 33, 64)) {
            return TGnssSystem::SBAS;
        }
        if (In(prn, 193, 202)) {
            return TGnssSystem::QZSS;
        }
        return TGnssSystem::GPS;
    }
    if (talker == "GL") {
        return TGnssSystem::GLONASS;
    }
    if (talker == "GA") {
        return TGnssSystem::Galileo;
    }
    if (talker == "GB" || talker == "BD") {
        return TGnssSystem::BeiDou;
    }
    if (talker == "GQ" || talker == "QZ") {
        return TGnssSystem::QZSS;
    }
    if (talker == "GI") {
        return TGnssSystem::NavIC;
    }
    // GN and unknown talkers: the numbering of multi-system receivers
    // (NMEA 4.0 and the u-blox extended ranges).
    if (In(prn, 1, 32)) {
        return TGnssSystem::GPS;
    }
    if (In(prn, 33, 64) || In(prn, 120, 158)) {
        return TGnssSystem::SBAS;
    }
    if (In(prn, 65, 96)) {
        return TGnssSystem::GLONASS;
    }
    if (In(prn, 193, 202)) {
        return TGnssSystem::QZSS;
    }
    if (In(prn, 301, 336)) {
        return TGnssSystem::Galileo;
    }
    if (In(prn, 159, 163) || In(prn, 401, 437)) {
        return TGnssSystem::BeiDou;
    }
    return TGnssSystem::Unknown;
}

TGnssSystem GnssSystemOfId(int32_t systemId, int32_t prn) {
    switch (systemId) {
        case 1:
            return GnssSystemOf("GP", prn);
        case 2:
            return TGnssSystem::GLONASS;
        case 3:
            return TGnssSystem::Galileo;
        case 4:
            return TGnssSystem::BeiDou;
        case 5:
            return TGnssSystem::QZSS;
        case 6:
            return TGnssSystem::NavIC;
        default:
            return TGnssSystem::Unknown;
    }
}

void AddSatelliteId(TSatelliteIdList& list, TSatelliteId id) {
    const auto at = std::lower_bound(list.begin(), list.end(), id);
    if (at == list.end() || *at != id) {
        list.insert(at, id);
    }
}

bool TSatellitesInView::Add(std::span<const std::string> fields, size_t fieldCount, uint32_t nowMs,
                            const TSatelliteIdList& used) {
    if (fields.size() < 5) {
        return false;
    }
    const std::string_view talker = std::string_view(fields[0]).substr(0, 2);
    int32_t total = 0;
    int32_t message = 0;
    // Four fields a satellite after the first four; one more is the signal ID.
    const size_t rest = fieldCount > 4 ? fieldCount - 4 : 0;
    const size_t count = rest / 4;
    if (fieldCount > fields.size() || !ParseInteger(fields[1], total) ||
        !ParseInteger(fields[2], message) || total < 1 || total > 99 || message < 1 ||
        message > total) {
        DropPending(talker);
        return false;
    }
    std::string key(talker);
    if (rest % 4 == 1) {
        key += fields[4 + 4 * count];
    }
    // An unfinished group not continued within the drop-out time is dead.
    std::erase_if(pending_, [&](const TGroup& g) { return nowMs - g.heardMs >= kDropOutMs; });
    auto group = std::find_if(pending_.begin(), pending_.end(),
                              [&](const TGroup& g) { return g.key == key; });
    if (message == 1) {
        if (group == pending_.end()) {
            if (pending_.size() >= kMaxGroups) {
                pending_.erase(pending_.begin());  // the one started longest ago
            }
            group = pending_.insert(pending_.end(), TGroup{});
            group->key = key;
        }
        group->total = total;
        group->next = 1;
        group->satellites.clear();
    } else if (group == pending_.end() || group->total != total || group->next != message) {
        if (group != pending_.end()) {
            pending_.erase(group);
        }
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t at = 4 + 4 * i;
        if (fields[at].empty()) {
            continue;  // padding of a short last message
        }
        TSatellite sat;
        if (!ParseInteger(fields[at], sat.PRN) || !OptionalInteger(fields[at + 1], sat.Elevation) ||
            !OptionalInteger(fields[at + 2], sat.Azimuth) ||
            !OptionalInteger(fields[at + 3], sat.SNR)) {
            DropPending(talker);
            return false;
        }
        sat.System = GnssSystemOf(talker, sat.PRN);
        group->satellites.push_back(sat);
    }
    group->next = message + 1;
    group->heardMs = nowMs;
    if (message != total) {
        return false;
    }
    auto part =
        std::find_if(parts_.begin(), parts_.end(), [&](const TGroup& g) { return g.key == key; });
    if (part == parts_.end()) {
        if (parts_.size() >= kMaxGroups) {
            parts_.erase(std::max_element(parts_.begin(), parts_.end(),
                                          [&](const TGroup& a, const TGroup& b) {
                                              return nowMs - a.heardMs < nowMs - b.heardMs;
                                          }));
        }
        parts_.push_back(std::move(*group));
    } else {
        *part = std::move(*group);
    }
    pending_.erase(group);
    std::erase_if(parts_, [&](const TGroup& g) { return nowMs - g.heardMs >= kDropOutMs; });
    Rebuild(used);
    return true;
}

bool TSatellitesInView::DropOut(uint32_t nowMs, const TSatelliteIdList& used) {
    if (std::erase_if(parts_, [&](const TGroup& g) { return nowMs - g.heardMs >= kDropOutMs; }) ==
        0) {
        return false;
    }
    Rebuild(used);
    return true;
}

void TSatellitesInView::Clear() {
    pending_.clear();
    parts_.clear();
    list_.clear();
}

void TSatellitesInView::Rebuild(const TSatelliteIdList& used) {
    list_.clear();
    for (const TGroup& part : parts_) {
        list_.insert(list_.end(), part.satellites.begin(), part.satellites.end());
    }
    // Strongest SNR first within each satellite, then one entry each; a
    // position only another signal's entry carries is kept.
    std::stable_sort(list_.begin(), list_.end(), [](const TSatellite& a, const TSatellite& b) {
        if (a.System != b.System) {
            return a.System < b.System;
        }
        if (a.PRN != b.PRN) {
            return a.PRN < b.PRN;
        }
        return Stronger(a.SNR, b.SNR);
    });
    size_t out = 0;
    for (size_t i = 0; i < list_.size(); ++i) {
        if (out > 0 && list_[out - 1].System == list_[i].System &&
            list_[out - 1].PRN == list_[i].PRN) {
            TSatellite& kept = list_[out - 1];
            if (!kept.Elevation) {
                kept.Elevation = list_[i].Elevation;
            }
            if (!kept.Azimuth) {
                kept.Azimuth = list_[i].Azimuth;
            }
            continue;
        }
        list_[out++] = list_[i];
    }
    list_.resize(out);
    for (TSatellite& sat : list_) {
        sat.Used = std::binary_search(used.begin(), used.end(), TSatelliteId{sat.System, sat.PRN});
    }
}

void TSatellitesInView::DropPending(std::string_view talker) {
    std::erase_if(pending_, [&](const TGroup& g) { return g.key.compare(0, 2, talker) == 0; });
}

}  // namespace gps
