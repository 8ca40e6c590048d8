#include <cctype>

#include "tools/nmeasim/Feed.h"

namespace nmeasim {

namespace {

struct TLineTime {
    std::string time;  // hhmmss[.f] without the fraction's trailing zeros; empty when none
    bool isRmc = false;
};

// The time of day a sentence carries, and whether it is an RMC.
TLineTime LineTime(const std::string& line) {
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
    std::vector<std::string> epochs;
    std::string current;
    std::string currentTime;
    bool currentRmc = false;
    for (const std::string& line : lines) {
        const TLineTime t = LineTime(line);
        const bool newTime = !t.time.empty() && !currentTime.empty() && t.time != currentTime;
        if (!current.empty() && (newTime || (t.isRmc && currentRmc))) {
            epochs.push_back(std::move(current));
            current.clear();
            currentTime.clear();
            currentRmc = false;
        }
        current += line;
        if (currentTime.empty()) {
            currentTime = t.time;
        }
        currentRmc = currentRmc || t.isRmc;
    }
    if (!current.empty()) {
        epochs.push_back(std::move(current));
    }
    return epochs;
}

TReplayFeed::TReplayFeed(std::string_view bytes, double rate, int hz)
    : chunks_(rate > 0 ? SplitLines(bytes) : GroupEpochs(SplitLines(bytes))),
      interval_(rate > 0 ? 1.0 / rate : 1.0 / hz) {}

bool TReplayFeed::Next(TChunk& chunk) {
    if (index_ >= chunks_.size()) {
        return false;
    }
    chunk.due = static_cast<double>(index_) * interval_;
    chunk.bytes = std::move(chunks_[index_++]);
    return true;
}

}  // namespace nmeasim
