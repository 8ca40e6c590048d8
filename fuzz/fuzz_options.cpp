// The companion programs' command lines: an argument list made from the fuzz
// bytes (split at NUL bytes) through gpscat's and nmeasim's option parsing.
// Each either accepts with options that keep their documented ranges and
// rules, or refuses with a message naming the program; nothing throws.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "tools/gpscat/GpsCat.h"
#include "tools/nmeasim/NmeaSim.h"

namespace {

using fuzz::Check;

bool In(int64_t v, int64_t low, int64_t high) {
    return v >= low && v <= high;
}

void CheckGpsCat(const std::vector<std::string>& args) {
    gpscat::TOptions o;
    std::string error;
    bool ok = false;
    try {
        ok = gpscat::ParseOptions(args, o, error);
    } catch (...) {
        Check(false);
    }
    if (!ok) {
        Check(error.rfind("gpscat: ", 0) == 0 && error.size() > 8);
        return;
    }
    Check(In(static_cast<int>(o.units), 0, 2) && In(static_cast<int>(o.posUnits), 0, 3) &&
          In(static_cast<int>(o.format), 0, 2));
    Check(o.files.size() <= args.size());
    for (const std::string& f : o.files) {
        bool given = false;
        for (const std::string& a : args) {
            given = given || a == f;
        }
        Check(given);
    }
    Check(o.port <= 255 && In(o.baud, 1, 4000000) && In(o.timeoutMs, 0, 86400000));
    Check(In(o.waitSeconds, 1, 86400) && In(o.everySeconds, 1, 86400) &&
          In(o.thresholdMs, 0, 86400000));
    Check(In(o.shmUnit, -1, 255) && In(o.offsetMs, -10000, 10000));
    // Either a port or files; the port's own options only with a port.
    Check(o.port == 0 || o.files.empty());
    if (o.port == 0) {
        Check(o.baud == 4800 && o.timeoutMs == 3000 && o.trace.empty() && o.log.empty());
        Check(o.setClock == gpscat::TClockChoice::None &&
              o.keepClock == gpscat::TClockChoice::None);
        Check(o.shmUnit == -1 && o.offsetMs == 0 && o.reconnect);
    }
    Check(o.setClock == gpscat::TClockChoice::None || o.keepClock == gpscat::TClockChoice::None);
    Check(o.setClock != gpscat::TClockChoice::None || o.waitSeconds == 60);
    Check(o.keepClock != gpscat::TClockChoice::None ||
          (o.everySeconds == 60 && o.thresholdMs == 100));
}

void CheckNmeaSim(const std::vector<std::string>& args) {
    nmeasim::TOptions o;
    std::string error;
    bool ok = false;
    try {
        ok = nmeasim::ParseOptions(args, o, error);
    } catch (...) {
        Check(false);
    }
    if (!ok) {
        Check(error.rfind("nmeasim: ", 0) == 0 && error.size() > 9);
        return;
    }
    Check(std::isfinite(o.rate) && o.rate >= 0 && (o.rate == 0 || !o.replay.empty()));
    Check(std::isfinite(o.speed) && o.speed >= 0 && o.count >= 0);
    Check(o.delayMs >= 0 && o.delayMs < 1000 && o.jitterMs >= 0 && o.jitterMs < 1000);
    Check(o.realtime || (o.delayMs == 120 && o.jitterMs == 5));
    Check(!o.realtime || (o.replay.empty() && !o.start && o.speed == 1));
    Check(!o.toStdout || (o.link.empty() && !o.persist));
    // 1980-01-01 to the end of 2099.
    Check(!o.start || In(*o.start, 315532800, 4102444799));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    CheckGpsCat(args);
    CheckNmeaSim(args);
    // The time layout of --start on each argument alone.
    for (const std::string& a : args) {
        int64_t seconds = -1;
        if (nmeasim::ParseUtc(a, seconds)) {
            Check(In(seconds, 315532800, 4102444799));
        }
    }
    return 0;
}
