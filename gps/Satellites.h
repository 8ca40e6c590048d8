// Satellite systems and the satellites a receiver reports: the ones used in
// the fix (GSA) and the ones in view (GSV).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gps {

// Which sentences the receiver decodes: ndGP only the GP talker (the
// classic GPS receiver), ndGNSS every two-letter talker.
enum class TNmeaDialect { ndGP, ndGNSS };

// Satellite systems, in the order lists are sorted by.
enum class TGnssSystem { GPS, SBAS, GLONASS, Galileo, BeiDou, QZSS, NavIC, Unknown };

// "GPS", "SBAS", "GLONASS", "Galileo", "BeiDou", "QZSS", "NavIC", "Unknown".
const std::string& GnssSystemName(TGnssSystem s);

// One satellite: its system and number as the receiver numbers it
// (GLONASS 65-96, SBAS 33-64 and so on).
struct TSatelliteId {
    TGnssSystem System = TGnssSystem::Unknown;
    int32_t PRN = 0;
    friend bool operator==(const TSatelliteId&, const TSatelliteId&) = default;
    friend auto operator<=>(const TSatelliteId&, const TSatelliteId&) = default;
};

// A satellite in view. Elevation (degrees, 0-90), azimuth (degrees, 0-359)
// and SNR (dB-Hz) are empty when the receiver left them out; an empty SNR
// means the satellite is not tracked.
struct TSatellite {
    TGnssSystem System = TGnssSystem::Unknown;
    int32_t PRN = 0;
    std::optional<int32_t> Elevation;
    std::optional<int32_t> Azimuth;
    std::optional<int32_t> SNR;
    bool Used = false;  // used in the fix, from the current GSA union
    friend bool operator==(const TSatellite&, const TSatellite&) = default;
};

// Sorted by system, then number.
using TSatelliteList = std::vector<TSatellite>;
// Sorted by system, then number.
using TSatelliteIdList = std::vector<TSatelliteId>;

// The system of satellite number prn as a talker ("GP", "GL", "GN", ...)
// reports it: GP numbers 33-64 are SBAS, 65-96 GLONASS and 193-202 QZSS,
// the other GP numbers GPS; GN (and any unknown talker) goes by the number ranges;
// a single-system talker names its system.
TGnssSystem GnssSystemOf(std::string_view talker, int32_t prn);

// The system of an NMEA 4.10 system ID (1 GPS, 2 GLONASS, 3 Galileo,
// 4 BeiDou, 5 QZSS, 6 NavIC); under ID 1 the GP number ranges apply.
// Unknown for any other ID.
TGnssSystem GnssSystemOfId(int32_t systemId, int32_t prn);

// The order of satellite lists: by system, then number.
inline bool SatelliteOrder(const TSatellite& a, const TSatellite& b) {
    return a.System != b.System ? a.System < b.System : a.PRN < b.PRN;
}
void SortSatellites(TSatelliteList& list);

// Adds a satellite to a sorted list unless it is there already.
void AddSatelliteId(TSatelliteIdList& list, TSatelliteId id);

// Assembles GSV groups ("message k of n") into the list of satellites in
// view. A group is one talker's run of messages 1 to n, whatever signal IDs
// its messages carry; a group that arrives incomplete or out of order is
// dropped whole. A complete group replaces the earlier groups of its talker
// that share a signal with it (so a receiver's groups per signal stand side
// by side), and a group not heard for kDropOutMs drops out. A satellite
// listed several times (several signalIds) has one entry, with its strongest
// SNR and the elevation and azimuth of any entry that has them. Values out
// of range (elevation 0-90, azimuth 0-359, SNR 0-99) are not known.
class TSatellitesInView {
  public:
    static constexpr uint32_t kDropOutMs = 5000;
    // Unfinished groups and parts kept at most, each: far more talker and
    // signal pairs than a receiver has, so corrupt or hostile lines with
    // ever-new keys cannot grow the lists (the least recently heard goes).
    static constexpr size_t kMaxGroups = 64;

    // One GSV sentence, split (fields[0] the identifier); fieldCount is the
    // number of fields the sentence had (the array may hold fewer). True
    // when it completed a group, the list being rebuilt with used marking
    // the satellites used in the fix. A malformed sentence drops the
    // talker's unfinished groups and is otherwise ignored.
    bool Add(std::span<const std::string> fields, size_t fieldCount, uint32_t nowMs,
             const TSatelliteIdList& used);
    // Drops the parts not heard for kDropOutMs; true when the list changed.
    bool DropOut(uint32_t nowMs, const TSatelliteIdList& used);
    // Marks the satellites used in the fix afresh; true when a mark changed.
    bool MarkUsed(const TSatelliteIdList& used);
    bool HasParts() const { return !parts_.empty(); }
    // Unfinished groups and parts held now.
    size_t GroupsHeld() const { return pending_.size() + parts_.size(); }
    void Clear();
    const TSatelliteList& List() const { return list_; }

  private:
    struct TGroup {
        std::string talker;  // e.g. "GP"
        std::vector<std::string>
            signalIds;  // the signal IDs its messages carried, sorted, once each
        int32_t total = 0;
        int32_t next = 0;  // the message number expected next
        uint32_t heardMs = 0;
        TSatelliteList satellites;
    };
    static bool Silent(const TGroup& group, uint32_t nowMs);  // not heard for kDropOutMs
    void Rebuild(const TSatelliteIdList& used);
    void DropPending(std::string_view talker);

    std::vector<TGroup> pending_;
    std::vector<TGroup> parts_;
    TSatelliteList list_;
};

}  // namespace gps
