// The GSV and GSA decoders of the GNSS dialect, structure-aware: the fuzz
// bytes choose talkers, message numbers, satellite fields and the clock, and
// the lines get a correct checksum so that they reach the decoders. Each line
// goes through the receiver's port path with its events assigned; after each
// one the satellite lists must keep their rules:
// - the used satellites are the union of the current GSA group;
// - a single-message GSV group that decodes lists every satellite it gives;
// - the satellites in view come only from GSV lines, change only when a
//   group completes or a part drops out, and are gone once no group has
//   completed for the drop-out time.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "gps/NMEA.h"

namespace {

using fuzz::Check;
using gps::TSatelliteId;
using gps::TSatelliteIdList;

// A receiver whose satellite clock the fuzzer sets, and that makes no sound.
class TClockedGPS : public gps::TGPS {
  public:
    uint32_t now = 0;

  protected:
    uint32_t SatelliteClockMs() const override { return now; }
    void PlayFixLossBeep() override {}
    void PlayErrorBeep() override {}
};

const char* const kTalkers[] = {"GP", "GL", "GA", "GB", "GN", "BD", "GQ", "QZ", "GI", "XY"};

std::string Talker(FuzzedDataProvider& in) {
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    if (pick < 240) {
        return kTalkers[pick % std::size(kTalkers)];
    }
    std::string t = in.ConsumeBytesAsString(2);
    t.resize(2, 'G');
    for (char& c : t) {
        if (c == ',' || c == '*' || c == '$' || c == '\r' || c == '\n') {
            c = 'a';
        }
    }
    return t;
}

// A field: mostly empty or a number, now and then other text (never a
// character that would end the field or the line).
std::string Field(FuzzedDataProvider& in, int low, int high) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 24) {
        return {};
    }
    if (kind < 232) {
        std::string text = std::to_string(in.ConsumeIntegralInRange<int>(low, high));
        if (kind >= 216) {
            text.insert(0, "0");
        }
        return text;
    }
    std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 4));
    for (char& c : text) {
        if (c == ',' || c == '*' || c == '$' || c == '\r' || c == '\n') {
            c = '.';
        }
    }
    return text;
}

std::string Join(const std::vector<std::string>& fields) {
    std::string body;
    for (size_t i = 0; i < fields.size(); ++i) {
        body += (i == 0 ? "" : ",") + fields[i];
    }
    return body;
}

std::string Line(const std::string& body, bool goodChecksum) {
    uint8_t sum = 0;
    for (const char c : body) {
        sum ^= static_cast<uint8_t>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", goodChecksum ? sum : sum ^ 0x5A);
    return "$" + body + tail;
}

bool Integer(const std::string& field, int32_t& n) {
    return gps::ParseInteger(field, n);
}

// A talker the decoders take: two capitals, not a proprietary "P".
bool UpperTalker(const std::string& t) {
    return t[0] >= 'A' && t[0] <= 'Z' && t[0] != 'P' && t[1] >= 'A' && t[1] <= 'Z';
}

TSatelliteIdList Ids(const gps::TSatelliteList& list) {
    TSatelliteIdList ids;
    for (const gps::TSatellite& s : list) {
        ids.push_back({s.System, s.PRN});
    }
    return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    TClockedGPS g;
    g.SetDialect(gps::TNmeaDialect::ndGNSS);

    // What the current line did.
    int satelliteEvents = 0;
    bool errorLine = false;
    TSatelliteIdList listBefore;
    g.OnSentence = [&](gps::TGPS& r, const std::string&, const gps::TDataArray&) {
        fuzz::CheckSatellites(r, nullptr);
    };
    g.OnError = [&](gps::TGPS& r, const std::string& message) {
        Check(!message.empty());
        fuzz::CheckSatellites(r, nullptr);
        errorLine = true;
    };
    g.OnSatellites = [&](gps::TGPS& r, const gps::TSatelliteList& list) {
        Check(&list == &r.SatellitesInView());
        fuzz::CheckSatellites(r, &list);
        ++satelliteEvents;
    };

    std::map<TSatelliteId, bool> everSent;  // satellites any GSV line gave
    bool gsaGroupOpen = false;              // the last accepted line was a GSA
    bool anyCompleted = false;
    uint32_t lastCompleted = 0;  // clock of the last completed GSV group

    while (in.remaining_bytes() > 0) {
        g.now += in.ConsumeIntegralInRange<uint32_t>(0, 400);
        const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 10);
        if (op == 9) {
            g.now += in.ConsumeIntegralInRange<uint32_t>(0, 8000);
            continue;
        }
        if (op == 10) {
            // A whole group whose messages carry any signal IDs, the last
            // satellite perhaps cut short: none of its satellites is lost.
            const std::string talker = kTalkers[in.ConsumeIntegralInRange<size_t>(0, 8)];
            const int total = in.ConsumeIntegralInRange<int>(2, 4);
            std::vector<TSatelliteId> sent;
            int prn = in.ConsumeIntegralInRange<int>(1, 8);
            for (int m = 1; m <= total; ++m) {
                std::vector<std::string> f = {talker + "GSV", std::to_string(total),
                                              std::to_string(m), "12"};
                const int sats = in.ConsumeIntegralInRange<int>(1, 4);
                const bool signal = in.ConsumeBool();
                for (int s = 0; s < sats; ++s, prn += in.ConsumeIntegralInRange<int>(1, 3)) {
                    f.push_back(std::to_string(prn));
                    sent.push_back({gps::GnssSystemOf(talker, prn), prn});
                    const bool cut = !signal && m == total && s == sats - 1 && in.ConsumeBool();
                    f.push_back(Field(in, -5, 95));
                    if (cut && in.ConsumeBool()) {
                        break;
                    }
                    f.push_back(Field(in, 0, 400));
                    if (!cut) {
                        f.push_back(Field(in, 0, 120));
                    }
                }
                if (signal) {
                    f.push_back(std::to_string(in.ConsumeIntegralInRange<int>(1, 8)));
                }
                // Other text in a number field would break the group: keep digits.
                for (size_t i = 4; i < f.size(); ++i) {
                    int32_t n = 0;
                    if (!f[i].empty() && !Integer(f[i], n)) {
                        f[i].clear();
                    }
                }
                const std::string line = Line(Join(f), true);
                fuzz::TFuzzSource source(reinterpret_cast<const uint8_t*>(line.data()),
                                         line.size());
                g.PortTriggerAvail(source, static_cast<uint16_t>(line.size()));
            }
            gsaGroupOpen = false;
            anyCompleted = true;
            lastCompleted = g.now;
            const TSatelliteIdList inView = Ids(g.SatellitesInView());
            for (const TSatelliteId& id : sent) {
                everSent[id] = true;
                Check(std::binary_search(inView.begin(), inView.end(), id));
            }
            continue;
        }
        const std::string talker = Talker(in);
        std::vector<std::string> f;
        enum { kGSV, kGSA, kOther } kind = kOther;
        if (op <= 4) {
            kind = kGSV;
            f = {talker + "GSV", Field(in, 0, 5), Field(in, 0, 5), Field(in, 0, 60)};
            const size_t sats = in.ConsumeIntegralInRange<size_t>(0, 4);
            for (size_t i = 0; i < sats; ++i) {
                f.push_back(Field(in, 0, 440));
                f.push_back(Field(in, -5, 95));
                f.push_back(Field(in, 0, 400));
                f.push_back(Field(in, 0, 60));
            }
            if (in.ConsumeBool()) {
                f.push_back(Field(in, 0, 12));  // signal ID
            }
        } else if (op <= 7) {
            kind = kGSA;
            f = {talker + "GSA", in.ConsumeBool() ? "A" : "M", Field(in, 0, 4)};
            for (int i = 0; i < 12; ++i) {
                f.push_back(Field(in, 0, 440));
            }
            f.push_back(in.ConsumeBool() ? "1.5" : Field(in, 0, 99));
            f.push_back(in.ConsumeBool() ? "0.9" : Field(in, 0, 99));
            f.push_back(in.ConsumeBool() ? "1.2" : Field(in, 0, 99));
            if (in.ConsumeBool()) {
                f.push_back(Field(in, 0, 7));  // system ID
            }
        } else {
            f = {talker + "TXT", Field(in, 0, 9), "hello"};
        }
        const bool goodChecksum = in.ConsumeIntegral<uint8_t>() >= 16;
        const std::string line = Line(Join(f), goodChecksum);
        // Any line with a good checksum is accepted (and ends a GSA group);
        // only a talker of two capitals makes it a GSV or GSA.
        const bool accepted = goodChecksum;
        const bool isGsv = accepted && UpperTalker(talker) && kind == kGSV;
        const bool isGsa = accepted && UpperTalker(talker) && kind == kGSA;

        // The satellites a GSV line gives (as the decoder reads them), and
        // whether the whole line decodes as one complete single-message group.
        std::vector<gps::TSatellite> given;
        bool singleGroup = false;
        int32_t total = 0;
        int32_t message = 0;
        if (isGsv) {
            bool all = Integer(f[1], total) && Integer(f[2], message);
            for (size_t at = 4; at + 3 < f.size(); at += 4) {
                gps::TSatellite s;
                int32_t n = 0;
                if (f[at].empty()) {
                    continue;
                }
                if (!Integer(f[at], s.PRN)) {
                    all = false;
                    continue;
                }
                s.System = gps::GnssSystemOf(talker, s.PRN);
                everSent[{s.System, s.PRN}] = true;
                all = all && (f[at + 1].empty() || Integer(f[at + 1], n)) &&
                      (f[at + 2].empty() || Integer(f[at + 2], n));
                if (!f[at + 3].empty()) {
                    all = all && Integer(f[at + 3], n);
                    if (n >= 0 && n <= 99) {
                        s.SNR = n;  // out of range is not known
                    }
                }
                given.push_back(s);
            }
            singleGroup = all && total == 1 && message == 1;
        }
        // The used satellites this line should leave, when it decodes.
        TSatelliteIdList expectUsed;
        if (isGsa && gsaGroupOpen) {
            expectUsed = g.UsedSatellites();
        }
        int32_t dim = 0;
        if (isGsa && Integer(f[2], dim) && dim > 1) {
            int32_t systemId = 0;
            const bool hasId = f.size() > 18 && Integer(f[18], systemId);
            for (size_t i = 3; i <= 14; ++i) {
                int32_t n = 0;
                if (Integer(f[i], n) && n > 0) {
                    gps::AddSatelliteId(expectUsed, {hasId ? gps::GnssSystemOfId(systemId, n)
                                                           : gps::GnssSystemOf(talker, n),
                                                     n});
                }
            }
        }
        const TSatelliteIdList usedBefore = g.UsedSatellites();

        listBefore = Ids(g.SatellitesInView());
        satelliteEvents = 0;
        errorLine = false;
        fuzz::TFuzzSource source(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        source.SetBlocks((op & 1) != 0);
        g.PortTriggerAvail(source, static_cast<uint16_t>(line.size()));
        Check(source.Waiting() == 0);

        fuzz::CheckSatellites(g, nullptr);
        const TSatelliteIdList listNow = Ids(g.SatellitesInView());
        // Only satellites that GSV lines gave are in view.
        for (const TSatelliteId& id : listNow) {
            Check(everSent.count(id) == 1);
        }
        if (isGsa) {
            if (!errorLine) {
                Check(g.UsedSatellites() == expectUsed);
            }
        } else {
            Check(g.UsedSatellites() == usedBefore);
        }
        const bool gsaGroupOpenBefore = gsaGroupOpen;
        if (accepted) {
            gsaGroupOpen = isGsa;
        }
        // The line after a GSA group may change the used marks.
        const bool groupEnded = accepted && gsaGroupOpenBefore && !isGsa;
        if (isGsv) {
            // A GSV line raises the event only when it completes a group
            // (or ends a GSA group), once.
            Check(satelliteEvents <= 1);
            Check(satelliteEvents == 0 || message == total || groupEnded);
            if (satelliteEvents == 1 && message == total) {
                anyCompleted = true;
                lastCompleted = g.now;
            }
            if (singleGroup) {
                Check(satelliteEvents == 1);
                for (const gps::TSatellite& s : given) {
                    const auto& list = g.SatellitesInView();
                    const auto at = std::find_if(list.begin(), list.end(), [&](const auto& v) {
                        return v.System == s.System && v.PRN == s.PRN;
                    });
                    Check(at != list.end());
                    Check(!s.SNR || (at->SNR && *at->SNR >= *s.SNR));
                }
            }
        } else {
            // Any other line only lets parts drop out.
            Check(satelliteEvents <= 1);
            Check(std::includes(listBefore.begin(), listBefore.end(), listNow.begin(),
                                listNow.end()));
            Check(satelliteEvents == 1 || listNow == listBefore);
            if (!anyCompleted || g.now - lastCompleted >= gps::TSatellitesInView::kDropOutMs) {
                Check(listNow.empty());
            }
        }
    }
    return 0;
}
