// Quirks of real receivers, decoded from recorded logs. The logs are read at
// run time from the folder scripts/receiver-corpus.sh fills; lines are picked
// by pattern, and every expected value comes from the log's own text.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "gps/NmeaDecoder.h"

using namespace gps;

namespace {

std::string LogPath(const std::string& name) {
    return std::string(PALMO_RECEIVER_CORPUS) + "/" + name + ".nmea";
}

// A log's bytes; when it is missing, a failure that says how to get it.
std::string LoadLog(const std::string& name) {
    std::ifstream in(LogPath(name), std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "no receiver log " << LogPath(name) << "; run scripts/receiver-corpus.sh "
                      << PALMO_RECEIVER_CORPUS;
        return {};
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The lines of a log with their line ends, split after each line feed.
std::vector<std::string> RawLines(std::string_view bytes) {
    std::vector<std::string> lines;
    for (size_t from = 0; from < bytes.size();) {
        const size_t lf = bytes.find('\n', from);
        const size_t next = lf == std::string_view::npos ? bytes.size() : lf + 1;
        lines.emplace_back(bytes.substr(from, next - from));
        from = next;
    }
    return lines;
}

// A line feed without a carriage return before it gets one.
std::string WithCrLf(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
            out += '\r';
        }
        out += bytes[i];
    }
    return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The fields of a sentence between its "$" and "*", the identifier first.
std::vector<std::string> FieldsOf(std::string_view line) {
    const size_t start = line.find('$');
    const size_t end = line.find_first_of("*\r\n", start);
    std::vector<std::string> fields(1);
    for (const char c : line.substr(start + 1, end - start - 1)) {
        if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// What one line did, and the decoder's state after it.
struct TLine {
    std::string text;
    TSentenceKind kind = TSentenceKind::Other;
    bool validFix = false;
    bool fixValid = false;
    double utcTime = 0;
    double clockTime = 0;
    double lat = 0;
    double lon = 0;
    double cog = 0;
    int32_t fixDim = 0;
    TSatelliteList inView;
};

class TRecorder : public TNmeaListener {
  public:
    void LineProcessed(const TNmeaDecoder& d, const TLineReport& r) override {
        lines.push_back({std::string(r.Line), r.Kind, r.ValidFix, d.FixValid(), d.UTCTime(),
                         d.ClockTime(), d.LatDeg(), d.LonDeg(), d.COG(), d.FixDim(),
                         d.SatellitesInView()});
    }
    std::vector<TLine> lines;
};

// The log through the decoder as a file reader feeds it; no satellite drops
// out, as no time passes.
std::vector<TLine> Decode(std::string_view bytes, TNmeaDialect dialect) {
    TNmeaDecoder decoder;
    decoder.SetDialect(dialect);
    decoder.SetSatelliteClock([] { return 0u; });
    TRecorder recorder;
    decoder.AddListener(&recorder);
    decoder.FeedBytes(bytes);
    decoder.RemoveListener(&recorder);
    return std::move(recorder.lines);
}

// ddmm.mmmm as degrees.
double Degrees(const std::string& field, int degreeDigits) {
    return std::stod(field.substr(0, degreeDigits)) + std::stod(field.substr(degreeDigits)) / 60;
}

// The GSV groups of a log: runs of one talker's lines, parts 1 to n of n.
struct TGroup {
    std::string talker;
    std::string bytes;                      // the lines as recorded
    std::set<std::string> signals;          // the parts' signal IDs
    std::map<int, std::optional<int>> snr;  // satellite, strongest SNR
};

std::vector<TGroup> GsvGroups(const std::string& log) {
    std::vector<TGroup> groups;
    TGroup open;
    int expectedPart = 1;
    for (const std::string& line : RawLines(log)) {
        if (line.size() < 8 || line[0] != '$' || line.compare(3, 4, "GSV,") != 0) {
            continue;
        }
        const std::vector<std::string> f = FieldsOf(line);
        if (f.size() < 4) {
            continue;
        }
        const int total = std::stoi(f[1]);
        const int part = std::stoi(f[2]);
        if (part == 1) {
            open = TGroup{f[0].substr(0, 2), {}, {}, {}};
            expectedPart = 1;
        }
        if (part != expectedPart || open.talker != f[0].substr(0, 2)) {
            expectedPart = 0;  // broken: wait for the next part 1
            continue;
        }
        open.bytes += line;
        const size_t values = f.size() - 4;
        if (values % 4 == 1) {
            open.signals.insert(f.back());
        }
        for (size_t i = 4; i + 3 < f.size(); i += 4) {
            if (f[i].empty()) {
                continue;
            }
            std::optional<int> snr;
            if (!f[i + 3].empty()) {
                snr = std::stoi(f[i + 3]);
            }
            std::optional<int>& best = open.snr[std::stoi(f[i])];
            if (snr && (!best || *snr > *best)) {
                best = snr;
            }
        }
        if (part == total) {
            groups.push_back(open);
            expectedPart = 0;
        } else {
            ++expectedPart;
        }
    }
    return groups;
}

}  // namespace

TEST(ReceiverLogs, StandingUbloxShowsEveryFixThoughItLeavesTheCourseEmpty) {
    const std::string log = LoadLog("ublox8-neo-m8n");
    ASSERT_FALSE(log.empty());
    size_t fixes = 0;
    size_t rmcA = 0;
    size_t withoutCourse = 0;
    for (const TLine& l : Decode(log, TNmeaDialect::ndGNSS)) {
        fixes += l.validFix ? 1 : 0;
        const std::vector<std::string> f = FieldsOf(l.text);
        if (f[0] != "GNRMC" || f[2] != "A") {
            continue;
        }
        ++rmcA;
        EXPECT_TRUE(l.validFix) << l.text;
        EXPECT_NEAR(l.lat, Degrees(f[3], 2), 1e-9) << l.text;
        EXPECT_NEAR(l.lon, -Degrees(f[5], 3), 1e-9) << l.text;
        if (f[8].empty()) {
            ++withoutCourse;
            EXPECT_TRUE(std::isnan(l.cog)) << l.text;
        }
    }
    size_t inFile = 0;
    for (const std::string& line : RawLines(log)) {
        inFile += line.rfind("$GNRMC,", 0) == 0 && FieldsOf(line)[2] == "A" ? 1 : 0;
    }
    EXPECT_EQ(rmcA, inFile);
    EXPECT_EQ(fixes, inFile);
    EXPECT_GE(withoutCourse, 20u);
}

TEST(ReceiverLogs, CrCrLfLineEndsGiveEachLineOnce) {
    const std::string log = LoadLog("telit-pls83w-modem");
    ASSERT_FALSE(log.empty());
    // Every line of the file once: the sentences end with CR CR LF, gpsd's
    // header lines with CR LF.
    std::vector<std::string> expected;
    size_t crcrlf = 0;
    for (std::string line : RawLines(log)) {
        crcrlf += line.ends_with("\r\r\n") ? 1 : 0;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        if (!line.empty()) {
            expected.push_back(line);
        }
    }
    EXPECT_GT(crcrlf, 200u);
    ASSERT_GT(expected.size(), 200u);
    const std::vector<TLine> got = Decode(log, TNmeaDialect::ndGNSS);
    std::vector<std::string> texts;
    for (const TLine& l : got) {
        texts.push_back(l.text);
    }
    EXPECT_EQ(texts, expected);

    // With plain CR LF the same lines do the same.
    const std::vector<TLine> crlf = Decode(Replace(log, "\r\r\n", "\r\n"), TNmeaDialect::ndGNSS);
    ASSERT_EQ(crlf.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(crlf[i].validFix, got[i].validFix) << got[i].text;
        EXPECT_EQ(crlf[i].inView, got[i].inView) << got[i].text;
    }
}

TEST(ReceiverLogs, GsvGroupsOfMixedSignalsListEverySatelliteOnceAtItsStrongest) {
    const std::string log = LoadLog("quectel-lc79d-l1l5");
    ASSERT_FALSE(log.empty());
    std::map<std::string, size_t> mixedGroups;
    for (const TGroup& group : GsvGroups(log)) {
        if (group.signals.size() < 2) {
            continue;
        }
        ++mixedGroups[group.talker];
        for (const TNmeaDialect dialect : {TNmeaDialect::ndGP, TNmeaDialect::ndGNSS}) {
            if (dialect == TNmeaDialect::ndGP && group.talker != "GP") {
                continue;
            }
            const std::vector<TLine> lines = Decode(group.bytes, dialect);
            ASSERT_FALSE(lines.empty());
            std::map<int, std::optional<int>> got;
            for (const TSatellite& s : lines.back().inView) {
                EXPECT_EQ(s.System, group.talker == "GP" ? TGnssSystem::GPS : TGnssSystem::Galileo)
                    << group.bytes;
                EXPECT_TRUE(got.emplace(s.PRN, s.SNR).second)
                    << s.PRN << " twice in " << group.bytes;
            }
            EXPECT_EQ(got, group.snr) << group.bytes;
        }
    }
    // Groups of L1 and L5 parts (GPS) and of E1 and E5a parts (Galileo).
    EXPECT_GE(mixedGroups["GP"], 20u);
    EXPECT_GE(mixedGroups["GA"], 20u);
}

TEST(ReceiverLogs, ProprietarySentencesNeverDecode) {
    // Every log of the folder, line feeds alone turned into CR LF so that
    // logs stored with LF are read too; proprietary sentences ($P...) leave
    // the fix and the satellites as they were, in both dialects.
    ASSERT_TRUE(std::filesystem::is_directory(PALMO_RECEIVER_CORPUS))
        << "no receiver logs; run scripts/receiver-corpus.sh " << PALMO_RECEIVER_CORPUS;
    std::map<std::string, size_t> seen;
    for (const auto& entry : std::filesystem::directory_iterator(PALMO_RECEIVER_CORPUS)) {
        const std::filesystem::path& path = entry.path();
        if (path.extension() != ".nmea") {
            continue;
        }
        const std::string log = WithCrLf(LoadLog(path.stem().string()));
        for (const TNmeaDialect dialect : {TNmeaDialect::ndGP, TNmeaDialect::ndGNSS}) {
            const std::vector<TLine> lines = Decode(log, dialect);
            for (size_t i = 1; i < lines.size(); ++i) {
                const TLine& l = lines[i];
                const TLine& before = lines[i - 1];
                if (l.text.rfind("$P", 0) != 0) {
                    continue;
                }
                ++seen[l.text.substr(0, l.text.find(','))];
                EXPECT_EQ(l.kind, TSentenceKind::Other) << path << ": " << l.text;
                EXPECT_FALSE(l.validFix) << l.text;
                EXPECT_EQ(l.fixValid, before.fixValid) << l.text;
                EXPECT_EQ(l.utcTime, before.utcTime) << l.text;
                EXPECT_EQ(l.lat, before.lat) << l.text;
                EXPECT_EQ(l.fixDim, before.fixDim) << l.text;
                ASSERT_EQ(l.inView.size(), before.inView.size()) << l.text;
                for (size_t k = 0; k < l.inView.size(); ++k) {
                    EXPECT_EQ(l.inView[k].PRN, before.inView[k].PRN) << l.text;
                    EXPECT_EQ(l.inView[k].SNR, before.inView[k].SNR) << l.text;
                }
            }
        }
    }
    // Garmin's error estimate and Quectel's BeiDou satellites (GSV and GSA
    // in form), among others.
    EXPECT_GT(seen["$PGRME"], 0u);
    EXPECT_GT(seen["$PQGSV"], 0u);
    EXPECT_GT(seen["$PQGSA"], 0u);
}

TEST(ReceiverLogs, TenFixesASecondKeepTheFractionForTheClockOnly) {
    const std::string log = LoadLog("trimble-rtk-10hz");
    ASSERT_FALSE(log.empty());
    size_t fractions = 0;
    for (const TLine& l : Decode(log, TNmeaDialect::ndGNSS)) {
        if (!l.validFix) {
            continue;
        }
        const std::string time = FieldsOf(l.text)[1];  // hhmmss.ss
        const double fraction = std::stod(time.substr(6));
        fractions += fraction > 0 ? 1 : 0;
        const double seconds = l.utcTime * 86400;
        EXPECT_NEAR(seconds, std::round(seconds), 1e-4) << l.text;
        EXPECT_NEAR((l.clockTime - l.utcTime) * 86400, fraction, 1e-4) << l.text;
    }
    EXPECT_GE(fractions, 100u);
}

TEST(ReceiverLogs, GlonassNumbersInGpgsvAreGlonass) {
    const std::string log = LoadLog("glonass-geostar-geos1m");
    ASSERT_FALSE(log.empty());
    std::set<int> inFile;
    for (const std::string& line : RawLines(log)) {
        const std::vector<std::string> f = FieldsOf(line);
        for (size_t i = 4; f[0] == "GPGSV" && i < f.size(); i += 4) {
            if (!f[i].empty() && std::stoi(f[i]) >= 65 && std::stoi(f[i]) <= 96) {
                inFile.insert(std::stoi(f[i]));
            }
        }
    }
    ASSERT_FALSE(inFile.empty());
    for (const TNmeaDialect dialect : {TNmeaDialect::ndGP, TNmeaDialect::ndGNSS}) {
        std::set<int> shown;
        for (const TLine& l : Decode(log, dialect)) {
            for (const TSatellite& s : l.inView) {
                if (s.PRN >= 65 && s.PRN <= 96) {
                    EXPECT_EQ(s.System, TGnssSystem::GLONASS) << s.PRN;
                    shown.insert(s.PRN);
                }
            }
        }
        EXPECT_EQ(shown, inFile);
    }
}
