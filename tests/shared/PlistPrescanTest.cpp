#include "shared/PlistPrescan.h"

#include "shared/PlistCodec.h"
#include "tests/support/HostilePlists.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using Verdict = PlistPrescan::Verdict;

Verdict verdictOf(std::string_view bytes) {
    return PlistPrescan::check(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// The depth of the deepest value, the root being at depth 0.
int depthOf(const PlistValue& value) {
    int deepest = 0;
    if (const auto* array = value.array()) {
        for (const auto& item : *array) {
            deepest = std::max(deepest, depthOf(item) + 1);
        }
    }
    if (const auto* dictionary = value.dictionary()) {
        for (const auto& [key, item] : *dictionary) {
            deepest = std::max(deepest, depthOf(item) + 1);
        }
    }
    return deepest;
}

TEST(PlistPrescan, NestingIsBoundedInBothFormsBeforeLibplistRecurses) {
    // 65 levels put the innermost value at the deepest admitted depth; one more is refused, in
    // either form, and so is what used to crash the reader: 200,000 levels of XML (3 MB) and
    // 100,000 of binary (0.9 MB).
    for (const auto& [deepest, tooDeep, hostile] :
         {std::tuple{HostilePlists::nestedXml(65), HostilePlists::nestedXml(66),
                     HostilePlists::nestedXml(200'000)},
          std::tuple{HostilePlists::nestedBinary(65), HostilePlists::nestedBinary(66),
                     HostilePlists::nestedBinary(100'000)}}) {
        EXPECT_EQ(verdictOf(deepest), Verdict::admitted);
        const auto read = PlistCodec::read(deepest);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(depthOf(*read), PlistPrescan::maximumDepth);

        EXPECT_EQ(verdictOf(tooDeep), Verdict::tooDeep);
        EXPECT_FALSE(PlistCodec::read(tooDeep).has_value());
        // (The binary one has too many objects for its size as well.)
        EXPECT_NE(verdictOf(hostile), Verdict::admitted);
        EXPECT_FALSE(PlistCodec::read(hostile).has_value());
    }
}

TEST(PlistPrescan, BinaryCyclesAndMultipliedObjectsAreRefused) {
    using P = HostilePlists;
    // An array holding itself, and two arrays holding each other.
    EXPECT_EQ(verdictOf(P::binary({P::array({0}, 1)}, 1)), Verdict::cyclic);
    EXPECT_EQ(verdictOf(P::binary({P::array({1}, 1), P::array({0}, 1)}, 1)), Verdict::cyclic);
    // A cycle reached through a dictionary value, below the root.
    EXPECT_EQ(
        verdictOf(P::binary({P::array({1}, 1), P::dictionary({2}, {1}, 1), P::ascii("k")}, 1)),
        Verdict::cyclic);
    // 40 levels, each holding the next twice: 2^40 copies for libplist.
    const auto doubling = P::doublingBinary(40);
    EXPECT_LT(doubling.size(), 500u);
    EXPECT_EQ(verdictOf(doubling), Verdict::tooManyObjects);
    EXPECT_FALSE(PlistCodec::read(doubling).has_value());

    // Sharing that a writer really does (one string for many equal ones) stays readable.
    PlistArray same(2000, PlistValue("the same text"));
    const auto shared = PlistCodec::toBinary(PlistValue(same));
    EXPECT_EQ(verdictOf(shared), Verdict::admitted);
    EXPECT_EQ(PlistCodec::read(shared), PlistValue(same));

    // A key must be a string (libplist would parse an array key, recursing, before it looked),
    // and every reference must name an object.
    EXPECT_EQ(verdictOf(P::binary({P::dictionary({1}, {1}, 1), P::array({}, 1)}, 1)),
              Verdict::malformed);
    EXPECT_EQ(verdictOf(P::binary({P::array({7}, 1)}, 1)), Verdict::malformed);
    EXPECT_EQ(verdictOf(P::binary({P::array({}, 1)}, 1, 3)), Verdict::malformed);
}

TEST(PlistPrescan, XmlMarkupIsTokenisedAsLibplistDoesOrRefused) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    std::string deep;
    std::string undeep;
    for (int i = 0; i < 64; ++i) {
        deep += "<array>";
        undeep += "</array>";
    }
    // What comments and CDATA hold is text, not nesting: 64 levels plus tags inside them are
    // read, with the CDATA text as the string's value.
    const std::string hidden = "<!-- <array><array><array> -->";
    const std::string quiet = head + "<plist version=\"1.0\">" + hidden + deep +
                              "<string><![CDATA[</string><array>]]>" + hidden + "</string>" +
                              undeep + "</plist>";
    EXPECT_EQ(verdictOf(quiet), Verdict::admitted);
    const auto read = PlistCodec::read(quiet);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(depthOf(*read), 64);

    // Where quotes decide the end of a construct (libplist skips double-quoted text), or
    // libplist would read on past what the scan takes as its end, the document is refused: a
    // reader that took the first "?>", "]>" or ">" here would miss all the nesting after it.
    const std::string nested = "<plist><array><array><array></array></array></array></plist>";
    for (const std::string& ambiguous : std::vector<std::string>{
             "<?xml version=\"?>\"?>" + nested, "<!DOCTYPE plist [ <!ENTITY x \"]>\"> ]>" + nested,
             "<plist version=\">\"><array><array></array></array></plist>",
             "<plist><array><![CDATA[ ]]></array></plist>", "<plist><plist>" + nested + "</plist>",
             nested + "<array><array></array></array>", "<plist><array><string>x</str></array>"}) {
        EXPECT_EQ(verdictOf(ambiguous), Verdict::malformed) << ambiguous;
        EXPECT_FALSE(PlistCodec::read(ambiguous).has_value()) << ambiguous;
    }
}

TEST(PlistPrescan, ObjectCountIsBoundedByTheDocumentsSize) {
    // A small document may hold objectsAlwaysAllowed objects: an array and its <true/>s.
    const auto trues = [](std::uint64_t count) {
        std::string xml = "<plist><array>";
        for (std::uint64_t i = 0; i < count; ++i) {
            xml += "<true/>";
        }
        return xml + "</array></plist>";
    };
    EXPECT_EQ(verdictOf(trues(PlistPrescan::objectsAlwaysAllowed - 1)), Verdict::admitted);
    EXPECT_EQ(verdictOf(trues(PlistPrescan::objectsAlwaysAllowed)), Verdict::tooManyObjects);

    // Beyond that, one object per bytesPerObject bytes: a megabyte of ordinary entitlements
    // is read, a megabyte of one object per byte is not, nor what exceeds maximumObjects.
    const auto flat = HostilePlists::flatBinary(20'000);
    EXPECT_EQ(verdictOf(flat), Verdict::admitted);
    const auto perByte = HostilePlists::sharedLeafBinary(1'000'000);
    EXPECT_EQ(verdictOf(perByte), Verdict::tooManyObjects);
    EXPECT_FALSE(PlistCodec::read(perByte).has_value());
    EXPECT_EQ(PlistPrescan::objectLimit(std::uint64_t{1} << 40), PlistPrescan::maximumObjects);

    // One dictionary takes libplist longer per key the more keys it has: the same keys in one
    // dictionary are refused, in groups they are read.
    std::string oneXml = "<plist><dict>";
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> values;
    std::vector<std::string> strings;
    const std::uint64_t count = PlistPrescan::maximumDictionaryKeys + 1;
    for (std::uint64_t i = 0; i < count; ++i) {
        oneXml += "<key>k" + std::to_string(i) + "</key><true/>";
        keys.push_back(1 + i);
        values.push_back(1 + count + i);
        strings.push_back(HostilePlists::ascii("k" + std::to_string(i)));
    }
    oneXml += "</dict></plist>";
    std::vector<std::string> objects{HostilePlists::dictionary(keys, values, 4)};
    objects.insert(objects.end(), strings.begin(), strings.end());
    objects.insert(objects.end(), count, std::string(1, '\x09')); // true
    EXPECT_EQ(verdictOf(oneXml), Verdict::tooManyObjects);
    EXPECT_EQ(verdictOf(HostilePlists::binary(objects, 4)), Verdict::tooManyObjects);
    EXPECT_EQ(verdictOf(HostilePlists::flatXml(count)), Verdict::admitted);
    EXPECT_EQ(verdictOf(HostilePlists::flatBinary(count)), Verdict::admitted);

    // Nor the deepest admitted nesting repeated to fill it: each object costs libplist in
    // proportion to its depth. A thousand chains of 64 arrays stay within the object limit,
    // but not within the depths allowed; a few of them are read.
    for (const auto& [many, few] :
         {std::pair{HostilePlists::combXml(1000, 64), HostilePlists::combXml(3, 64)},
          std::pair{HostilePlists::combBinary(1000, 64), HostilePlists::combBinary(3, 64)}}) {
        EXPECT_LE(1000u * 64 + 1, PlistPrescan::objectLimit(many.size()));
        EXPECT_EQ(verdictOf(many), Verdict::tooManyObjects);
        EXPECT_TRUE(PlistCodec::read(few).has_value());
    }
}

} // namespace
} // namespace zorvane
