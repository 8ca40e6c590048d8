// A small XML writer for the files the recorder makes: UTF-8 text, escaped
// character data and attribute values, indented elements. Documents are
// written in pieces (the recorder rewrites the closing tags after each
// point), so the writer keeps the open elements and can render their end
// tags without closing them.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace record {

// Appends text as XML 1.0 character data, or as an attribute value between
// double quotes: "&", "<" and ">" as entities ('"' too in an attribute);
// carriage return (and in an attribute tab and line feed, which attribute
// normalisation would turn into spaces) as character references; bytes that
// are not well-formed UTF-8, control characters XML does not allow, and
// U+FFFE/U+FFFF as U+FFFD.
void AppendEscaped(std::string& out, std::string_view text, bool attribute);

class TXmlWriter {
  public:
    using TAttributes = std::initializer_list<std::pair<std::string_view, std::string_view>>;

    // Appends to out; each level of elements is indented by indent spaces.
    explicit TXmlWriter(std::string& out, int indent = 2) : out_(out), indent_(indent) {}

    // The XML declaration (UTF-8).
    void Declaration();
    // A start tag on a line of its own; the element stays open until End.
    // Names are the caller's constants and are written as given.
    void Start(std::string_view name, TAttributes attributes = {});
    // The end tag of the innermost open element.
    void End();
    // An element holding only text, on one line.
    void TextElement(std::string_view name, std::string_view text, TAttributes attributes = {});

    // The end tags of every open element, innermost first, as End would
    // write them; the elements stay open.
    std::string EndTags() const;
    size_t Depth() const { return open_.size(); }
    // Forgets the open elements, for a new document.
    void Reset() { open_.clear(); }

  private:
    void Indent(size_t depth);
    void StartTag(std::string_view name, TAttributes attributes);

    std::string& out_;
    int indent_;
    std::vector<std::string> open_;
};

}  // namespace record
