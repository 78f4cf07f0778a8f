#include "FakeTaskInspector.h"
#include "filter/FilterDataProvider.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::bytesOf;
using testing::FakeTaskInspector;

class ProcessIdentityTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTaskInspector> inspector = std::make_shared<FakeTaskInspector>();
    FilterDataProvider provider{{.taskInspector = inspector}};

    std::optional<ProcessIdentity> resolve(const AuditToken& token) {
        return provider.resolveProcessIdentity(bytesOf(token));
    }
    std::size_t cacheCount() const { return provider.identityCacheTokens().size(); }
};

TEST_F(ProcessIdentityTest, ResolvesSigningTeamAndPath) {
    const auto token = inspector->add(
        42, {"com.example.app", {{"com.apple.developer.team-identifier", " TEAM "}}, "/bin/app"});
    const auto identity = resolve(token);
    ASSERT_TRUE(identity);
    // The team is kept as the entitlement gives it; keys trim it.
    EXPECT_EQ(*identity, (ProcessIdentity{"com.example.app", std::string(" TEAM "), "/bin/app"}));
    EXPECT_EQ(FilterDataProvider::identityKey(*identity),
              FilterDataProvider::identityKey({"com.example.app", std::string("TEAM"), {}}));
}

TEST_F(ProcessIdentityTest, TeamFallsBackToTheApplicationIdentifier) {
    const std::vector<std::pair<PlistDictionary, std::optional<std::string>>> cases{
        {{{"com.apple.application-identifier", "ABCDE12345.com.example.app"}}, "ABCDE12345"},
        {{{"com.apple.application-identifier", "WHOLEVALUE"}}, "WHOLEVALUE"},
        {{{"com.apple.developer.team-identifier", ""},
          {"com.apple.application-identifier", "FALLBACK.x"}},
         "FALLBACK"},
        {{{"com.apple.developer.team-identifier", PlistValue(5)},
          {"com.apple.application-identifier", PlistArray{"A.b"}}},
         std::nullopt},
        {{{"com.apple.application-identifier", ".com.example.app"}}, std::nullopt},
        {{}, std::nullopt},
    };
    std::int32_t pid = 1000;
    for (const auto& [entitlements, expected] : cases) {
        const auto identity = resolve(inspector->add(++pid, {"com.example.app", entitlements, {}}));
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->teamIdentifier, expected) << pid;
    }
}

TEST_F(ProcessIdentityTest, FailuresGiveNoIdentityAndAreNotCached) {
    const auto token = inspector->add(7, {"com.example.app", {}, "/bin/app"});
    auto bytes = bytesOf(token);
    auto shorter = bytes;
    shorter.pop_back();
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(provider.resolveProcessIdentity(shorter));
    EXPECT_FALSE(provider.resolveProcessIdentity(longer));
    EXPECT_FALSE(provider.resolveProcessIdentity(std::nullopt));
    EXPECT_EQ(inspector->createTaskCalls(7), 0);
    EXPECT_EQ(cacheCount(), 0u);

    const auto unsignedToken = inspector->add(8, {std::nullopt, {}, "/bin/unsigned"});
    EXPECT_FALSE(resolve(unsignedToken));
    EXPECT_FALSE(resolve(unsignedToken));
    EXPECT_EQ(inspector->createTaskCalls(8), 2);
    EXPECT_FALSE(resolve(FakeTaskInspector::tokenFor(7, 2)));
    EXPECT_EQ(cacheCount(), 0u);
}

TEST_F(ProcessIdentityTest, PidZeroGivesNoPathAndPathsBecomeValidText) {
    const auto kernelish = inspector->add(0, {"com.example.zero", {}, "/should/not/be/read"});
    const auto identity = resolve(kernelish);
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->executablePath);
    EXPECT_EQ(inspector->processPathCalls(), 0);

    const auto badBytes =
        inspector->add(9, {"com.example.bytes", {}, std::string("/tmp/a\xff\xc3.app")});
    EXPECT_EQ(resolve(badBytes)->executablePath, "/tmp/a\xEF\xBF\xBD\xEF\xBF\xBD.app");

    const auto longPath =
        inspector->add(10, {"com.example.long", {}, "/" + std::string(5000, 'x')});
    EXPECT_EQ(resolve(longPath)->executablePath->size(), 4096u);

    const auto noPath = inspector->add(11, {"com.example.nopath", {}, std::nullopt});
    const auto pathless = resolve(noPath);
    ASSERT_TRUE(pathless);
    EXPECT_FALSE(pathless->executablePath);
}

TEST_F(ProcessIdentityTest, CacheEvictsTheOldestQuarterAtOnce) {
    std::vector<AuditToken> tokens;
    for (std::int32_t pid = 1; pid <= 257; ++pid) {
        tokens.push_back(inspector->add(pid, {"com.example.p" + std::to_string(pid), {}, {}}));
        ASSERT_TRUE(resolve(tokens.back()));
    }
    const auto cached = provider.identityCacheTokens();
    ASSERT_EQ(cached.size(), 193u);
    EXPECT_EQ(cached.front(), tokens[64].bytes());
    EXPECT_EQ(cached.back(), tokens[256].bytes());

    // A hit does not move its entry; an evicted token is resolved again and goes to the end.
    ASSERT_TRUE(resolve(tokens[64]));
    EXPECT_EQ(inspector->createTaskCalls(65), 1);
    ASSERT_TRUE(resolve(tokens[0]));
    EXPECT_EQ(inspector->createTaskCalls(1), 2);
    const auto after = provider.identityCacheTokens();
    ASSERT_EQ(after.size(), 194u);
    EXPECT_EQ(after.front(), tokens[64].bytes());
    EXPECT_EQ(after.back(), tokens[0].bytes());
}

TEST_F(ProcessIdentityTest, ReusedPidIsADifferentProcess) {
    const auto first = inspector->add(77, {"com.example.first", {}, {}}, 1);
    EXPECT_EQ(resolve(first)->signingIdentifier, "com.example.first");
    const auto second = inspector->add(77, {"com.example.second", {}, {}}, 2);
    EXPECT_EQ(resolve(second)->signingIdentifier, "com.example.second");
    // The old token is still answered from the cache: it names the old process.
    EXPECT_EQ(resolve(first)->signingIdentifier, "com.example.first");
}

} // namespace
} // namespace zorvane
