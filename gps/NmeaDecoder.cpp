#include "gps/NmeaDecoder.h"
#include "gps/LineEvents.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "toolkit/Clock.h"

namespace gps {

namespace {

bool IsExactly(const std::string& field, char letter) {
    return field.size() == 1 && field[0] == letter;
}

constexpr double kNotKnown = std::numeric_limits<double>::quiet_NaN();

// Speeds, courses, altitudes and dilutions beyond this come from corrupted
// lines (an 8-bit checksum lets one in 256 through), not from a receiver.
constexpr double kMaxMagnitude = 1e6;

// A number field with a magnitude a receiver can mean.
bool ParsePlausible(std::string_view field, double& value) {
    double v = 0.0;
    if (!ParseNumber(field, v) || !(v >= -kMaxMagnitude && v <= kMaxMagnitude)) {
        return false;
    }
    value = v;
    return true;
}

// An angle field within limit degrees, north or east negated by the letter.
bool ParseAngle(const std::string& field, double limit, const std::string& hemisphere,
                char negative, double& value) {
    double v = 0.0;
    if (!NmeaDegMin(field, v) || v > limit) {
        return false;
    }
    value = IsExactly(hemisphere, negative) ? -v : v;
    return true;
}

// SplitSentence, telling how many fields the payload has, those beyond the
// array included.
size_t SplitFields(std::string_view line, TDataArray& fields) {
    // One pass over the payload; fields are short, so a plain scan beats
    // a library search per field. Empty fields and the entries past the
    // last field are only cleared.
    const std::string_view payload = NmeaPayload(line);
    const char* p = payload.data();
    const char* const end = p + payload.size();
    size_t i = 0;
    bool dropped = false;  // a comma after the last entry: fields were dropped
    for (;;) {
        const char* start = p;
        while (p != end && *p != ',') {
            ++p;
        }
        std::string& entry = fields[i++];
        // (Appending to an emptied string is the short way to store a short text.)
        entry.clear();
        if (p != start) {
            entry.append(start, static_cast<size_t>(p - start));
        }
        if (p == end) {
            break;
        }
        ++p;  // past the comma
        if (i == fields.size()) {
            dropped = true;
            break;
        }
    }
    // The fields dropped are counted too: a GSA of 24 satellite slots is told by its count.
    const size_t count = dropped ? i + 1 + static_cast<size_t>(std::count(p, end, ',')) : i;
    for (; i < fields.size(); ++i) {
        fields[i].clear();
    }
    return count;
}

// Bytes of a buffer handed over as an open port would.
class TBytesSource : public TNmeaCharSource {
  public:
    explicit TBytesSource(std::string_view bytes) : bytes_(bytes) {}
    char ReceiveChar() override { return pos_ < bytes_.size() ? bytes_[pos_++] : '\0'; }
    size_t ReceiveBlock(char* dest, size_t max, char stop) override {
        const size_t left = std::min(max, bytes_.size() - pos_);
        const void* hit = std::memchr(bytes_.data() + pos_, stop, left);
        const size_t n =
            hit ? static_cast<size_t>(static_cast<const char*>(hit) - (bytes_.data() + pos_)) + 1
                : left;
        std::memcpy(dest, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    bool Open() const override { return true; }

  private:
    std::string_view bytes_;
    size_t pos_ = 0;
};

}  // namespace

const std::string TNmeaDecoder::kChecksumFailed = "Checksum failed";
const std::string TNmeaDecoder::kLineTooLong = "Line too long";
const std::string TNmeaDecoder::kRmcInvalid = "GPRMC is invalid";
const std::string TNmeaDecoder::kGgaInvalid = "GPGGA is invalid";
const std::string TNmeaDecoder::kGsaInvalid = "GPGSA is invalid";

void SplitSentence(std::string_view line, TDataArray& fields) {
    SplitFields(line, fields);
}

bool IsNumber(std::string_view text) {
    double ignored = 0.0;
    return ParseNumber(text, ignored);
}

const std::string& QualityName(int32_t quality) {
    static const std::string kNames[] = {
        "Fix Not Valid", "GPS Fix (SPS)", "DGPS",           "PPS Fix", "--", "--",
        "Estimated",     "Manual Input",  "Simulation Mode"};
    if (quality < 0 || quality > 8) {
        return kNames[4];
    }
    return kNames[quality];
}

const std::string& QualityName(int32_t quality, TNmeaDialect dialect) {
    static const std::string kRtkFixed = "RTK Fixed";
    static const std::string kRtkFloat = "RTK Float";
    if (dialect == TNmeaDialect::ndGNSS && (quality == 4 || quality == 5)) {
        return quality == 4 ? kRtkFixed : kRtkFloat;
    }
    return QualityName(quality);
}

const std::string& FixDimName(int32_t dim) {
    static const std::string kNames[] = {"--", "Fix not available", "2D Fix", "3D Fix"};
    if (dim < 1 || dim > 3) {
        return kNames[0];
    }
    return kNames[dim];
}

const std::string& FixModeName(char mode) {
    static const std::string kAutomatic = "Automatic";
    static const std::string kManual = "Manual";
    static const std::string kNotDefined = "Not defined";
    if (mode == 'A') {
        return kAutomatic;
    }
    if (mode == 'M') {
        return kManual;
    }
    return kNotDefined;
}

TNmeaDecoder::TNmeaDecoder() {
    lineBuffer_.reserve(128);
    nmeaSentence_.reserve(128);
}

TNmeaDecoder::~TNmeaDecoder() = default;

void TNmeaDecoder::AddListener(TNmeaListener* listener) {
    if (listener != nullptr &&
        std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
        listeners_.push_back(listener);
    }
}

void TNmeaDecoder::RemoveListener(TNmeaListener* listener) {
    std::erase(listeners_, listener);
}

template <typename F>
bool TNmeaDecoder::Notify(F&& f) {
    if (listeners_.empty()) {
        return true;
    }
    // A listener may remove listeners or destroy the decoder: walk a copy,
    // and stop once the decoder is gone.
    const std::weak_ptr<char> alive = alive_;
    const std::vector<TNmeaListener*> listeners = listeners_;
    for (TNmeaListener* l : listeners) {
        if (std::find(listeners_.begin(), listeners_.end(), l) == listeners_.end()) {
            continue;
        }
        f(*l);
        if (alive.expired()) {
            return false;
        }
    }
    return true;
}

uint32_t TNmeaDecoder::SatelliteClockMs() const {
    return satelliteClock_ ? satelliteClock_() : tk::MonotonicMs();
}

void TNmeaDecoder::Silence() {
    usedSatellites_.clear();
    satellitesInView_.Clear();
    gsaGroupOpen_ = false;
    Notify([this](TNmeaListener& l) { l.Silence(*this); });
}

void TNmeaDecoder::FeedBytes(std::string_view bytes) {
    TBytesSource source(bytes);
    Feed(source, bytes.size());
}

bool TNmeaDecoder::Feed(TNmeaCharSource& source, size_t count) {
    // Blocks of characters up to the next carriage return: the characters
    // after it stay in the source while the line is processed, as they would
    // when taken one at a time.
    char block[512];
    size_t left = count;
    while (left > 0) {
        const size_t want = std::min(left, sizeof block);
        const size_t n = source.ReceiveBlock(block, want, '\r');
        if (n == 0 || n > want) {
            return true;  // a source that breaks its promise ends the batch
        }
        left -= n;
        if (!listeners_.empty() && !Notify([&](TNmeaListener& l) {
                l.BytesReceived(*this, std::string_view(block, n));
            })) {
            return false;
        }
        const bool endsLine = block[n - 1] == '\r';
        const size_t dollar = AppendChars(block, endsLine ? n - 1 : n);
        if (dollar != kNoDollar) {
            // The new line's arrival: its "$" is that many characters before
            // the last one taken.
            if (!source.CharArrival(static_cast<uint32_t>(n - 1 - dollar), lineArrival_)) {
                lineArrival_ = TArrivalTime{};
            }
        }
        if (endsLine) {
            if (!source.Open()) {
                AppendChars(block + n - 1, 1);
            } else if (!lineBuffer_.empty() || lineOverflowed_) {
                // The carriage return ends the line and empties the buffer, so
                // the second CR of a CR CR LF ending finds nothing to process.
                bool result = false;
                if (!ProcessLine(lineBuffer_, lineOverflowed_, result)) {
                    return false;
                }
                lineBuffer_.clear();
                lineOverflowed_ = false;
            }
        }
    }
    return true;
}

size_t TNmeaDecoder::AppendChars(const char* p, size_t n) {
    // The last "$" starts a new line with itself; line feeds are dropped.
    const char* const begin = p;
    const char* start = nullptr;
    for (const char* q = p;
         const void* hit = std::memchr(q, '$', static_cast<size_t>(p + n - q));) {
        start = static_cast<const char*>(hit);
        q = start + 1;
    }
    const size_t dollar = start ? static_cast<size_t>(start - begin) : kNoDollar;
    if (start != nullptr) {
        lineBuffer_.clear();
        lineOverflowed_ = false;
        n -= static_cast<size_t>(start - p);
        p = start;
    }
    while (n > 0) {
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', n));
        const size_t run = lf ? static_cast<size_t>(lf - p) : n;
        const size_t room = kMaxLineLength - std::min(lineBuffer_.size(), kMaxLineLength);
        lineBuffer_.append(p, std::min(run, room));
        if (run > room) {
            lineOverflowed_ = true;
        }
        if (!lf) {
            return dollar;
        }
        p = lf + 1;
        n -= run + 1;
    }
    return dollar;
}

bool TNmeaDecoder::ProcessSentence(std::string_view line) {
    lineArrival_ = TArrivalTime{};  // not from a port
    bool result = false;
    ProcessLine(line, false, result);
    return result;
}

bool TNmeaDecoder::ProcessLine(std::string_view line, bool overflowed, bool& result) {
    const bool wasValid = fixValid_;
    TLineReport report;
    result = false;
    bool satellitesChanged = false;
    TSentenceKind kind = TSentenceKind::Other;
    if (overflowed) {
        // Part of this line was dropped: whatever its checksum says, it is not
        // the line that was sent.
        errorText_ = kLineTooLong;
    } else if (!ChecksumOK(line)) {
        errorText_ = kChecksumFailed;
    } else {
        report.Accepted = true;
        if (line.data() != nmeaSentence_.data()) {
            nmeaSentence_.assign(line);
        }
        const size_t fieldCount = SplitFields(nmeaSentence_, fields_);
        kind = KindOf(fields_[0]);
        switch (kind) {
            case TSentenceKind::RMC:
                result = DecodeRMC();
                break;
            case TSentenceKind::GSA:
                result = DecodeGSA(fieldCount);
                break;
            case TSentenceKind::GGA:
                result = DecodeGGA();
                break;
            case TSentenceKind::GSV:
                result = true;
                satellitesChanged = DecodeGSV(fieldCount) || satellitesChanged;
                break;
            case TSentenceKind::Other:
                result = true;
                break;
        }
        // The used marks of the satellites in view follow the used set once
        // its GSA group is whole: at the next other line (ndGNSS groups), or
        // at the GSA itself (ndGP).
        const bool groupEnds = dialect_ == TNmeaDialect::ndGNSS
                                   ? gsaGroupOpen_ && kind != TSentenceKind::GSA
                                   : kind == TSentenceKind::GSA;
        if (groupEnds && satellitesInView_.MarkUsed(usedSatellites_)) {
            satellitesChanged = true;
        }
        gsaGroupOpen_ = kind == TSentenceKind::GSA;
        if (!result && dialect_ == TNmeaDialect::ndGNSS) {
            NameSentenceInError();
        }
    }
    if (kind != TSentenceKind::GSV && satellitesInView_.HasParts()) {
        satellitesChanged =
            satellitesInView_.DropOut(SatelliteClockMs(), usedSatellites_) || satellitesChanged;
    }
    report.Line = line;
    report.Result = result;
    report.Kind = kind;
    report.FixLost = wasValid && !fixValid_;
    // Only an RMC that decoded whole reports a fix, and a line that failed
    // reports no change: its values are not to be trusted. Changes are told
    // against what the reports last said, so the next decoded line catches up.
    if (result) {
        report.ValidFix = kind == TSentenceKind::RMC && fixValid_;
        report.ProgressChanged = fixDim_ != reportedDim_;
        report.QualityChanged = fixQuality_ != reportedQuality_;
        reportedDim_ = fixDim_;
        reportedQuality_ = fixQuality_;
    }
    report.SatellitesChanged = satellitesChanged;
    return Notify([&](TNmeaListener& l) { l.LineProcessed(*this, report); });
}

TSentenceKind TNmeaDecoder::KindOf(const std::string& id) const {
    // A talker of two upper-case letters (ndGP: GP only) and the sentence
    // type. "P" starts a proprietary sentence ($PGRMC is Garmin's), never a talker.
    if (id.size() != 5) {
        return TSentenceKind::Other;
    }
    if (dialect_ == TNmeaDialect::ndGNSS) {
        if (id[0] < 'A' || id[0] > 'Z' || id[0] == 'P' || id[1] < 'A' || id[1] > 'Z') {
            return TSentenceKind::Other;
        }
    } else if (id[0] != 'G' || id[1] != 'P') {
        return TSentenceKind::Other;
    }
    const char a = id[2];
    const char b = id[3];
    const char c = id[4];
    if (a == 'R' && b == 'M' && c == 'C') {
        return TSentenceKind::RMC;
    }
    if (a == 'G' && b == 'G' && c == 'A') {
        return TSentenceKind::GGA;
    }
    if (a == 'G' && b == 'S' && c == 'A') {
        return TSentenceKind::GSA;
    }
    if (a == 'G' && b == 'S' && c == 'V') {
        return TSentenceKind::GSV;
    }
    return TSentenceKind::Other;
}

void TNmeaDecoder::NameSentenceInError() {
    // The decoders' texts name the GP sentence ("GPRMC is invalid"); another
    // talker's line is named as received ("GNRMC is invalid").
    const std::string& id = fields_[0];
    if (errorText_.size() >= 5 && errorText_.compare(0, 2, "GP") == 0 &&
        errorText_.compare(2, 3, id, 2, 3) == 0 && id.compare(0, 2, "GP") != 0) {
        errorText_.replace(0, 2, id, 0, 2);
    }
}

bool TNmeaDecoder::DecodeGSV(size_t fieldCount) {
    // Never fails: a malformed GSV only drops its unfinished group.
    return satellitesInView_.Add(fields_, fieldCount, SatelliteClockMs(), usedSatellites_);
}

bool TNmeaDecoder::DecodeRMC() {
    const TDataArray& f = fields_;
    const bool wasValid = fixValid_;
    // NMEA 2.3 mode indicator "N": no fix, whatever the status says.
    fixValid_ =
        IsExactly(f[2], 'A') && !(dialect_ == TNmeaDialect::ndGNSS && IsExactly(f[12], 'N'));
    if (!fixValid_) {
        return true;
    }
    const double time = NmeaDateTime(f[9], f[1]);
    utcTime_ = time;
    fixArrival_ = lineArrival_;
    // Each value is checked before it is stored, so no impossible one is
    // kept. A receiver that stands still leaves speed or course empty: not
    // known (NaN), which is no failure.
    bool ok =
        ParseAngle(f[3], 90.0, f[4], 'S', latDeg_) && ParseAngle(f[5], 180.0, f[6], 'W', lonDeg_);
    double speed = kNotKnown;
    ok = ok && (f[7].empty() || (ParsePlausible(f[7], speed) && speed >= 0.0));
    if (ok) {
        speedKnots_ = speed;
    }
    double course = kNotKnown;
    ok = ok && (f[8].empty() || ParsePlausible(f[8], course));
    if (ok) {
        cog_ = course;
    }
    if (ok && !f[10].empty()) {
        double variation = 0.0;
        ok = ParsePlausible(f[10], variation);
        if (ok) {
            magVar_ = IsExactly(f[11], 'W') ? -variation : variation;
            hasMagVar_ = true;
        }
    }
    if (!ok) {
        // A corrupted line does not make the fix valid.
        fixValid_ = wasValid;
        errorText_ = kRmcInvalid;
        return false;
    }
    // The clock is set only from a line that decoded whole, to the fraction
    // of its second (receivers of several fixes a second send .20, .50 ...).
    clockTime_ = time > 0.0 ? time + NmeaTimeFraction(f[1]) / 86400.0 : time;
    clockArrival_ = lineArrival_;
    return true;
}

bool TNmeaDecoder::DecodeGGA() {
    const TDataArray& f = fields_;
    int32_t quality = 0;
    if (!ParseInteger(f[6], quality) || quality < 0 || quality > 8) {
        errorText_ = kGgaInvalid;
        return false;
    }
    const bool wasValid = fixValid_;
    fixQuality_ = quality;
    fixValid_ = quality != 0;
    fixSatCount_ = 0;
    if (!fixValid_) {
        return true;
    }
    int32_t satellites = 0;
    bool ok = ParseInteger(f[7], satellites) && satellites >= 0 && satellites <= 99;
    if (ok) {
        fixSatCount_ = satellites;
    }
    ok = ok && ParsePlausible(f[9], rawAltitude_) && !f[10].empty();
    if (ok) {
        altUnits_ = f[10][0];
        if (!f[11].empty()) {
            ok = ParsePlausible(f[11], geoidDelta_) && !f[12].empty();
            if (ok) {
                deltaUnits_ = f[12][0];
                hasGeoidDelta_ = true;
            }
        }
    }
    if (ok && !f[13].empty() && !f[14].empty()) {
        ok = ParsePlausible(f[13], ageDGPS_);
        if (ok) {
            stnDGPS_ = f[14];
            isDGPS_ = true;
        }
    }
    if (!ok) {
        // A corrupted line does not make the fix valid.
        fixValid_ = wasValid;
        errorText_ = kGgaInvalid;
    }
    return ok;
}

bool TNmeaDecoder::DecodeGSA(size_t fieldCount) {
    const TDataArray& f = fields_;
    // Twelve satellite slots: 17 fields, or 18 with the NMEA 4.10 system ID.
    // Some receivers send 24 slots (29 or 30 fields), and some without a fix
    // only the mode and the dimension; with any other count the slots and
    // dilutions are not where they belong.
    size_t slots = 0;
    if (fieldCount == 18 || fieldCount == 19) {
        slots = 12;
    } else if (fieldCount == 30 || fieldCount == 31) {
        slots = 24;
    } else if (fieldCount < 3 || fieldCount >= 18 || f[2] != "1") {
        errorText_ = kGsaInvalid;
        return false;
    }
    if (f[1].empty()) {
        errorText_ = kGsaInvalid;
        return false;
    }
    fixMode_ = FixModeName(f[1][0]);
    int32_t dim = 0;
    if (!ParseInteger(f[2], dim) || dim < 1 || dim > 3) {
        errorText_ = kGsaInvalid;
        return false;
    }
    const bool wasValid = fixValid_;
    fixDim_ = dim;
    fixValid_ = dim > 1;
    // A GSA that follows a GSA in ndGNSS adds its satellites to the group's.
    if (dialect_ != TNmeaDialect::ndGNSS || !gsaGroupOpen_) {
        satSet_ = 0;
        usedSatellites_.clear();
    }
    pdop_ = hdop_ = vdop_ = 100.0;
    if (!fixValid_) {
        return true;
    }
    // The fields as views: those of 24 slots reach past the split array.
    std::array<std::string_view, 31> v;
    if (slots == 12) {
        std::copy(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(fieldCount), v.begin());
    } else {
        std::string_view rest = NmeaPayload(nmeaSentence_);
        for (size_t i = 0; i < fieldCount; ++i) {
            const size_t comma = rest.find(',');
            v[i] = rest.substr(0, comma);
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        }
    }
    // The NMEA 4.10 system ID, else the talker and the number, give the system.
    int32_t systemId = 0;
    const bool hasSystemId = fieldCount == slots + 7 && ParseInteger(v[slots + 6], systemId);
    const std::string_view talker = v[0].substr(0, 2);
    bool ok = true;
    for (size_t i = 3; ok && i < 3 + slots; ++i) {
        // An integer is taken; other numbers fail; any other text is skipped.
        int32_t n = 0;
        if (v[i].empty() || !ParseInteger(v[i], n)) {
            ok = !IsNumber(v[i]);
            continue;
        }
        if (n >= 0 && n <= 31) {
            satSet_ |= uint32_t{1} << n;
        }
        if (n > 0) {
            AddSatelliteId(
                usedSatellites_,
                {hasSystemId ? GnssSystemOfId(systemId, n) : GnssSystemOf(talker, n), n});
        }
    }
    ok = ok && ParsePlausible(v[slots + 3], pdop_) && ParsePlausible(v[slots + 4], hdop_) &&
         ParsePlausible(v[slots + 5], vdop_);
    if (!ok) {
        // A corrupted line does not make the fix valid.
        fixValid_ = wasValid;
        errorText_ = kGsaInvalid;
    }
    return ok;
}

void RaiseLineEvents(const TNmeaDecoder& d, const TLineReport& report, TLineEventSink& sink) {
    if (report.FixLost && !sink.RaiseFixLoss()) {
        return;
    }
    if (!report.Result) {
        if (!sink.RaiseError(d.ErrorText())) {
            return;
        }
    } else {
        // Only an RMC that decoded whole reports a fix, and a line that failed
        // no change: its values are not to be trusted.
        if (!sink.RaiseSentence(d.Fields()[0], d.Fields()) ||
            (report.ValidFix && !sink.RaiseValidFix()) ||
            (report.ProgressChanged &&
             !sink.RaiseFixProgress(FixDimName(d.FixDim()), d.FixDim())) ||
            (report.QualityChanged &&
             !sink.RaiseFixQuality(QualityName(d.FixQuality(), d.Dialect()), d.FixQuality()))) {
            return;
        }
    }
    if (report.SatellitesChanged) {
        sink.RaiseSatellites(d.SatellitesInView());
    }
}

void TNmeaDecoder::GDOP(double& hdop, double& vdop, double& pdop) const {
    hdop = hdop_;
    vdop = vdop_;
    pdop = pdop_;
}

}  // namespace gps
