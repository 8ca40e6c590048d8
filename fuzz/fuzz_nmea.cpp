// Arbitrary bytes, cut into arbitrary chunks, through the receiver's
// PortTriggerAvail with every event assigned, in either dialect (GSV groups
// and GSA groups included), taken a character or a block at a time; the
// helpers get the same bytes. The same lines ended by CR LF, CR CR LF and a
// bare CR give the same events, once each, and gpscat's JSON of them is
// valid with no "nan" or "inf" in it.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzCommon.h"
#include "gps/GPS.h"
#include "gps/NMEA.h"
#include "gps/NavUtils.h"
#include "tools/gpscat/GpsCat.h"

using fuzz::Check;
using fuzz::TFuzzSource;

namespace {

// Every number in a JSON value is finite.
bool AllFinite(const nlohmann::json& j) {
    if (j.is_number_float()) {
        return std::isfinite(j.get<double>());
    }
    if (j.is_structured()) {
        for (const auto& item : j) {
            if (!AllFinite(item)) {
                return false;
            }
        }
    }
    return true;
}

// gpscat's event lines for a stream, taken in blocks of up to 61 bytes.
std::string EventText(std::string_view stream, gps::TNmeaDialect dialect) {
    gps::TGPS receiver;
    receiver.SetDialect(dialect);
    receiver.Decoder().SetSatelliteClock([] { return uint32_t{1000}; });
    std::string out;
    gpscat::AttachEventWriters(receiver, out, true);
    TFuzzSource source(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    source.SetBlocks(true);
    while (source.Waiting() > 0) {
        receiver.PortTriggerAvail(source,
                                  static_cast<uint16_t>(std::min<size_t>(61, source.Waiting())));
    }
    gpscat::AppendState(out, receiver.Decoder(), receiver.FixUnits());
    return out;
}

// The stream with its line feeds dropped and each carriage return replaced.
std::string WithEndings(std::string_view stream, std::string_view ending) {
    std::string out;
    for (const char c : stream) {
        if (c == '\r') {
            out += ending;
        } else if (c != '\n') {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the chunking and the settings; the rest is the stream.
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    ++data;
    --size;

    gps::TGPS receiver;
    receiver.SetUnits(static_cast<gps::TUnits>(control % 3));
    receiver.SetPosUnits(static_cast<gps::TFloatUnits>((control >> 2) % 4));
    receiver.SetStrFormat(static_cast<gps::TStrFormat>((control >> 4) % 3));
    receiver.SetDialect((control & 0x40) != 0 ? gps::TNmeaDialect::ndGNSS
                                              : gps::TNmeaDialect::ndGP);
    size_t texts = 0;
    // Per line: every processed line raises OnError or OnSentence; a fix loss
    // comes before either, the other fix events after OnSentence.
    bool errorLine = false;
    bool lossPending = false;
    double clockTime = 0.0;
    receiver.OnSentence = [&](gps::TGPS& g, const std::string& id, const gps::TDataArray& a) {
        Check(id == a[0]);
        Check(gps::ChecksumOK(g.NmeaSentence()));
        // The clock time comes only from a GPRMC that decoded whole.
        if (id.size() != 5 || id.compare(2, 3, "RMC") != 0) {
            Check(g.ClockTime() == clockTime);
        }
        clockTime = g.ClockTime();
        errorLine = false;
        lossPending = false;
        texts += g.LatAsStr().size() + g.LonAsStr().size();
    };
    receiver.OnValidFix = [&](gps::TGPS& g, double, double, double sog, double cog) {
        Check(g.FixValid() && !errorLine);
        Check(std::abs(g.LatDeg()) <= 90.0 && std::abs(g.LonDeg()) <= 180.0);
        // An empty speed or course is not known (NaN), never infinite.
        Check(!std::isinf(sog) && !std::isinf(cog));
        texts += g.LatAsStr().size();
    };
    receiver.OnFixLoss = [&](gps::TGPS& g) {
        Check(!g.FixValid());
        lossPending = true;
    };
    receiver.OnFixProgress = [&](gps::TGPS& g, const std::string& name, int32_t dim) {
        Check(dim == g.FixDim() && !name.empty() && !errorLine);
    };
    receiver.OnFixQuality = [&](gps::TGPS& g, const std::string& name, int32_t q) {
        Check(q == g.FixQuality() && !name.empty() && !errorLine);
    };
    receiver.OnError = [&](gps::TGPS& g, const std::string& message) {
        Check(!message.empty());
        Check(!lossPending && g.ClockTime() == clockTime);
        errorLine = true;
    };
    receiver.OnSatellites = [&](gps::TGPS& g, const gps::TSatelliteList& list) {
        // Sorted, one entry per satellite, marked used from the GSA union.
        Check(&list == &g.SatellitesInView());
        fuzz::CheckSatellites(g, &list);
        for (const gps::TSatellite& sat : list) {
            texts += gps::GnssSystemName(sat.System).size();
        }
    };

    TFuzzSource source(data, size);
    source.SetBlocks((control & 0x80) != 0);
    // Chunk sizes from the stream itself: each chunk's length is taken from
    // the byte at its start, so the fuzzer controls the cutting.
    size_t step = 0;
    while (source.Waiting() > 0) {
        const size_t want = 1 + (data[step % size] ^ control) % 97;
        const size_t n = want < source.Waiting() ? want : source.Waiting();
        // Now and then the port reads as closed for a chunk.
        source.SetOpen((data[step % size] & 0x1F) != 0x1F);
        receiver.PortTriggerAvail(source, static_cast<uint16_t>(n));
        Check(receiver.LineBuffer().size() <= gps::TGPS::kMaxLineLength);
        step += n;
    }

    // Line endings: each line's events once, whichever ending it has.
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    const gps::TNmeaDialect dialect =
        (control & 0x40) != 0 ? gps::TNmeaDialect::ndGNSS : gps::TNmeaDialect::ndGP;
    const std::string events = EventText(WithEndings(stream, "\r\n"), dialect);
    Check(events == EventText(WithEndings(stream, "\r\r\n"), dialect));
    Check(events == EventText(WithEndings(stream, "\r"), dialect));
    for (size_t start = 0; start < events.size();) {
        const size_t end = events.find('\n', start);
        const nlohmann::json line = nlohmann::json::parse(events.substr(start, end - start));
        Check(AllFinite(line));
        start = end + 1;
    }

    // The text helpers on the raw bytes.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    gps::TDataArray fields;
    gps::SplitSentence(text, fields);
    double value = 0;
    gps::NmeaDegMin(text, value);
    if (gps::ParseNumber(text, value)) {
        // Whatever path the conversion took, it matches the correctly rounded one.
        std::string_view digits = text;
        const bool negative = digits[0] == '-';
        if (digits[0] == '+' || digits[0] == '-') {
            digits.remove_prefix(1);
        }
        double reference = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), reference);
        Check(value == (negative ? -reference : reference));
    }
    int32_t integer = 0;
    gps::ParseInteger(text, integer);
    const double day = gps::NmeaDateTime(text, text.size() > 6 ? text.substr(6) : text);
    // Two-digit years give 2000 to 2099 (a signed piece such as "-9" reaches back to 1991).
    Check(day == -1.0 || (day >= 33239.0 && day < 73051.0));
    if (size >= sizeof(double)) {
        double angle = 0;
        std::memcpy(&angle, data, sizeof angle);
        texts +=
            gps::PositionText(static_cast<gps::TStrFormat>(control % 3), control & 1, angle).size();
    }
    Check(texts < (size_t{1} << 40));
    return 0;
}
