#include "filter/FilterDataProvider.h"
#include "shared/Base64.h"
#include "shared/CodeIdentity.h"
#include "shared/PlistCodec.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

std::string keyOf(std::string_view team, std::string_view signing) {
    return Base64::encode(team) + "." + Base64::encode(signing);
}

class FilterConfigurationTest : public ::testing::Test {
protected:
    FilterDataProvider provider{
        {.mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension")}};

    void configure(PlistDictionary dictionary) {
        provider.setVendorConfiguration(
            std::make_shared<const PlistDictionary>(std::move(dictionary)));
    }
};

TEST_F(FilterConfigurationTest, AbsentDictionaryMakesEveryKeyMissing) {
    provider.setVendorConfiguration(nullptr);
    EXPECT_TRUE(provider.blockedIdentityKeys().empty());
    EXPECT_TRUE(provider.blockedBundlePaths().empty());
    EXPECT_TRUE(provider.temporaryIdentityExpiries().empty());
    EXPECT_TRUE(provider.temporaryBundlePathExpiries().empty());
    EXPECT_FALSE(provider.configuredEventChannelPort());
    EXPECT_FALSE(provider.configuredEventChannelToken());
}

TEST_F(FilterConfigurationTest, IdentityEntriesAreValidatedOneByOne) {
    const std::string valid = keyOf("TEAM1", "com.example.app");
    const std::string noTeam = keyOf("", "com.example.tool");
    configure(
        {{"blockedCodeIdentities",
          PlistArray{valid, noTeam, keyOf("  TEAM2 \n", "com.example.spaced"), "no-dot-at-all",
                     valid + ".more", "!!!!." + Base64::encode(std::string_view("com.example.bad")),
                     keyOf("TEAM3", ""),
                     Base64::encode(std::string_view("TEAM4")) + "." +
                         Base64::encode(std::string_view("\xff\xfe")),
                     keyOf("TEAM1", "dev.quillmoor.Zorvane"),
                     keyOf("TEAM1", "dev.quillmoor.Zorvane.Helper"),
                     keyOf("TEAM1", "dev.quillmoor.ZorvaneX"), valid}}});

    const auto keys = provider.blockedIdentityKeys();
    EXPECT_EQ(keys.size(), 4u);
    EXPECT_TRUE(keys.contains(valid));
    EXPECT_TRUE(keys.contains(noTeam));
    EXPECT_TRUE(noTeam.starts_with("."));
    // The team is trimmed before the key is formed again.
    EXPECT_TRUE(keys.contains(keyOf("TEAM2", "com.example.spaced")));
    // Only the exact own roots and their dotted descendants are exempt.
    EXPECT_TRUE(keys.contains(keyOf("TEAM1", "dev.quillmoor.ZorvaneX")));
}

TEST_F(FilterConfigurationTest, OneElementOfAnotherTypeVoidsTheWholeValue) {
    configure({
        {"blockedCodeIdentities", PlistArray{keyOf("T", "a.b"), PlistValue(7)}},
        {"blockedApplicationPaths", PlistArray{"/Applications/A.app", PlistValue(true)}},
        {"temporaryAllowedCodeIdentities",
         PlistDictionary{{keyOf("T", "a.b"), 2e9}, {keyOf("T", "c.d"), "2000000000"}}},
        {"temporaryAllowedApplicationPaths",
         PlistDictionary{{"/Applications/A.app", 2e9}, {"/Applications/B.app", PlistArray{}}}},
    });
    EXPECT_TRUE(provider.blockedIdentityKeys().empty());
    EXPECT_TRUE(provider.blockedBundlePaths().empty());
    EXPECT_TRUE(provider.temporaryIdentityExpiries().empty());
    EXPECT_TRUE(provider.temporaryBundlePathExpiries().empty());

    configure({{"blockedCodeIdentities", "not an array"},
               {"temporaryAllowedCodeIdentities", PlistArray{}}});
    EXPECT_TRUE(provider.blockedIdentityKeys().empty());
    EXPECT_TRUE(provider.temporaryIdentityExpiries().empty());
}

TEST_F(FilterConfigurationTest, BundlePathsAreStandardizedAndOnlyBundlesKept) {
    configure({{"blockedApplicationPaths",
                PlistArray{"/Applications/Chat.app/", "/Applications//Tools/./Edit.app",
                           "/Applications/Tools/../Mail.app", "/Applications/Chat.app/Contents",
                           "/usr/bin/curl", "/Applications/Upper.APP", "/Applications/Chat.app"}}});
    // The extension counts in any case, as inspection accepts it; the path keeps its spelling.
    const std::vector<std::string> expected{
        "/Applications/Chat.app", "/Applications/Tools/Edit.app", "/Applications/Mail.app",
        "/Applications/Upper.APP", "/Applications/Chat.app"};
    EXPECT_EQ(provider.blockedBundlePaths(), expected);
}

TEST_F(FilterConfigurationTest, StandardizationFollowsFileUrlRules) {
    EXPECT_EQ(FilterDataProvider::standardizedBundlePath("/a/b/../../../c.app"), "/c.app");
    EXPECT_EQ(FilterDataProvider::standardizedBundlePath("/"), "/");
    EXPECT_EQ(FilterDataProvider::standardizedBundlePath("///x.app///"), "/x.app");
    const auto cwd = std::filesystem::current_path().string();
    EXPECT_EQ(FilterDataProvider::standardizedBundlePath("Rel.app"),
              FilterDataProvider::standardizedBundlePath(cwd + "/Rel.app"));
}

TEST_F(FilterConfigurationTest, TemporaryAllowancesKeepTheirNumbers) {
    const std::string key = keyOf("TEAM", "com.example.app");
    configure({
        {"temporaryAllowedCodeIdentities",
         PlistDictionary{{key, 1.9e9}, {"not even a key", PlistValue(std::int64_t{5})}}},
        {"temporaryAllowedApplicationPaths",
         PlistDictionary{{"/Applications/A.app/", 1.9e9},
                         {"/Applications/./A.app", 1.8e9},
                         {"/usr/bin", 1.9e9},
                         {"/Applications/B.app", PlistValue(std::int64_t{1'700'000'000})}}},
    });
    const auto identities = provider.temporaryIdentityExpiries();
    EXPECT_EQ(identities.size(), 2u);
    EXPECT_DOUBLE_EQ(identities.at(key), 1.9e9);
    EXPECT_DOUBLE_EQ(identities.at("not even a key"), 5.0);

    const auto paths = provider.temporaryBundlePathExpiries();
    EXPECT_EQ(paths.size(), 2u);
    // Two spellings of the same bundle: the later end survives.
    EXPECT_DOUBLE_EQ(paths.at("/Applications/A.app"), 1.9e9);
    EXPECT_DOUBLE_EQ(paths.at("/Applications/B.app"), 1.7e9);
}

TEST_F(FilterConfigurationTest, EventChannelPortAcceptsNumbersInRangeOnly) {
    const std::vector<std::pair<PlistValue, std::optional<std::uint16_t>>> cases{
        {PlistValue(std::int64_t{5000}), 5000},
        {PlistValue(1), 1},
        {PlistValue(65535), 65535},
        {PlistValue(0), std::nullopt},
        {PlistValue(65536), std::nullopt},
        {PlistValue(-80), std::nullopt},
        {PlistValue(5000.7), 5000},
        {PlistValue(0.9), std::nullopt},
        {PlistValue(65535.99), 65535},
        {PlistValue(std::nan("")), std::nullopt},
        {PlistValue(1e300), std::nullopt},
        {PlistValue("5000"), std::nullopt},
        {PlistValue(true), std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        configure({{"eventChannelPort", value}});
        EXPECT_EQ(provider.configuredEventChannelPort(), expected);
    }
}

TEST_F(FilterConfigurationTest, EventChannelTokenNeedsSixtyFourBytes) {
    configure({{"eventChannelToken", std::string(63, 'a')}});
    EXPECT_FALSE(provider.configuredEventChannelToken());
    configure({{"eventChannelToken", std::string(64, 'a')}});
    EXPECT_EQ(provider.configuredEventChannelToken(), std::string(64, 'a'));
    // 32 two-byte characters are 64 bytes of UTF-8.
    std::string twoByte;
    for (int i = 0; i < 32; ++i) {
        twoByte += "\xc3\xa9";
    }
    configure({{"eventChannelToken", twoByte}});
    EXPECT_EQ(provider.configuredEventChannelToken(), twoByte);
    configure({{"eventChannelToken", PlistData(80, 0x41)}});
    EXPECT_FALSE(provider.configuredEventChannelToken());
}

// A binary property list {K: V} whose key or value is a UTF-16 text holding U+0000. libplist
// aborts the process when it hands out such a key.
std::string binaryPlistWithNul(bool inKey) {
    using namespace std::string_literals;
    std::string key = "\x5f\x10\x11"s + "eventChannelToken";
    std::string value = "o\x10Q"s;
    for (int i = 0; i < 40; ++i) {
        value += "\x00\xe9"s;
    }
    value += "\x00\x00"s;
    for (int i = 0; i < 40; ++i) {
        value += "\x00"s + "b";
    }
    if (inKey) {
        key = "\x63\x00\x61\x00\x00\x00\x62"s; // "a", U+0000, "b"
        value = "\x5f\x10\x51"s + std::string(81, 'v');
    }
    std::string bytes = "bplist00\xd1\x01\x02"s + key + value;
    const auto keyOffset = static_cast<char>(11);
    const auto valueOffset = static_cast<char>(11 + key.size());
    const auto tableOffset = static_cast<char>(bytes.size());
    bytes += "\x08"s + keyOffset + valueOffset;
    bytes += std::string(6, '\0') + "\x01\x01"s + std::string(7, '\0') + "\x03"s +
             std::string(15, '\0') + tableOffset;
    return bytes;
}

TEST_F(FilterConfigurationTest, BinaryConfigurationWithNulInAUtf16TextIsRefused) {
    // Refused as unreadable (so the filter runs without rules), instead of aborting.
    EXPECT_FALSE(PlistCodec::read(binaryPlistWithNul(true)));
    EXPECT_FALSE(PlistCodec::read(binaryPlistWithNul(false)));
    // The same document without the NUL is read.
    auto clean = binaryPlistWithNul(false);
    const auto nul = clean.find(std::string("\0\0", 2), 20);
    clean[nul + 1] = 'c';
    const auto value = PlistCodec::read(clean);
    ASSERT_TRUE(value && value->dictionary());
    configure(*value->dictionary());
    EXPECT_TRUE(provider.configuredEventChannelToken());
}

TEST(FilterOwnIdentifier, RootsFollowTheMainBundleIdentifier) {
    FilterDataProvider filter(
        {.mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension")});
    EXPECT_EQ(filter.ownIdentifierRoots(), std::vector<std::string>{"dev.quillmoor.Zorvane"});
    EXPECT_TRUE(filter.isOwnIdentifier("dev.quillmoor.Zorvane.FilterExtension"));
    EXPECT_FALSE(filter.isOwnIdentifier("dev.quillmoor.zorvane"));

    FilterDataProvider other({.mainBundleIdentifier = std::string("org.example.Other")});
    EXPECT_TRUE(other.isOwnIdentifier("org.example.Other.Helper"));
    EXPECT_TRUE(other.isOwnIdentifier("dev.quillmoor.Zorvane"));

    FilterDataProvider unnamed({});
    EXPECT_EQ(unnamed.ownIdentifierRoots(), std::vector<std::string>{"dev.quillmoor.Zorvane"});
}

} // namespace
} // namespace zorvane
