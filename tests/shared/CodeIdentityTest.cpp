#include "shared/CodeIdentity.h"

#include "shared/Base64.h"
#include "shared/OwnIdentifier.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <unordered_set>
#include <vector>

namespace zorvane {
namespace {

TEST(CodeIdentity, MakeTrimsTheTeamAndTurnsAnEmptyTeamIntoAbsence) {
    EXPECT_EQ(CodeIdentity::make("com.example.app", " \nABCDE12345\t").teamIdentifier,
              "ABCDE12345");
    EXPECT_EQ(CodeIdentity::make("com.example.app", "   ").teamIdentifier, std::nullopt);
    EXPECT_EQ(CodeIdentity::make("com.example.app", "").teamIdentifier, std::nullopt);
    EXPECT_EQ(CodeIdentity::make("com.example.app", std::nullopt).teamIdentifier, std::nullopt);
    // The signing identifier is never touched.
    EXPECT_EQ(CodeIdentity::make(" id ", "T").signingIdentifier, " id ");
}

TEST(CodeIdentity, KeyIsBase64OfTeamDotBase64OfSigningIdentifier) {
    const auto identity = CodeIdentity::make("com.example.app", "ABCDE12345");
    EXPECT_EQ(identity.key(), Base64::encode(std::string_view("ABCDE12345")) + "." +
                                  Base64::encode(std::string_view("com.example.app")));
    EXPECT_EQ(CodeIdentity::fromKey(identity.key()), identity);
}

TEST(CodeIdentity, KeyOfAnIdentityWithoutTeamBeginsWithADot) {
    const auto spacesOnly = CodeIdentity::make("com.example.app", "    ");
    EXPECT_EQ(spacesOnly.teamIdentifier, std::nullopt);
    EXPECT_EQ(spacesOnly.key(), "." + Base64::encode(std::string_view("com.example.app")));
    // A record decoded as it was written may still hold an untrimmed team; the key normalises.
    const CodeIdentity raw{"com.example.app", std::string(" \t")};
    EXPECT_EQ(raw.key(), spacesOnly.key());
    const CodeIdentity padded{"com.example.app", std::string(" T ")};
    EXPECT_EQ(padded.key(), CodeIdentity::make("com.example.app", "T").key());
}

TEST(CodeIdentity, KeyRoundTripsNonAsciiIdentifiers) {
    const auto identity = CodeIdentity::make("caf\xC3\xA9.\xF0\x9F\x98\x80", "\xC3\x89QUIPE");
    EXPECT_EQ(CodeIdentity::fromKey(identity.key()), identity);
}

TEST(CodeIdentity, FromKeyNormalisesTheTeamAndKeepsAnEmptySigningIdentifier) {
    const auto trimmed = CodeIdentity::fromKey(Base64::encode(std::string_view(" T1 ")) + "." +
                                               Base64::encode(std::string_view("s")));
    ASSERT_TRUE(trimmed);
    EXPECT_EQ(trimmed->teamIdentifier, "T1");
    const auto spaces = CodeIdentity::fromKey(Base64::encode(std::string_view("  ")) + ".cw==");
    ASSERT_TRUE(spaces);
    EXPECT_EQ(spaces->teamIdentifier, std::nullopt);
    const auto emptySigning = CodeIdentity::fromKey("VDE=.");
    ASSERT_TRUE(emptySigning);
    EXPECT_EQ(emptySigning->signingIdentifier, "");
    EXPECT_EQ(emptySigning->teamIdentifier, "T1");
    EXPECT_EQ(CodeIdentity::fromKey("."), (CodeIdentity{"", std::nullopt}));
}

TEST(CodeIdentity, FromKeyRejectsMalformedKeys) {
    const std::string invalidUtf8 = Base64::encode(std::string_view("\xC3\x28"));
    for (const std::string& bad : {
             std::string(""),               // no dot
             std::string("VDE="),           // no dot
             std::string("VDE=.cw==.cw=="), // second dot lands in the signing part
             std::string("VDE..cw=="),      // two dots in a row
             std::string("VDE.cw=="),       // team part not padded
             std::string("VDE=.cw"),        // signing part not padded
             std::string("VD-=.cw=="),      // URL-safe alphabet
             std::string(" VDE=.cw=="),     // white space
             std::string("VDE=.cw==\n"),    // line break
             invalidUtf8 + ".cw==",         // team not UTF-8
             "VDE=." + invalidUtf8,         // signing identifier not UTF-8
         }) {
        EXPECT_FALSE(CodeIdentity::fromKey(bad).has_value()) << bad;
    }
}

TEST(CodeIdentity, KeyOfIllFormedTextIsTheKeyOfItsSanitisedForm) {
    const CodeIdentity raw{"bad\xFF", std::string("T\xC3")};
    const auto decoded = CodeIdentity::fromKey(raw.key());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->signingIdentifier, "bad\xEF\xBF\xBD");
    EXPECT_EQ(decoded->teamIdentifier, "T\xEF\xBF\xBD");
}

TEST(CodeIdentity, EqualityAndHashingCoverBothFields) {
    const CodeIdentity absent{"a", std::nullopt};
    const CodeIdentity empty{"a", std::string()};
    EXPECT_NE(absent, empty);
    EXPECT_NE((CodeIdentity{"a", "T"}), (CodeIdentity{"b", "T"}));
    std::unordered_set<CodeIdentity> set{absent, empty, CodeIdentity{"a", "T"}, absent};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_TRUE(set.contains(CodeIdentity{"a", "T"}));
}

TEST(CodeIdentity, OrdersByUnicodeScalarValuesThenTeamWithAbsentAsEmpty) {
    std::vector<CodeIdentity> identities{
        {"\xC3\xA9", std::nullopt}, // é U+00E9
        {"a", "T"},
        {"\xF0\x9F\x98\x80", std::nullopt}, // U+1F600
        {"\xEF\xBD\x81", std::nullopt},     // U+FF41, above é and below the emoji
        {"Z", std::nullopt},
        {"a", std::nullopt},
        {"a", "S"},
    };
    std::sort(identities.begin(), identities.end());
    const std::vector<CodeIdentity> expected{
        {"Z", std::nullopt},
        {"a", std::nullopt},
        {"a", "S"},
        {"a", "T"},
        {"\xC3\xA9", std::nullopt},
        {"\xEF\xBD\x81", std::nullopt},
        {"\xF0\x9F\x98\x80", std::nullopt},
    };
    EXPECT_EQ(identities, expected);
    // An absent team and an empty team sort alike but are different identities.
    EXPECT_FALSE((CodeIdentity{"a", std::nullopt} < CodeIdentity{"a", std::string()}));
    EXPECT_FALSE((CodeIdentity{"a", std::string()} < CodeIdentity{"a", std::nullopt}));
}

TEST(OwnIdentifier, OwnIsARootOrARootFollowedByADot) {
    const OwnIdentifier own(std::string("dev.quillmoor.Zorvane"));
    EXPECT_TRUE(own.isOwnIdentifier("dev.quillmoor.Zorvane"));
    EXPECT_TRUE(own.isOwnIdentifier("dev.quillmoor.Zorvane.FilterExtension"));
    EXPECT_TRUE(own.isOwnIdentifier("dev.quillmoor.Zorvane.helper.x"));
    EXPECT_FALSE(own.isOwnIdentifier("dev.quillmoor.ZorvaneX"));
    EXPECT_FALSE(own.isOwnIdentifier("dev.quillmoor.zorvane"));
    EXPECT_FALSE(own.isOwnIdentifier("dev.quillmoor.Zorvan"));
    EXPECT_FALSE(own.isOwnIdentifier("dev.quillmoor"));
    EXPECT_FALSE(own.isOwnIdentifier(""));
    EXPECT_FALSE(own.isOwnIdentifier("x.dev.quillmoor.Zorvane"));
}

TEST(OwnIdentifier, FilterAndApplicationShareTheirRoots) {
    const OwnIdentifier application(std::string("dev.quillmoor.Zorvane"));
    const OwnIdentifier filter(std::string("dev.quillmoor.Zorvane.FilterExtension"));
    EXPECT_EQ(filter.roots(), application.roots());
    EXPECT_EQ(filter.roots(), std::vector<std::string>{"dev.quillmoor.Zorvane"});
    EXPECT_EQ(OwnIdentifier(std::nullopt).roots(), application.roots());
    EXPECT_EQ(OwnIdentifier(std::string()).roots(), application.roots());
}

TEST(OwnIdentifier, AnotherMainBundleAddsItsOwnRoot) {
    const OwnIdentifier own(std::string("org.example.Tool.FilterExtension"));
    EXPECT_EQ(own.roots(), (std::vector<std::string>{"dev.quillmoor.Zorvane", "org.example.Tool"}));
    EXPECT_TRUE(own.isOwnIdentifier("org.example.Tool.FilterExtension"));
    EXPECT_TRUE(own.isOwnIdentifier("dev.quillmoor.Zorvane.x"));
    EXPECT_FALSE(own.isOwnIdentifier("org.example.Toolbox"));
    // Only the suffix as identifier would leave an empty root, which would make ".x" own.
    const OwnIdentifier suffixOnly(std::string(".FilterExtension"));
    EXPECT_EQ(suffixOnly.roots().size(), 1u);
    EXPECT_FALSE(suffixOnly.isOwnIdentifier(".x"));
    EXPECT_FALSE(suffixOnly.isOwnIdentifier(""));
}

} // namespace
} // namespace zorvane
