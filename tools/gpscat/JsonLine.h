// One JSON object written straight into a line buffer, keys in the order
// given, compact, with numbers and escapes exactly as nlohmann::json's dump
// writes them, so the output stays the same while no document is built.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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
    static void Quote(std::string& out, std::string_view value) { QuoteAs(out, value, false); }

    // Bytes as Latin-1 in a JSON string: bytes from 0x80 become two UTF-8 bytes.
    static void QuoteLatin1(std::string& out, std::string_view bytes) { QuoteAs(out, bytes, true); }

  private:
    static bool NeedsEscape(char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == '"' || b == '\\';
    }
    // The first byte from p that needs more than a copy: an escape, or (as
    // Latin-1) a byte from 0x80. Eight bytes a time while none does.
    static const char* PlainRun(const char* p, const char* end, bool latin1) {
        constexpr uint64_t kOnes = 0x0101010101010101u;
        constexpr uint64_t kHigh = 0x8080808080808080u;
        while (end - p >= 8) {
            uint64_t w = 0;
            std::memcpy(&w, p, 8);
            const uint64_t quote = w ^ (kOnes * '"');
            const uint64_t slash = w ^ (kOnes * '\\');
            // A byte below 0x20, a zero byte of quote or slash, or a high bit.
            const uint64_t low = (w - kOnes * 0x20) & ~w;
            const uint64_t hits =
                (low | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | (latin1 ? w : 0)) &
                kHigh;
            if (hits != 0) {
                break;
            }
            p += 8;
        }
        while (p != end && !NeedsEscape(*p) && !(latin1 && (*p & 0x80) != 0)) {
            ++p;
        }
        return p;
    }
    static void QuoteAs(std::string& out, std::string_view value, bool latin1) {
        out += '"';
        const char* p = value.data();
        const char* const end = p + value.size();
        for (;;) {
            const char* run = p;
            p = PlainRun(p, end, latin1);
            out.append(run, static_cast<size_t>(p - run));
            if (p == end) {
                break;
            }
            const auto c = static_cast<unsigned char>(*p++);
            if (c >= 0x80) {
                const char utf8[] = {static_cast<char>(0xC0 | (c >> 6)),
                                     static_cast<char>(0x80 | (c & 0x3F))};
                out.append(utf8, 2);
            } else {
                Escape(out, c);
            }
        }
        out += '"';
    }
    static void Escape(std::string& out, unsigned char c) {
        static constexpr char kHex[] = "0123456789abcdef";
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default: {
                const char text[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
                out.append(text, sizeof text);
                break;
            }
        }
    }
    // Keys are the program's own names: nothing in them to escape.
    void Key(std::string_view key) {
        const char open[] = {',', '"'};
        out_.append(first_ ? open + 1 : open, first_ ? 1 : 2);
        first_ = false;
        out_.append(key);
        out_.append("\":", 2);
    }
    void Quoted(std::string_view value) { Quote(out_, value); }

    std::string& out_;
    bool first_ = true;
};

}  // namespace gpscat
