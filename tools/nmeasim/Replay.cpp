#include <algorithm>
#include <cctype>
#include <cstring>

#include "tools/nmeasim/Feed.h"

namespace nmeasim {

namespace {

struct TLineTime {
    std::string time;  // hhmmss[.f] without the fraction's trailing zeros; empty when none
    bool isRmc = false;
};

// The time of day a sentence carries, and whether it is an RMC.
TLineTime LineTime(std::string_view line) {
    TLineTime result;
    const size_t start = line.find('$');
    if (start == std::string::npos) {
        return result;
    }
    std::vector<std::string> fields(1);
    for (size_t i = start + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '*' || c == '\r' || c == '\n') {
            break;
        }
        if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    const std::string& id = fields[0];
    if (id.size() < 5) {
        return result;
    }
    const std::string type = id.substr(id.size() - 3);
    result.isRmc = type == "RMC";
    size_t index = 0;
    if (type == "RMC" || type == "GGA" || type == "GNS" || type == "ZDA") {
        index = 1;
    } else if (type == "GLL") {
        index = 5;
    }
    if (index == 0 || index >= fields.size() || fields[index].size() < 6) {
        return result;
    }
    std::string time = fields[index].substr(0, 6);
    for (const char c : time) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return result;
        }
    }
    // The fraction's digits, so that the epochs of a log of several a
    // second part; its trailing zeros do not count.
    const std::string& field = fields[index];
    if (field.size() > 7 && field[6] == '.') {
        std::string fraction = field.substr(7);
        while (!fraction.empty() && fraction.back() == '0') {
            fraction.pop_back();
        }
        if (!fraction.empty()) {
            time += "." + fraction;
        }
    }
    result.time = time;
    return result;
}

// A log held in memory.
class TMemorySource : public TByteSource {
  public:
    explicit TMemorySource(std::string_view bytes) : bytes_(bytes) {}
    bool Read(char* buffer, size_t size, size_t& got, std::string&) override {
        got = std::min(size, bytes_.size() - at_);
        std::memcpy(buffer, bytes_.data() + at_, got);
        at_ += got;
        return true;
    }

  private:
    std::string bytes_;
    size_t at_ = 0;
};

// How much is read from the source at a time.
constexpr size_t kReadBlock = 65536;

}  // namespace

bool TScenarioFeed::Next(TChunk& chunk) {
    chunk.due = static_cast<double>(index_++) / hz_;
    chunk.bytes.clear();
    for (const TSimLine& line : scenario_.Next().lines) {
        chunk.bytes += line.text;
    }
    return true;
}

std::vector<std::string> SplitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < bytes.size()) {
        const size_t end = bytes.find('\n', from);
        const size_t next = end == std::string_view::npos ? bytes.size() : end + 1;
        lines.emplace_back(bytes.substr(from, next - from));
        from = next;
    }
    return lines;
}

std::vector<std::string> GroupEpochs(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
    }
    TReplayFeed feed(bytes, 0);
    std::vector<std::string> epochs;
    TChunk chunk;
    bool continued = false;
    while (feed.Next(chunk)) {
        if (continued) {
            epochs.back() += chunk.bytes;
        } else {
            epochs.push_back(chunk.bytes);
        }
        continued = chunk.partial;
    }
    return epochs;
}

TReplayFeed::TReplayFeed(std::unique_ptr<TByteSource> source, double rate, int hz)
    : source_(std::move(source)),
      byLines_(rate > 0),
      interval_(rate > 0 ? 1.0 / rate : 1.0 / std::max(hz, 1)) {}

TReplayFeed::TReplayFeed(std::string_view bytes, double rate, int hz)
    : TReplayFeed(std::make_unique<TMemorySource>(bytes), rate, hz) {}

bool TReplayFeed::HasBytes() {
    while (taken_ == read_.size() && !end_) {
        Fill();
    }
    return taken_ < read_.size();
}

// Reads the next block after what is left unused; false when nothing came.
bool TReplayFeed::Fill() {
    if (end_) {
        return false;
    }
    read_.erase(0, taken_);
    taken_ = 0;
    const size_t had = read_.size();
    read_.resize(had + kReadBlock);
    size_t got = 0;
    if (!source_->Read(read_.data() + had, kReadBlock, got, error_)) {
        got = 0;
    }
    end_ = got == 0;
    read_.resize(had + got);
    return got > 0;
}

// The next line with its line end, or of a line longer than kMaxChunk the
// next part (whole false); false at the end of the log. The line stays
// valid until the next call.
bool TReplayFeed::NextLine(std::string_view& line, bool& whole) {
    for (;;) {
        const std::string_view rest = std::string_view(read_).substr(taken_);
        const size_t end = rest.find('\n');
        if (end != std::string_view::npos && end < kMaxChunk) {
            line = rest.substr(0, end + 1);
            whole = true;
        } else if (rest.size() >= kMaxChunk) {
            line = rest.substr(0, kMaxChunk);
            whole = false;
        } else if (end_ && !rest.empty()) {
            line = rest;  // the last line, without a line end
            whole = true;
        } else if (end_) {
            return false;
        } else {
            Fill();
            continue;
        }
        taken_ += line.size();
        return true;
    }
}

bool TReplayFeed::Next(TChunk& chunk) {
    return byLines_ ? NextLineChunk(chunk) : NextEpochChunk(chunk);
}

bool TReplayFeed::NextLineChunk(TChunk& chunk) {
    std::string_view line;
    bool whole = true;
    if (!NextLine(line, whole)) {
        return false;
    }
    chunk.due = static_cast<double>(index_) * interval_;
    chunk.bytes.assign(line);
    chunk.partial = !whole;
    index_ += whole ? 1 : 0;
    return true;
}

void TReplayFeed::HandOutEpoch(TChunk& chunk, bool partial) {
    chunk.due = static_cast<double>(index_) * interval_;
    chunk.partial = partial;
    // The buffers change hands, so that a long replay allocates nothing.
    chunk.bytes.swap(epoch_);
    epoch_.clear();
    index_ += partial ? 0 : 1;
}

bool TReplayFeed::NextEpochChunk(TChunk& chunk) {
    std::string_view line;
    bool whole = true;
    for (;;) {
        if (!NextLine(line, whole)) {
            if (!open_) {
                return false;
            }
            open_ = false;
            HandOutEpoch(chunk, false);
            return true;
        }
        // The rest of a long line only adds bytes.
        const bool sameLine = midLine_;
        midLine_ = !whole;
        if (!sameLine) {
            const TLineTime t = LineTime(line);
            const bool newTime = !t.time.empty() && !epochTime_.empty() && t.time != epochTime_;
            if (open_ && (newTime || (t.isRmc && epochRmc_))) {
                HandOutEpoch(chunk, false);
                epoch_.assign(line);
                epochTime_ = t.time;
                epochRmc_ = t.isRmc;
                return true;
            }
            if (epochTime_.empty()) {
                epochTime_ = t.time;
            }
            epochRmc_ = epochRmc_ || t.isRmc;
        }
        if (open_ && epoch_.size() + line.size() > kMaxChunk) {
            HandOutEpoch(chunk, true);
            epoch_.assign(line);
            return true;
        }
        epoch_.append(line);
        open_ = true;
    }
}

}  // namespace nmeasim
