#include "app/update/UpdateManifest.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

AppUpdate update(std::string version, std::optional<std::int64_t> build) {
    return AppUpdate{std::move(version), build, "https://zorvane.app/download", std::nullopt};
}

TEST(UpdateManifest, NewerThanRunningFollowsVersionsThenBuilds) {
    struct Case {
        const char* runningVersion;
        const char* runningBuild;
        const char* version;
        std::optional<std::int64_t> build;
        bool newer;
    };
    const Case cases[] = {
        {"1.9", "10", "1.10", std::nullopt, true},
        {"1.10", "10", "1.9", 99, false},
        {"1.4", "27", "1.4", 27, false},
        {"1.4", "27", "1.4", 28, true},
        {"1.4", "27", "1.4", 26, false},
        {"1.4", "27", "1.4", std::nullopt, false},
        {"1.4", "+27", "1.4", 28, true},
        {"1.4", "-3", "1.4", 0, true},
        {"1.4", "27a", "1.4", 1, true}, // not an integer: build 0
        {"1.4", "+-27", "1.4", 1, true},
        {"1.4", " 27", "1.4", 1, true},
        {"1.4", "99999999999999999999", "1.4", 1, true}, // out of range: build 0
        {"1.4", "27", "1.4.1", std::nullopt, true},
        {"1.4.1", "27", "1.4", 99, false},
        {"2.0", "1", "10.0", std::nullopt, true},
        {"1.04", "5", "1.4", 6, true}, // 04 and 4 are the same number
    };
    for (const auto& c : cases) {
        const RunningVersion running{c.runningVersion, c.runningBuild};
        EXPECT_EQ(UpdateManifest::isNewer(update(c.version, c.build), running), c.newer)
            << c.runningVersion << " (" << c.runningBuild << ") vs " << c.version;
    }
    // A bundle without a short version runs as "0", without a build as 0.
    EXPECT_TRUE(UpdateManifest::isNewer(update("0.1", std::nullopt), RunningVersion{}));
    EXPECT_TRUE(UpdateManifest::isNewer(update("0", 1), RunningVersion{}));
    EXPECT_FALSE(UpdateManifest::isNewer(update("0", 0), RunningVersion{}));
}

TEST(UpdateManifest, VersionComparisonTakesDigitRunsAsNumbersOfAnyLength) {
    const auto compareVersions = &UpdateManifest::compareVersions;
    EXPECT_EQ(compareVersions("1.10", "1.9"), std::strong_ordering::greater);
    EXPECT_EQ(compareVersions("1.9", "1.10"), std::strong_ordering::less);
    EXPECT_EQ(compareVersions("1.4", "1.4"), std::strong_ordering::equal);
    EXPECT_EQ(compareVersions("123456789012345678901234567890", "123456789012345678901234567891"),
              std::strong_ordering::less);
    EXPECT_EQ(compareVersions("1.0b2", "1.0b10"), std::strong_ordering::less);
    EXPECT_EQ(compareVersions("", "0"), std::strong_ordering::less);
}

TEST(UpdateManifest, DecodesTheFourFieldsAndIgnoresOtherKeys) {
    const auto full = UpdateManifest::decode(
        R"({"version":"1.4","build":27,"downloadURL":"https://zorvane.app/d",)"
        R"("releaseNotes":"Faster.","extra":[1,2]})");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(*full, (AppUpdate{"1.4", 27, "https://zorvane.app/d", "Faster."}));

    const auto minimal = UpdateManifest::decode(
        R"({"version":"1.5","build":null,"downloadURL":"https://zorvane.app/d","releaseNotes":null})");
    ASSERT_TRUE(minimal.has_value());
    EXPECT_EQ(*minimal, (AppUpdate{"1.5", std::nullopt, "https://zorvane.app/d", std::nullopt}));
    EXPECT_EQ(UpdateManifest::versionKey(*minimal), "1.5-0");
    EXPECT_EQ(UpdateManifest::versionKey(*full), "1.4-27");
}

TEST(UpdateManifest, RefusesWrongTypesTruncationAndOversizedBodies) {
    const char* refused[] = {
        R"({"version":1.4,"downloadURL":"https://zorvane.app/d"})",
        R"({"version":"1.4","build":"27","downloadURL":"https://zorvane.app/d"})",
        R"({"version":"1.4","build":27.5,"downloadURL":"https://zorvane.app/d"})",
        R"({"version":"1.4","build":18446744073709551615,"downloadURL":"https://zorvane.app/d"})",
        R"({"version":"1.4","downloadURL":5})",
        R"({"version":"1.4","downloadURL":"https://zorvane.app/d","releaseNotes":7})",
        R"({"downloadURL":"https://zorvane.app/d"})",
        R"({"version":"1.4"})",
        R"({"version":"1.4","downloadURL":"https://zorvane.app/d")",
        R"(["version","1.4"])",
        "",
        "\xff\xfe",
    };
    for (const char* text : refused) {
        EXPECT_FALSE(UpdateManifest::decode(std::string_view(text)).has_value()) << text;
    }
    std::string big = R"({"version":"1.4","downloadURL":"https://zorvane.app/d","releaseNotes":")";
    big += std::string(UpdateManifest::maximumSize, 'x') + "\"}";
    EXPECT_FALSE(UpdateManifest::decode(big).has_value());
    // Nesting as deep as the size limit allows is refused without exhausting the stack.
    EXPECT_FALSE(UpdateManifest::decode(std::string(UpdateManifest::maximumSize, '[')).has_value());
    std::string nested = R"({"version":)";
    nested += std::string(30'000, '[') + std::string(30'000, ']') + "}";
    EXPECT_FALSE(UpdateManifest::decode(nested).has_value());
    // A whole build written as a real number is still that build.
    EXPECT_EQ(UpdateManifest::decode(
                  R"({"version":"1.4","build":28.0,"downloadURL":"https://zorvane.app/d"})")
                  ->build,
              28);
}

} // namespace
} // namespace zorvane
