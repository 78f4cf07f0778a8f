#include "app/store/RuleSet.h"

#include "StoreFixtures.h"
#include "app/store/TemporaryAccess.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {
using namespace fixtures;
using Mode = TemporaryAccessGrant::Mode;

const OwnIdentifier own{std::string("dev.quillmoor.Zorvane")};

TEST(RuleSet, SharedIdentitiesGiveOneKeyAtTheirFirstPositionAndOwnCodeNone) {
    const CodeIdentity shared = CodeIdentity::make("com.vendor.updater", "TEAMSHARED");
    const auto first = application("First", "com.first", "TEAM1", {shared});
    const auto second = application("Second", "com.second", "TEAM2", {shared});
    // An entry that names our own code among its helpers must not block it.
    const auto third = application(
        "Third", "com.third", std::nullopt,
        {CodeIdentity::make("dev.quillmoor.Zorvane.FilterExtension", "TEAMOWN"),
         CodeIdentity::make("node", "TEAMNODE"), CodeIdentity::make("helper", std::nullopt)});

    const auto rules = RuleSet::derive({first, second, third}, {}, start, own);

    EXPECT_EQ(rules.blockedCodeIdentityKeys,
              (std::vector<std::string>{first.primaryCodeIdentity().key(), shared.key(),
                                        second.primaryCodeIdentity().key(),
                                        third.primaryCodeIdentity().key()}));
    EXPECT_EQ(rules.blockedApplicationPaths,
              (std::vector<std::string>{first.path, second.path, third.path}));
    EXPECT_TRUE(rules.temporarilyAllowedCodeIdentities.empty());
    EXPECT_TRUE(rules.blockedCodeIdentityKeys.back().starts_with("."));
}

TEST(RuleSet, OnlyActiveGrantsCountAndTheLatestExpiryWins) {
    const CodeIdentity shared = CodeIdentity::make("com.vendor.updater", "TEAMSHARED");
    const auto first = application("First", "com.first", "TEAM1", {shared});
    const auto second = application("Second", "com.second", "TEAM2", {shared});
    std::vector<TemporaryAccessGrant> grants;
    grants = TemporaryAccess::allowingTemporarily(grants, first, TemporaryAccess::oneHour, start);
    grants =
        TemporaryAccess::allowingTemporarily(grants, second, TemporaryAccess::fiveMinutes, start);
    auto expired = TemporaryAccess::makeGrant(second, start, Mode::timed); // exactly now
    expired.applicationPath = "/Applications/Expired.app";
    grants.push_back(expired);

    const auto rules = RuleSet::derive({first, second}, grants, start, own);

    const double hourLater = start.unixSeconds() + 3600.0;
    const double minutesLater = start.unixSeconds() + 300.0;
    EXPECT_EQ(rules.temporarilyAllowedCodeIdentities.at(shared.key()), hourLater);
    EXPECT_EQ(rules.temporarilyAllowedCodeIdentities.at(second.primaryCodeIdentity().key()),
              minutesLater);
    EXPECT_EQ(rules.temporarilyAllowedCodeIdentities.size(), 3u);
    EXPECT_EQ(
        rules.temporarilyAllowedApplicationPaths,
        (std::map<std::string, double>{{first.path, hourLater}, {second.path, minutesLater}}));
    // The same inputs give the same rules whoever derives them.
    EXPECT_EQ(rules, RuleSet::derive({first, second}, grants, start, own));
    EXPECT_TRUE(RuleSet::derive({first, second}, grants, start.addingSeconds(3600.0), own)
                    .temporarilyAllowedApplicationPaths.empty());
}

TEST(TemporaryAccess, AllowingAgainReplacesTheGrantAndKeepsOthersInOrder) {
    const auto first = application("First", "com.first");
    const auto second = application("Second", "com.second");
    std::vector<TemporaryAccessGrant> grants;
    grants = TemporaryAccess::allowingTemporarily(grants, first, TemporaryAccess::oneHour, start);
    grants = TemporaryAccess::allowingTemporarily(grants, second, TemporaryAccess::oneHour, start);
    grants =
        TemporaryAccess::allowingTemporarily(grants, first, TemporaryAccess::fiveMinutes, start);
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[0].applicationID, second.id);
    EXPECT_EQ(grants[1].applicationID, first.id);
    EXPECT_EQ(grants[1].expiresAt, start.addingSeconds(300.0)); // shortened

    grants = TemporaryAccess::allowingUntilQuit(grants, first, start);
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[1].mode, Mode::untilQuit);
    EXPECT_EQ(grants[1].expiresAt, start.addingSeconds(86400.0));
    EXPECT_EQ(grants[1].codeIdentityKeys,
              std::vector<std::string>{first.primaryCodeIdentity().key()});

    EXPECT_EQ(TemporaryAccess::revoking(grants, first.id).size(), 1u);
    EXPECT_EQ(TemporaryAccess::notRunningMessage(first),
              "Open First first, then choose Allow Until App Quits.");
}

TEST(TemporaryAccess, ExpiryIsExclusiveOfNow) {
    const auto app = application("App", "com.app");
    const auto grants =
        TemporaryAccess::allowingTemporarily({}, app, TemporaryAccess::fiveMinutes, start);
    const Date end = start.addingSeconds(300.0);
    EXPECT_TRUE(TemporaryAccess::activeGrant(grants, app.id, end.addingSeconds(-0.001)));
    EXPECT_FALSE(TemporaryAccess::activeGrant(grants, app.id, end));
    EXPECT_EQ(TemporaryAccess::pruningExpired(grants, end.addingSeconds(-0.001)).size(), 1u);
    EXPECT_TRUE(TemporaryAccess::pruningExpired(grants, end).empty());
    EXPECT_FALSE(TemporaryAccess::activeGrant(grants, Uuid::random(), start));
}

TEST(TemporaryAccess, UntilQuitGrantsLastOnlyWhileTheirApplicationRuns) {
    auto first = application("First", "com.first");
    auto second = application("Second", "com.second");
    std::vector<TemporaryAccessGrant> grants;
    grants = TemporaryAccess::allowingUntilQuit(grants, first, start);
    grants = TemporaryAccess::allowingUntilQuit(grants, second, start);
    auto timedFirst = TemporaryAccess::makeGrant(first, start.addingSeconds(600.0), Mode::timed);
    timedFirst.applicationID = Uuid::random(); // a second entry of the same bundle
    grants.push_back(timedFirst);

    // Quitting First ends its until-quit grant only.
    const auto afterQuit = TemporaryAccess::endingUntilQuit(grants, "com.first");
    ASSERT_EQ(afterQuit.size(), 2u);
    EXPECT_EQ(afterQuit[0].applicationID, second.id);
    EXPECT_EQ(afterQuit[1], timedFirst);

    // At a start, until-quit grants survive only with a running application, and a day is the
    // limit even then.
    const auto restored = TemporaryAccess::restoring(grants, start, {"com.second"});
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0].applicationID, second.id);
    EXPECT_TRUE(TemporaryAccess::restoring(grants, start.addingSeconds(86400.0),
                                           {"com.first", "com.second"})
                    .empty());
    EXPECT_TRUE(TemporaryAccess::isRunning("com.second", {"com.first", "com.second"}));
    EXPECT_FALSE(TemporaryAccess::isRunning("com.secon", {"com.first", "com.second"}));
}

TEST(TemporaryAccess, AGrantEndingFurtherAheadThanItsLifetimeIsCutWhenLoaded) {
    const auto timedApp = application("Timed", "com.timed");
    const auto quitApp = application("Quit", "com.quit");
    // Written before the clock was set back by days (or edited by hand).
    const auto farTimed =
        TemporaryAccess::makeGrant(timedApp, start.addingSeconds(5 * 86400.0), Mode::timed);
    const auto farUntilQuit =
        TemporaryAccess::makeGrant(quitApp, start.addingSeconds(10 * 86400.0), Mode::untilQuit);
    const auto nearTimed =
        TemporaryAccess::makeGrant(quitApp, start.addingSeconds(1800.0), Mode::timed);
    const auto nearUntilQuit =
        TemporaryAccess::makeGrant(timedApp, start.addingSeconds(7200.0), Mode::untilQuit);

    const auto restored = TemporaryAccess::restoring(
        {farTimed, farUntilQuit, nearTimed, nearUntilQuit}, start, {"com.timed", "com.quit"});
    ASSERT_EQ(restored.size(), 4u);
    EXPECT_EQ(restored[0].expiresAt, start.addingSeconds(3600.0));
    EXPECT_EQ(restored[1].expiresAt, start.addingSeconds(86400.0));
    EXPECT_EQ(restored[2], nearTimed);
    EXPECT_EQ(restored[3], nearUntilQuit);
    // The same cut applies where the grants are re-read after the other process wrote them.
    EXPECT_EQ(TemporaryAccess::cappingToLifetime({farTimed}, start)[0].expiresAt,
              start.addingSeconds(3600.0));
}

TEST(TemporaryAccess, PauseReplacesEveryGrantAndResumeClearsThem) {
    const auto first = application("First", "com.first");
    const auto second = application("Second", "com.second");
    auto grants = TemporaryAccess::allowingUntilQuit({}, first, start);
    const Date later = start.addingSeconds(10.0);

    grants = TemporaryAccess::pausingAll({first, second}, TemporaryAccess::oneHour, later);
    ASSERT_EQ(grants.size(), 2u);
    for (const auto& grant : grants) {
        EXPECT_EQ(grant.mode, Mode::timed);
        EXPECT_EQ(grant.expiresAt, later.addingSeconds(3600.0));
    }
    EXPECT_EQ(grants[0].applicationID, first.id);
    EXPECT_EQ(grants[1].applicationID, second.id);
    EXPECT_TRUE(TemporaryAccess::resumingAll().empty());
}

} // namespace
} // namespace zorvane
