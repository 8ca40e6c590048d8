#include "record/NmeaLog.h"

namespace record {

bool TNmeaLog::Create(const std::string& path, bool overwrite) {
    Close();
    path_ = path;
    error_.clear();
    buffer_.clear();
    bytes_ = 0;
    std::string reason;
    if (!file_.Create(path, overwrite, reason)) {
        error_ = "cannot create " + path + ": " + reason;
        return false;
    }
    return true;
}

bool TNmeaLog::Append(std::string_view bytes, uint32_t nowMs) {
    if (!IsOpen() || Failed()) {
        return false;
    }
    if (bytes.empty()) {
        return Poll(nowMs);
    }
    if (buffer_.empty()) {
        oldestMs_ = nowMs;
    }
    buffer_ += bytes;
    bytes_ += bytes.size();
    if (buffer_.size() >= kMaxBuffer) {
        return Flush();
    }
    return Poll(nowMs);
}

bool TNmeaLog::AppendLine(std::string_view line, uint32_t nowMs) {
    if (!IsOpen() || Failed()) {
        return false;
    }
    if (buffer_.empty()) {
        oldestMs_ = nowMs;
    }
    buffer_ += line;
    buffer_ += "\r\n";
    bytes_ += line.size() + 2;
    if (buffer_.size() >= kMaxBuffer) {
        return Flush();
    }
    return Poll(nowMs);
}

bool TNmeaLog::Poll(uint32_t nowMs) {
    if (!buffer_.empty() && static_cast<uint32_t>(nowMs - oldestMs_) >= kFlushMs) {
        return Flush();
    }
    return !Failed();
}

bool TNmeaLog::Flush() {
    if (!IsOpen() || Failed()) {
        return false;
    }
    std::string reason;
    if (!buffer_.empty() && !file_.Append(buffer_, reason)) {
        error_ = "cannot write " + path_ + ": " + reason;
        buffer_.clear();
        file_.Close();
        return false;
    }
    buffer_.clear();
    return true;
}

bool TNmeaLog::Close() {
    const bool ok = !IsOpen() || Flush();
    file_.Close();
    return ok && !Failed();
}

}  // namespace record
