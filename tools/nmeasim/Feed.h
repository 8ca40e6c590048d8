// What the simulator writes and when: a sequence of chunks of bytes, each due
// at a moment of the receiver's own time (seconds from the start; the time
// factor turns it into waiting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/nmeasim/Scenario.h"

namespace nmeasim {

// The most bytes a replay's chunk holds.
constexpr size_t kMaxChunk = 65536;

struct TChunk {
    double due = 0;  // seconds from the start
    std::string bytes;
    // The epoch (or line) goes on in the next chunk, due at the same moment:
    // a long one goes out in parts of at most kMaxChunk bytes, so that the
    // memory a replay takes stays bounded.
    bool partial = false;
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

// The lines (as SplitLines gives them) grouped into epochs, the lines a
// receiver sends for one time of day. A new epoch starts at a sentence whose
// time of day (to the fraction of the second: hhmmss.20 is not hhmmss.00,
// hhmmss.00 is hhmmss) differs from the one of the epoch so far (GGA, RMC,
// GNS, ZDA, GLL of any talker), or at an RMC when the epoch already has one;
// lines without time (GSA, GSV, noise) belong to the epoch they follow.
std::vector<std::string> GroupEpochs(const std::vector<std::string>& lines);

// Where a replayed log comes from: its bytes a block at a time, as they come.
class TByteSource {
  public:
    virtual ~TByteSource() = default;
    // Reads up to size bytes and tells how many came, 0 at the end of the
    // log; false on a read error, with the system's reason in error.
    virtual bool Read(char* buffer, size_t size, size_t& got, std::string& error) = 0;
};

// A recorded log, read as it is replayed: with rate 0 its epochs (grouped
// as GroupEpochs does) hz a second, the log's own cadence; otherwise one
// line every 1/rate seconds. Only what the next chunk needs is held.
class TReplayFeed : public TFeed {
  public:
    TReplayFeed(std::unique_ptr<TByteSource> source, double rate, int hz = 1);
    // A log held in memory.
    TReplayFeed(std::string_view bytes, double rate, int hz = 1);
    bool Next(TChunk& chunk) override;
    // Whether the log has a first byte, read ahead to tell: false for an
    // empty log and for one that cannot be read (Error() then says why).
    bool HasBytes();
    // The reason a read error ended the log early; empty when it did not.
    const std::string& Error() const { return error_; }

  private:
    bool Fill();
    bool NextLine(std::string_view& line, bool& whole);
    bool NextLineChunk(TChunk& chunk);
    bool NextEpochChunk(TChunk& chunk);
    void HandOutEpoch(TChunk& chunk, bool partial);

    std::unique_ptr<TByteSource> source_;
    bool byLines_;
    double interval_;
    size_t index_ = 0;  // of the next epoch or line
    std::string read_;  // read from the source, from taken_ on not yet used
    size_t taken_ = 0;
    bool end_ = false;  // the source has no more
    std::string error_;
    // The epoch being gathered: its bytes not yet handed out, its time of
    // day, whether it has an RMC, and whether its last line goes on.
    bool open_ = false;
    std::string epoch_;
    std::string epochTime_;
    bool epochRmc_ = false;
    bool midLine_ = false;
};

}  // namespace nmeasim
