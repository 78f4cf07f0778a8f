#include "app/store/ActivityQueries.h"

#include "StoreFixtures.h"
#include "app/store/ApplicationMatcher.h"
#include "app/store/HelperLearning.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {
using namespace fixtures;
using Kind = ApplicationNetworkComponent::Kind;

TEST(ApplicationMatcher, MatchesByOwnIdentitySourceIdentityOrPathInsideTheBundle) {
    const auto app = application("Example", "com.example", "TEAM123456",
                                 {CodeIdentity::make("com.example.helper", "TEAM123456")});
    const ApplicationMatcher matcher(app);

    EXPECT_TRUE(matcher.matches(event("com.example.helper", " TEAM123456\n", start)));
    EXPECT_FALSE(matcher.matches(event("com.example.helper", std::nullopt, start)));

    auto acting = event("org.other.tool", "OTHER", start);
    acting.sourceApplicationIdentifier = "com.example";
    EXPECT_FALSE(matcher.matches(acting)); // source without its team is another identity
    acting.sourceApplicationTeamIdentifier = "TEAM123456";
    EXPECT_TRUE(matcher.matches(acting));

    auto inside = observation("unknown", std::nullopt, start,
                              "/Applications/Example.app/Contents/MacOS/../Helpers/tool");
    EXPECT_TRUE(matcher.matches(inside));
    inside.executablePath = "/Applications/Example.app";
    EXPECT_TRUE(matcher.matches(inside));
    // A sibling bundle whose name merely begins the same way is someone else.
    inside.executablePath = "/Applications/Example.app Pro.app/Contents/MacOS/tool";
    EXPECT_FALSE(matcher.matches(inside));
    inside.executablePath = "/Applications/ExampleTwo.app/Contents/MacOS/tool";
    EXPECT_FALSE(matcher.matches(inside));

    // An entry without a usable path must not claim every executable.
    auto pathless = app;
    pathless.path = "/";
    inside.executablePath = "/usr/bin/curl";
    EXPECT_FALSE(ApplicationMatcher(pathless).matches(inside));
    pathless.path = "";
    EXPECT_FALSE(ApplicationMatcher(pathless).matches(inside));
    EXPECT_EQ(ApplicationMatcher::standardizedPath("/a/./b//c/../d/"), "/a/b/d");
}

TEST(ActivityQueries, CountsRecentAttemptsAndOwners) {
    const auto first = application("First", "com.first");
    const auto second = application("Second", "com.second");
    std::vector<NetworkActivityEvent> events;
    for (int index = 0; index < 14; ++index) {
        events.push_back(event("com.first", "TEAM123456", start.addingSeconds(index), 2,
                               "host" + std::to_string(index)));
    }
    events.push_back(event("com.second", "TEAM123456", start.addingSeconds(100.0), 5));
    events.push_back(event("org.unlisted", "TEAMX", start.addingSeconds(200.0), 7));
    const ActivityQueries queries({first, second}, events, {});

    EXPECT_EQ(queries.blockedAttemptCount(first), 28);
    EXPECT_EQ(queries.blockedAttemptCount(second), 5);
    EXPECT_EQ(queries.blockedAttemptCount(application("None", "com.none")), 0);

    const auto recent = queries.recentAttempts();
    ASSERT_EQ(recent.size(), 12u);
    EXPECT_EQ(recent[0].processSigningIdentifier, "com.second"); // unlisted one left out
    EXPECT_EQ(recent[1].destinationHost, "host13");
    EXPECT_EQ(recent[11].destinationHost, "host3");

    EXPECT_EQ(queries.owningApplication(events[0])->id, first.id);
    EXPECT_FALSE(queries.owningApplication(events.back()));
}

TEST(ActivityQueries, ComponentsListTheMainRowFirstThenByName) {
    auto app = application("Example", "com.example", "TEAM123456",
                           {CodeIdentity::make("com.example.Zeta", "TEAM123456"),
                            CodeIdentity::make("com.example.alpha", "TEAM123456"),
                            CodeIdentity::make("com.example.observed", "TEAM123456")});
    const auto observed =
        observation("com.example.observed", "TEAM123456", start.addingSeconds(5.0),
                    "/Applications/Example.app/Contents/Helpers/Beta Helper");
    const auto viaPath = observation("com.example.nohelper", std::nullopt, start.addingSeconds(9.0),
                                     "/Applications/Example.app/Contents/Helpers/delta");
    const ActivityQueries queries({app}, {}, {observed, viaPath});

    const auto rows = queries.networkComponents(app);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].kind, Kind::main);
    EXPECT_EQ(rows[0].id, "bundled|" + app.primaryCodeIdentity().key());
    EXPECT_EQ(rows[0].name, "Example");
    EXPECT_EQ(rows[0].executablePath, app.path);
    EXPECT_FALSE(rows[0].lastSeenAt);
    // Bundled and observed rows interleave by name, case folded; the observed helper is listed
    // once, as observed.
    EXPECT_EQ(rows[1].name, "Beta Helper");
    EXPECT_EQ(rows[1].kind, Kind::observed);
    EXPECT_EQ(rows[1].id, observed.id());
    EXPECT_EQ(rows[1].lastSeenAt, observed.lastSeenAt);
    EXPECT_EQ(rows[2].name, "com.example.alpha");
    EXPECT_EQ(rows[2].kind, Kind::bundled);
    EXPECT_FALSE(rows[2].executablePath);
    EXPECT_EQ(rows[3].name, "com.example.Zeta");
    EXPECT_EQ(rows[4].name, "delta");
    EXPECT_EQ(rows[4].teamIdentifier, std::nullopt);
}

TEST(ActivityQueries, AnObservedPrimaryIdentityReplacesTheBundledMainRow) {
    const auto app = application("Example", "com.example");
    const auto seen = observation("com.example", "TEAM123456", start,
                                  "/Applications/Example.app/Contents/MacOS/Example");
    const auto rows = ActivityQueries({app}, {}, {seen}).networkComponents(app);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].kind, Kind::main);
    EXPECT_EQ(rows[0].id, seen.id());
    EXPECT_EQ(rows[0].name, "Example");
    EXPECT_EQ(rows[0].lastSeenAt, start);
}

TEST(HelperLearning, LearnsTeamHelpersButNotInterpretersOrTeamlessCode) {
    auto app = application("Example", "com.example", "TEAM123456", {});
    auto other = application("Other", "org.other", "TEAMOTHER", {});
    auto helper = observation("com.example.helper", "TEAMHELPER", start);
    helper.sourceApplicationIdentifier = "com.example";
    helper.sourceApplicationTeamIdentifier = "TEAM123456";
    auto teamless = helper;
    teamless.signingIdentifier = "com.example.teamless";
    teamless.teamIdentifier = std::nullopt;
    auto node = helper;
    node.signingIdentifier = "Node";

    const auto learned = HelperLearning::learn({app, other}, {helper, teamless, node});
    ASSERT_TRUE(learned);
    ASSERT_EQ(learned->size(), 2u);
    EXPECT_EQ((*learned)[0].auxiliaryCodeIdentities,
              std::vector<CodeIdentity>{CodeIdentity::make("com.example.helper", "TEAMHELPER")});
    EXPECT_EQ((*learned)[1], other);
    // Learning again changes nothing, so nothing is saved again.
    EXPECT_FALSE(HelperLearning::learn(*learned, {helper, teamless, node}));

    // The unlearnt observations are still shown.
    const auto rows =
        ActivityQueries(*learned, {}, {helper, teamless, node}).networkComponents((*learned)[0]);
    EXPECT_EQ(rows.size(), 4u);
}

TEST(HelperLearning, LearnsLinuxProgramsByPathButNeverAnInterpreter) {
    // A Linux application: an unsigned program named by its canonical path, no team anywhere.
    auto app = application("Editor", "editor.desktop", std::nullopt, {});
    app.signingIdentifier = "/opt/editor/editor";
    auto helper = observation("/opt/editor/renderer", std::nullopt, start);
    helper.sourceApplicationIdentifier = "/opt/editor/editor";
    auto python = helper;
    python.signingIdentifier = "/usr/bin/python3.11";
    auto shell = helper;
    shell.signingIdentifier = "/usr/bin/bash";

    const auto learned = HelperLearning::learn({app}, {helper, python, shell});
    ASSERT_TRUE(learned);
    const auto renderer = CodeIdentity::make("/opt/editor/renderer", std::nullopt);
    EXPECT_EQ((*learned)[0].auxiliaryCodeIdentities, std::vector<CodeIdentity>{renderer});
    // And the rules block it from then on.
    EXPECT_EQ((*learned)[0].blockingCodeIdentities(),
              (std::vector<CodeIdentity>{app.primaryCodeIdentity(), renderer}));
    // The row names the program by its file, not by its whole path.
    const auto rows = ActivityQueries(*learned, {}, {}).networkComponents((*learned)[0]);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "renderer");
}

TEST(HelperLearning, LeavesOutIdentitiesTooLongForTheFilterConfiguration) {
    auto app = application("Example", "com.example", "TEAM123456", {});
    auto helper = observation(std::string(1025, 'h'), "TEAMHELPER", start);
    helper.sourceApplicationIdentifier = "com.example";
    helper.sourceApplicationTeamIdentifier = "TEAM123456";
    auto team = helper;
    team.signingIdentifier = "com.example.helper";
    team.teamIdentifier = std::string(1025, 't');
    EXPECT_FALSE(HelperLearning::learn({app}, {helper, team}));
}

TEST(HelperLearning, GivesOutdatedEntriesTheirListButLeavesThemToReinspection) {
    auto outdated = application("Old", "com.old");
    outdated.auxiliaryCodeIdentities.reset();
    outdated.inspectionVersion = 4;
    outdated.auxiliarySigningIdentifiers = std::vector<std::string>{"legacy"};
    const auto current = application("Current", "com.current");

    const auto learned = HelperLearning::learn({outdated, current}, {});
    ASSERT_TRUE(learned);
    EXPECT_EQ((*learned)[0].auxiliaryCodeIdentities, std::vector<CodeIdentity>{});
    EXPECT_FALSE((*learned)[0].auxiliarySigningIdentifiers);
    EXPECT_EQ((*learned)[1], current);
    // Only an inspection makes an entry current: one whose re-inspection never finished (the
    // application quit first) is still outdated at the next start, and inspected then.
    EXPECT_EQ((*learned)[0].inspectionVersion, 4);
    EXPECT_FALSE(HelperLearning::learn(*learned, {}));
    auto unversioned = outdated;
    unversioned.inspectionVersion.reset();
    EXPECT_EQ(HelperLearning::learn({unversioned}, {}).value()[0].inspectionVersion, std::nullopt);
}

} // namespace
} // namespace zorvane
