// What the simulator writes and when: a sequence of chunks of bytes, each due
// at a moment of the receiver's own time (seconds from the start; the time
// factor turns it into waiting).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/nmeasim/Scenario.h"

namespace nmeasim {

struct TChunk {
    double due = 0;  // seconds from the start
    std::string bytes;
};

class TFeed {
  public:
    virtual ~TFeed() = default;
    // The next chunk; false when there is none left.
    virtual bool Next(TChunk& chunk) = 0;
};

// The built-in scenario: one chunk per epoch, hz epochs a second.
class TScenarioFeed : public TFeed {
  public:
    TScenarioFeed(uint64_t seed, int64_t startUtc, TDialect dialect = TDialect::GP, int hz = 1)
        : scenario_(seed, startUtc, dialect, hz), hz_(hz) {}
    bool Next(TChunk& chunk) override;

  private:
    TScenario scenario_;
    int hz_;
    int64_t index_ = 0;
};

// The lines of a recorded log, each with its line end (a last line without
// one is kept as it is).
std::vector<std::string> SplitLines(std::string_view bytes);

// The lines grouped into epochs, the lines a receiver sends for one time of
// day. A new epoch starts at a sentence whose time of day (to the fraction
// of the second: hhmmss.20 is not hhmmss.00, hhmmss.00 is hhmmss) differs
// from the one of the epoch so far (GGA, RMC, GNS, ZDA, GLL of any talker),
// or at an RMC when the epoch already has one; lines without time (GSA, GSV,
// noise) belong to the epoch they follow.
std::vector<std::string> GroupEpochs(const std::vector<std::string>& lines);

// A recorded log: with rate 0 hz epochs a second (the log's own cadence),
// otherwise one line every 1/rate seconds.
class TReplayFeed : public TFeed {
  public:
    TReplayFeed(std::string_view bytes, double rate, int hz = 1);
    bool Next(TChunk& chunk) override;

  private:
    std::vector<std::string> chunks_;
    double interval_;
    size_t index_ = 0;
};

}  // namespace nmeasim
