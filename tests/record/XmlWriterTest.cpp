// The XML writer's escaping: whatever bytes a text holds, the document
// stays well-formed UTF-8 and reads back as the text.
#include <gtest/gtest.h>

#include "record/XmlWriter.h"

namespace {

std::string Escaped(std::string_view text, bool attribute) {
    std::string out;
    record::AppendEscaped(out, text, attribute);
    return out;
}

TEST(XmlWriter, MarkupCharactersBecomeEntities) {
    EXPECT_EQ(Escaped("a<b & c>d ]]> \"q\" 'a'", false), "a&lt;b &amp; c&gt;d ]]&gt; \"q\" 'a'");
    EXPECT_EQ(Escaped("a<b & \"q\" 'a'", true), "a&lt;b &amp; &quot;q&quot; 'a'");
}

TEST(XmlWriter, WhitespaceSurvivesAttributeNormalisation) {
    EXPECT_EQ(Escaped("a\tb\nc\r\nd", false), "a\tb\nc&#13;\nd");
    EXPECT_EQ(Escaped("a\tb\nc\r\nd", true), "a&#9;b&#10;c&#13;&#10;d");
}

TEST(XmlWriter, BytesThatAreNotXmlCharactersBecomeReplacements) {
    const std::string r = "\xEF\xBF\xBD";
    // Good UTF-8 of 2, 3 and 4 bytes passes unchanged.
    EXPECT_EQ(Escaped("\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x9B\xB0", false),
              "\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x9B\xB0");
    // Latin-1 degree sign, a cut sequence, an overlong "/", a surrogate,
    // beyond U+10FFFF, U+FFFF, and control characters.
    EXPECT_EQ(Escaped("48\xB0", false), "48" + r);
    EXPECT_EQ(Escaped("\xE2\x82", false), r + r);
    EXPECT_EQ(Escaped("\xC0\xAF", false), r + r);
    EXPECT_EQ(Escaped("\xED\xA0\x80", false), r + r + r);
    EXPECT_EQ(Escaped("\xF4\x90\x80\x80", false), r + r + r + r);
    EXPECT_EQ(Escaped("\xEF\xBF\xBF", false), r);
    EXPECT_EQ(Escaped(std::string("a\0b\x1B\x7F", 5), false), "a" + r + "b" + r + "\x7F");
}

TEST(XmlWriter, ElementsNestAndEndTagsRenderWithoutClosing) {
    std::string out;
    record::TXmlWriter xml(out);
    xml.Declaration();
    xml.Start("a", {{"k", "v&"}});
    xml.Start("b");
    xml.TextElement("c", "1<2", {{"u", "x"}});
    EXPECT_EQ(xml.EndTags(), "  </b>\n</a>\n");
    EXPECT_EQ(xml.Depth(), 2u);
    xml.End();
    xml.End();
    xml.End();  // nothing open: nothing written
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<a k=\"v&amp;\">\n"
              "  <b>\n"
              "    <c u=\"x\">1&lt;2</c>\n"
              "  </b>\n"
              "</a>\n");
}

}  // namespace
