// Text forms of the info vocabulary: hardware addresses as 12 hex digits,
// and the XML-safe form of any text the server writes into a document.

#include "document/text_forms.h"

#include <gtest/gtest.h>

#include <array>

#include "document/xml_text.h"

namespace fybootp {
namespace {

TEST(ParseHexBytes, MixedCaseDigitsGiveEveryByte) {
    std::array<std::uint8_t, 6> out{};
    EXPECT_EQ(ParseHexBytes("0A1b2C3d4E5f", out), 6u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 6>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
}

TEST(ParseHexBytes, BadDigitGivesZeroAndKeepsBytesBeforeIt) {
    std::array<std::uint8_t, 6> out;
    out.fill(0xEE);
    EXPECT_EQ(ParseHexBytes("0A1G2C3D4E5F", out), 0u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xEE);
}

TEST(ParseHexBytes, TextShorterThanTheCountGivesZero) {
    std::array<std::uint8_t, 6> out{};
    EXPECT_EQ(ParseHexBytes("0A1B2C3D4E", out), 0u);
    EXPECT_EQ(ParseHexBytes("0A1B2C3D4E5", out), 0u);
}

TEST(ParseHexBytes, CharactersBeyondTheCountAreNotLookedAt) {
    std::array<std::uint8_t, 6> out{};
    EXPECT_EQ(ParseHexBytes("0A1B2C3D4E5Fzz", out), 6u);
    EXPECT_EQ(out[5], 0x5F);
}

TEST(HexText, WritesTwoUpperCaseDigitsPerByteWithoutSeparators) {
    const std::array<std::uint8_t, 6> bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(HexText(bytes), "001A2B3C4D5E");
    EXPECT_EQ(HexText(std::span<const std::uint8_t>()), "");
}

TEST(HardwareAddressText, LowerCaseIsAccepted) {
    const auto mac = ReadHardwareAddress("001a2b3c4d5e");
    ASSERT_TRUE(mac);
    EXPECT_EQ(HexText(*mac), "001A2B3C4D5E");
}

TEST(HardwareAddressText, AnythingButTwelveHexDigitsIsRefused) {
    for (const char* text : {"00-1A-2B-3C-4D-5E", "001A2B3C4D5", "001A2B3C4D5E0", " 001A2B3C4D5",
                             "001A2B3C4D5 ", "001A2B 3C4D5E", "", "00:1A:2B:3C:4D"}) {
        EXPECT_FALSE(ReadHardwareAddress(text)) << '"' << text << '"';
    }
    // Twelve bytes that are not twelve ASCII characters.
    EXPECT_FALSE(ReadHardwareAddress("001A2B3C4D\xC3\xA9"));
}

TEST(XmlSafeText, ValidTextPassesUnchanged) {
    const std::string text =
        "host-1 \t\r\n &<>\"' \xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xEF\xBF\xBD";
    EXPECT_EQ(xml::XmlSafeText(text), text);
}

TEST(XmlSafeText, CharactersXmlForbidsBecomeReplacementCharacters) {
    EXPECT_EQ(xml::XmlSafeText("a\x01"
                               "b\x1F"
                               "c"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c");
    EXPECT_EQ(xml::XmlSafeText(std::string("a\0b", 3)),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(xml::XmlSafeText("\xEF\xBF\xBE"), "\xEF\xBF\xBD");  // U+FFFE
    EXPECT_EQ(xml::XmlSafeText("\xEF\xBF\xBF"), "\xEF\xBF\xBD");  // U+FFFF
}

TEST(XmlSafeText, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(xml::XmlSafeText("a\xFF"), "a" + r);                   // never a UTF-8 byte
    EXPECT_EQ(xml::XmlSafeText("\xC0\xAF"), r + r);                  // overlong '/'
    EXPECT_EQ(xml::XmlSafeText("\xE0\x80\xAF"), r + r + r);          // overlong, three bytes
    EXPECT_EQ(xml::XmlSafeText("\xED\xA0\x80"), r + r + r);          // a surrogate
    EXPECT_EQ(xml::XmlSafeText("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(xml::XmlSafeText("ab\xE6\x97"), "ab" + r + r);         // cut short at the end
}

}  // namespace
}  // namespace fybootp
