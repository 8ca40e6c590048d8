#include "record/XmlWriter.h"

#include <cstdint>

namespace record {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF) and its code point; 0 when
// the bytes there are not one.
size_t Utf8Sequence(const unsigned char* p, size_t n, uint32_t& cp) {
    const unsigned char b = p[0];
    size_t len = 0;
    uint32_t min = 0;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) {
        return 0;
    }
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        const size_t len = Utf8Sequence(p + i, n - i, cp);
        if (len == 0) {
            out += kReplacement;  // one replacement per byte that starts no sequence
            ++i;
            continue;
        }
        if (len > 1) {
            if (cp == 0xFFFE || cp == 0xFFFF) {
                out += kReplacement;
            } else {
                out.append(text.data() + i, len);
            }
            i += len;
            continue;
        }
        const char c = static_cast<char>(cp);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            default:
                if (cp < 0x20) {
                    out += kReplacement;  // not allowed in XML 1.0, not even as a reference
                } else {
                    out += c;
                }
        }
        ++i;
    }
}

void TXmlWriter::Declaration() {
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
}

void TXmlWriter::Indent(size_t depth) {
    out_.append(depth * static_cast<size_t>(indent_), ' ');
}

void TXmlWriter::StartTag(std::string_view name, TAttributes attributes) {
    Indent(open_.size());
    out_ += '<';
    out_ += name;
    for (const auto& [key, value] : attributes) {
        out_ += ' ';
        out_ += key;
        out_ += "=\"";
        AppendEscaped(out_, value, true);
        out_ += '"';
    }
    out_ += '>';
}

void TXmlWriter::Start(std::string_view name, TAttributes attributes) {
    StartTag(name, attributes);
    out_ += '\n';
    open_.emplace_back(name);
}

void TXmlWriter::End() {
    if (open_.empty()) {
        return;
    }
    const std::string name = std::move(open_.back());
    open_.pop_back();
    Indent(open_.size());
    out_ += "</";
    out_ += name;
    out_ += ">\n";
}

void TXmlWriter::TextElement(std::string_view name, std::string_view text, TAttributes attributes) {
    StartTag(name, attributes);
    AppendEscaped(out_, text, false);
    out_ += "</";
    out_ += name;
    out_ += ">\n";
}

std::string TXmlWriter::EndTags() const {
    std::string tags;
    for (size_t depth = open_.size(); depth-- > 0;) {
        tags.append(depth * static_cast<size_t>(indent_), ' ');
        tags += "</";
        tags += open_[depth];
        tags += ">\n";
    }
    return tags;
}

}  // namespace record
