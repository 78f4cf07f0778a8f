#include "shared/PlistCodec.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

PlistValue sample() {
    return PlistDictionary{
        {"text", "héllo"},
        {"integer", std::int64_t{-42}},
        {"large", std::int64_t{1} << 40},
        {"real", 5000.7},
        {"wholeReal", 3.0},
        {"flag", true},
        {"bytes", PlistData{0, 1, 2, 255}},
        {"when", Date{123456.0}},
        {"list", PlistArray{"a", std::int64_t{1}, PlistDictionary{{"nested", false}}}},
        {"empty", PlistDictionary{}},
    };
}

TEST(PlistCodec, XmlAndBinaryRoundTripKeepIntegerAndRealApart) {
    const auto value = sample();
    for (const auto& bytes : {PlistCodec::toXml(value), PlistCodec::toBinary(value)}) {
        const auto back = PlistCodec::read(bytes);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, value);
        ASSERT_NE(back->find("wholeReal"), nullptr);
        EXPECT_TRUE(back->find("wholeReal")->isReal());
        EXPECT_TRUE(back->find("integer")->isInteger());
    }
}

TEST(PlistCodec, BinaryKeepsFractionalDatesWhileXmlKeepsWholeSeconds) {
    const PlistValue value = PlistDictionary{{"when", Date{123456.5}}};
    EXPECT_EQ(PlistCodec::read(PlistCodec::toBinary(value)), value);
    const auto fromXml = PlistCodec::read(PlistCodec::toXml(value));
    ASSERT_TRUE(fromXml.has_value());
    EXPECT_EQ(*fromXml->find("when")->date(), Date{123456.0});
}

TEST(PlistCodec, GarbageAndEmptyInputReadAsNothing) {
    EXPECT_FALSE(PlistCodec::read(std::string_view("")).has_value());
    EXPECT_FALSE(PlistCodec::read(std::string_view("not a property list")).has_value());
    const auto xml = PlistCodec::toXml(sample());
    EXPECT_FALSE(PlistCodec::read(std::string_view(xml).substr(0, xml.size() / 2)).has_value());
    EXPECT_FALSE(PlistCodec::readFile("/nonexistent/zorvane/file.plist").has_value());
}

TEST(PlistCodec, NulBytesInXmlTextAreRefusedNotFatal) {
    // libplist itself takes such documents, and its string getter aborts on them.
    using namespace std::string_literals;
    for (const auto& xml :
         {"<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>a\0b</string>"
          "</dict></plist>"s,
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k\0x</key><string>v</string>"
          "</dict></plist>"s}) {
        EXPECT_FALSE(PlistCodec::read(xml).has_value());
    }
    // Binary property lists keep working even though their bytes hold NULs, but not when a
    // UTF-16 key or string does.
    EXPECT_EQ(PlistCodec::read(PlistCodec::toBinary(sample())), sample());
    const auto binary = [](const std::string& key, const std::string& value) {
        // bplist00, {key: value}, offset table, trailer (1-byte offsets and references).
        std::string bytes = "bplist00\xD1\x01\x02"s + key + value;
        bytes += "\x08"s + static_cast<char>(11) + static_cast<char>(11 + key.size());
        const auto tableOffset = static_cast<char>(bytes.size() - 3);
        bytes += std::string(6, '\0') + "\x01\x01"s + std::string(7, '\0') + "\x03"s +
                 std::string(15, '\0') + tableOffset;
        return bytes;
    };
    const auto plain = PlistCodec::read(binary("\x51k"s, "\x61\0v"s));
    ASSERT_TRUE(plain.has_value());
    ASSERT_NE(plain->find("k"), nullptr);
    EXPECT_EQ(*plain->find("k")->string(), "v");
    EXPECT_FALSE(PlistCodec::read(binary("\x62\0k\0\0"s, "\x09"s)).has_value());
    EXPECT_FALSE(PlistCodec::read(binary("\x51k"s, "\x62\0v\0\0"s)).has_value());
}

TEST(PlistCodec, DeepNestingIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 200; ++i) {
        xml += "<array>";
    }
    for (int i = 0; i < 200; ++i) {
        xml += "</array>";
    }
    xml += "</plist>";
    EXPECT_FALSE(PlistCodec::read(xml).has_value());
}

} // namespace
} // namespace zorvane
