#include "share/Requests.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include <nlohmann/json.hpp>

namespace share {

namespace {

using nlohmann::json;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A JSON object parsed without exceptions; nothing when the text is not one.
std::optional<json> ParseObject(std::string_view text) {
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return std::nullopt;
    }
    return j;
}

}  // namespace

bool TRequestParser::Feed(std::string_view bytes, std::vector<TRequest>& out) {
    for (const char c : bytes) {
        if (overflowed_) {
            return false;
        }
        if (!inToken_) {
            if (IsSpace(c) || c == ';') {
                continue;
            }
            inToken_ = true;
        }
        if (depth_ == 0 && (c == ';' || c == '\r' || c == '\n')) {
            Finish(out);
            continue;
        }
        text_ += c;
        if (text_.size() > maxRequest_) {
            overflowed_ = true;
            text_.clear();
            text_.shrink_to_fit();
            return false;
        }
        if (depth_ == 0) {
            if (c == '{' && text_.size() >= 2 && text_[text_.size() - 2] == '=' &&
                text_[0] == '?') {
                depth_ = 1;
            }
            continue;
        }
        // Inside the JSON argument: only its own brackets, outside its
        // strings, end it; line ends are whitespace there.
        if (inString_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                inString_ = false;
            }
        } else if (c == '"') {
            inString_ = true;
        } else if (c == '{' || c == '[') {
            ++depth_;
        } else if ((c == '}' || c == ']') && --depth_ == 0) {
            Finish(out);
        }
    }
    return !overflowed_;
}

void TRequestParser::Finish(std::vector<TRequest>& out) {
    out.push_back(ClassifyRequest(std::move(text_)));
    text_.clear();
    inToken_ = false;
    depth_ = 0;
    inString_ = false;
    escaped_ = false;
}

TRequest ClassifyRequest(std::string text) {
    TRequest r;
    r.Text = std::move(text);
    const std::string& t = r.Text;
    if (t.empty() || t[0] != '?') {
        return r;
    }
    size_t end = 1;
    while (end < t.size() && IsLetter(t[end])) {
        ++end;
    }
    const std::string_view name = std::string_view(t).substr(1, end - 1);
    std::string_view rest = std::string_view(t).substr(end);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
        rest.remove_suffix(1);
    }
    TRequestKind kind = TRequestKind::Unknown;
    bool takesArgument = false;
    if (name == "VERSION") {
        kind = TRequestKind::Version;
    } else if (name == "DEVICES") {
        kind = TRequestKind::Devices;
    } else if (name == "WATCH") {
        kind = TRequestKind::Watch;
        takesArgument = true;
    } else if (name == "POLL") {
        kind = TRequestKind::Poll;
    } else if (name == "DEVICE") {
        kind = TRequestKind::Device;
        takesArgument = true;
    }
    if (rest.empty()) {
        r.Kind = kind;
    } else if (rest[0] == '=' && takesArgument) {
        r.Kind = kind;
        r.HasArgument = true;
        r.Argument = std::string(rest.substr(1));
    }
    return r;
}

bool ApplyWatch(std::string_view argument, TWatch& watch, std::string& error) {
    const std::optional<json> j = ParseObject(argument);
    if (!j) {
        error = "Invalid WATCH: not a JSON object";
        return false;
    }
    TWatch w = watch;
    // An argument enables watching unless it says otherwise.
    w.Enable = true;
    bool* const flags[] = {&w.Enable, &w.Json, &w.Nmea, &w.Scaled, &w.Timing, &w.Split24, &w.Pps};
    const char* const names[] = {"enable", "json", "nmea", "scaled", "timing", "split24", "pps"};
    for (size_t i = 0; i < std::size(names); ++i) {
        const auto it = j->find(names[i]);
        if (it == j->end()) {
            continue;
        }
        if (!it->is_boolean()) {
            error = std::string("Invalid WATCH: '") + names[i] + "' must be true or false";
            return false;
        }
        *flags[i] = it->get<bool>();
    }
    if (const auto it = j->find("raw"); it != j->end()) {
        if (it->is_boolean()) {
            w.Raw = it->get<bool>() ? 1 : 0;
        } else if (it->is_number_integer() && it->get<int64_t>() >= 0 && it->get<int64_t>() <= 2) {
            w.Raw = static_cast<int32_t>(it->get<int64_t>());
        } else {
            error = "Invalid WATCH: 'raw' must be 0, 1 or 2";
            return false;
        }
    }
    if (const auto it = j->find("device"); it != j->end()) {
        if (!it->is_string()) {
            error = "Invalid WATCH: 'device' must be a string";
            return false;
        }
        w.Device = it->get<std::string>();
    }
    if (w.Enable && !w.Json && !w.Nmea && w.Raw == 0) {
        w.Json = true;
    }
    watch = std::move(w);
    return true;
}

bool DeviceQueryOnly(std::string_view argument, const TDeviceInfo& device, std::string& error) {
    const std::optional<json> j = ParseObject(argument);
    if (!j) {
        error = "Invalid DEVICE: not a JSON object";
        return false;
    }
    for (const auto& [key, value] : j->items()) {
        bool same = false;
        if (key == "class") {
            same = value == "DEVICE";
        } else if (key == "path") {
            same = value == device.Path;
        } else if (key == "driver") {
            same = value == "NMEA0183";
        } else if (key == "bps") {
            same = value.is_number() && value.get<double>() == device.Bps;
        } else if (key == "parity") {
            same = value == std::string(1, device.Parity);
        } else if (key == "stopbits") {
            same = value.is_number() && value.get<double>() == device.StopBits;
        } else if (key == "native") {
            same = value.is_number() && value.get<double>() == 0;
        } else if (key == "cycle") {
            same = value.is_number() && value.get<double>() == 1.0;
        }
        if (!same) {
            error = "Device configuration is not allowed: '" + QuotedRequest(key) +
                    "' would change the shared receiver, which clients only read";
            return false;
        }
    }
    return true;
}

std::string QuotedRequest(std::string_view text) {
    constexpr size_t kMaxQuoted = 80;
    std::string out;
    for (const char c : text) {
        if (out.size() >= kMaxQuoted) {
            out += "...";
            break;
        }
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace share
