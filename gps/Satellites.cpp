#include "gps/Satellites.h"

#include <algorithm>
#include <array>

#include "gps/NMEA.h"

namespace gps {

namespace {

bool In(int32_t n, int32_t low, int32_t high) {
    return n >= low && n <= high;
}

// An optional whole-number field: empty, or a number outside low to high,
// gives no value; false for any other text that is not an integer.
bool OptionalInteger(const std::string& field, int32_t low, int32_t high,
                     std::optional<int32_t>& value) {
    value.reset();
    if (field.empty()) {
        return true;
    }
    int32_t n = 0;
    if (!ParseInteger(field, n)) {
        return false;
    }
    if (In(n, low, high)) {
        value = n;
    }
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
        // Receivers of GPS and GLONASS from before NMEA 4 list every
        // satellite under GP, GLONASS as 65-96.
        if (In(prn, 33, 64)) {
            return TGnssSystem::SBAS;
        }
        if (In(prn, 65, 96)) {
            return TGnssSystem::GLONASS;
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

void SortSatellites(TSatelliteList& list) {
    std::stable_sort(list.begin(), list.end(), SatelliteOrder);
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
    // Four fields a satellite after the first four; one more is the signal
    // ID, two or three more a last satellite cut short.
    const size_t rest = fieldCount > 4 ? fieldCount - 4 : 0;
    const size_t whole = rest / 4;
    const bool partial = rest % 4 >= 2;
    const size_t count = whole + (partial ? 1 : 0);
    if (fieldCount > fields.size() || !ParseInteger(fields[1], total) ||
        !ParseInteger(fields[2], message) || total < 1 || total > 99 || message < 1 ||
        message > total) {
        DropPending(talker);
        return false;
    }
    const std::string* signal = rest % 4 == 1 ? &fields[4 + 4 * whole] : nullptr;
    // An unfinished group not continued within the drop-out time is dead.
    std::erase_if(pending_, [&](const TGroup& g) { return Silent(g, nowMs); });
    auto group = std::find_if(pending_.begin(), pending_.end(), [&](const TGroup& g) {
        return g.talker == talker && g.total == total;
    });
    if (message == 1) {
        if (group == pending_.end()) {
            if (pending_.size() >= kMaxGroups) {
                pending_.erase(pending_.begin());  // the one started longest ago
            }
            group = pending_.insert(pending_.end(), TGroup{});
            group->talker = talker;
            group->total = total;
        }
        group->next = 1;
        group->signalIds.clear();
        group->satellites.clear();
    } else if (group == pending_.end() || group->next != message) {
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
        static const std::string kNone;
        const size_t have = std::min<size_t>(4, rest - 4 * i);
        if (!ParseInteger(fields[at], sat.PRN) ||
            !OptionalInteger(have > 1 ? fields[at + 1] : kNone, 0, 90, sat.Elevation) ||
            !OptionalInteger(have > 2 ? fields[at + 2] : kNone, 0, 359, sat.Azimuth) ||
            !OptionalInteger(have > 3 ? fields[at + 3] : kNone, 0, 99, sat.SNR)) {
            DropPending(talker);
            return false;
        }
        sat.System = GnssSystemOf(talker, sat.PRN);
        group->satellites.push_back(sat);
    }
    if (signal != nullptr) {
        const auto at = std::lower_bound(group->signalIds.begin(), group->signalIds.end(), *signal);
        if (at == group->signalIds.end() || *at != *signal) {
            group->signalIds.insert(at, *signal);
        }
    }
    group->next = message + 1;
    group->heardMs = nowMs;
    if (message != total) {
        return false;
    }
    // The new group replaces its talker's groups of the same signalIds.
    const auto sharesSignal = [](const TGroup& a, const TGroup& b) {
        if (a.signalIds.empty() || b.signalIds.empty()) {
            return a.signalIds.empty() && b.signalIds.empty();
        }
        return std::find_first_of(a.signalIds.begin(), a.signalIds.end(), b.signalIds.begin(),
                                  b.signalIds.end()) != a.signalIds.end();
    };
    std::erase_if(parts_, [&](const TGroup& g) {
        return g.talker == group->talker && sharesSignal(g, *group);
    });
    std::erase_if(parts_, [&](const TGroup& g) { return Silent(g, nowMs); });
    if (parts_.size() >= kMaxGroups) {
        parts_.erase(
            std::max_element(parts_.begin(), parts_.end(), [&](const TGroup& a, const TGroup& b) {
                return nowMs - a.heardMs < nowMs - b.heardMs;
            }));
    }
    parts_.push_back(std::move(*group));
    pending_.erase(group);
    Rebuild(used);
    return true;
}

bool TSatellitesInView::DropOut(uint32_t nowMs, const TSatelliteIdList& used) {
    if (std::erase_if(parts_, [&](const TGroup& g) { return Silent(g, nowMs); }) == 0) {
        return false;
    }
    Rebuild(used);
    return true;
}

bool TSatellitesInView::Silent(const TGroup& group, uint32_t nowMs) {
    return nowMs - group.heardMs >= kDropOutMs;
}

bool TSatellitesInView::MarkUsed(const TSatelliteIdList& used) {
    bool changed = false;
    for (TSatellite& sat : list_) {
        const bool now =
            std::binary_search(used.begin(), used.end(), TSatelliteId{sat.System, sat.PRN});
        changed = changed || now != sat.Used;
        sat.Used = now;
    }
    return changed;
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
        if (SatelliteOrder(a, b) || SatelliteOrder(b, a)) {
            return SatelliteOrder(a, b);
        }
        return Stronger(a.SNR, b.SNR);  // the same satellite: strongest first
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
    MarkUsed(used);
}

void TSatellitesInView::DropPending(std::string_view talker) {
    std::erase_if(pending_, [&](const TGroup& g) { return g.talker == talker; });
}

}  // namespace gps
