// One JSON object written straight into a line buffer, keys in the order
// given, compact, with numbers and escapes exactly as nlohmann::json's dump
// writes them, so the output stays the same while no document is built.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace gpscat {

// A byte string as UTF-8: each byte is the Latin-1 code point of that value,
// so the result is valid UTF-8 and 0xB0 reads as the degree sign.
inline std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 4);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

class TJsonLine {
  public:
    // Starts the object at the end of out.
    explicit TJsonLine(std::string& out) : out_(out) { out_ += '{'; }
    TJsonLine(const TJsonLine&) = delete;
    TJsonLine& operator=(const TJsonLine&) = delete;

    // A key and its value; strings must be UTF-8.
    TJsonLine& String(std::string_view key, std::string_view value) {
        Key(key);
        Quoted(value);
        return *this;
    }
    // A byte string read as Latin-1 (each byte the code point of its value),
    // written as UTF-8: 0xB0 reads as the degree sign.
    TJsonLine& Latin1(std::string_view key, std::string_view bytes) {
        Key(key);
        QuoteLatin1(out_, bytes);
        return *this;
    }
    TJsonLine& Int(std::string_view key, int64_t value) {
        Key(key);
        char text[24];
        out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
        return *this;
    }
    // NaN and infinities are null, as JSON has no such numbers.
    TJsonLine& Double(std::string_view key, double value) {
        Key(key);
        if (!std::isfinite(value)) {
            out_ += "null";
            return *this;
        }
        char text[64];
        out_.append(text, nlohmann::detail::to_chars(text, text + sizeof text, value));
        return *this;
    }
    TJsonLine& Bool(std::string_view key, bool value) {
        Key(key);
        out_ += value ? "true" : "false";
        return *this;
    }
    TJsonLine& Null(std::string_view key) {
        Key(key);
        out_ += "null";
        return *this;
    }
    // A key whose value the caller writes into Out() (an array or object).
    std::string& Raw(std::string_view key) {
        Key(key);
        return out_;
    }
    // Closes the object and the line.
    void End() { out_ += "}\n"; }
    // Closes the object inside an array or object.
    void Close() { out_ += '}'; }

    // A string as a JSON string with its escapes.
    static void Quote(std::string& out, std::string_view value) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += '"';
        size_t run = 0;  // characters that need no escape, copied at once
        for (size_t i = 0; i < value.size(); ++i) {
            const auto c = static_cast<unsigned char>(value[i]);
            if (c >= 0x20 && c != '"' && c != '\\') {
                continue;
            }
            out.append(value.data() + run, i - run);
            run = i + 1;
            out += '\\';
            switch (c) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '\b':
                    out += 'b';
                    break;
                case '\t':
                    out += 't';
                    break;
                case '\n':
                    out += 'n';
                    break;
                case '\f':
                    out += 'f';
                    break;
                case '\r':
                    out += 'r';
                    break;
                default:
                    out += "u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                    break;
            }
        }
        out.append(value.data() + run, value.size() - run);
        out += '"';
    }

    // Bytes as Latin-1 in a JSON string: bytes from 0x80 become two UTF-8 bytes.
    static void QuoteLatin1(std::string& out, std::string_view bytes) {
        size_t high = 0;
        for (const char c : bytes) {
            high += static_cast<unsigned char>(c) >> 7;
        }
        if (high == 0) {
            Quote(out, bytes);
            return;
        }
        Quote(out, Latin1ToUtf8(bytes));
    }

  private:
    void Key(std::string_view key) {
        if (!first_) {
            out_ += ',';
        }
        first_ = false;
        Quoted(key);
        out_ += ':';
    }
    void Quoted(std::string_view value) { Quote(out_, value); }

    std::string& out_;
    bool first_ = true;
};

}  // namespace gpscat
