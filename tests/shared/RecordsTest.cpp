#include "shared/ApplicationNetworkComponent.h"
#include "shared/BlockedApplication.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"
#include "shared/TemporaryAccessGrant.h"
#include "shared/Uuid.h"

#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <unordered_set>

namespace zorvane {
namespace {

BlockedApplication sampleApplication() {
    BlockedApplication application;
    application.id = Uuid::random();
    application.name = "Example";
    application.bundleIdentifier = "com.example.app";
    application.signingIdentifier = "com.example.app";
    application.teamIdentifier = "TEAM123456";
    application.path = "/Applications/Example.app";
    return application;
}

TEST(Uuid, RandomUuidsAreVersionFourAndDistinct) {
    std::set<Uuid> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid uuid = Uuid::random();
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] >> 6, 2);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(Uuid, ParsesEitherCaseAndWritesUpperCase) {
    const auto lower = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    const auto upper = Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(lower->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const Uuid random = Uuid::random();
    EXPECT_EQ(Uuid::parse(random.string()), random);
}

TEST(Uuid, RejectsAnythingButTheCanonicalForm) {
    for (const char* bad :
         {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF",
          "E621E1F8+C36C-495A-93FC-0C247A3E6E5F", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
          "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", " E621E1F8-C36C-495A-93FC-0C247A3E6E5"}) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(BlockedApplication, PrimaryIdentityIsNormalisedAndComesFirstInAllIdentities) {
    auto application = sampleApplication();
    application.teamIdentifier = "  ";
    application.auxiliaryCodeIdentities = std::vector<CodeIdentity>{
        {"com.example.helper", "TEAM123456"},
        {"com.example.app", std::nullopt}, // the primary again
        {"com.example.helper", "TEAM123456"},
    };
    EXPECT_EQ(application.primaryCodeIdentity(), (CodeIdentity{"com.example.app", std::nullopt}));
    const std::vector<CodeIdentity> all{{"com.example.app", std::nullopt},
                                        {"com.example.helper", "TEAM123456"}};
    EXPECT_EQ(application.allCodeIdentities(), all);
    EXPECT_EQ(application.allSigningIdentifiers(),
              (std::vector<std::string>{"com.example.app", "com.example.helper"}));
}

TEST(BlockedApplication, BlockingIdentitiesSkipTeamlessAndInterpreterHelpers) {
    auto application = sampleApplication();
    application.auxiliaryCodeIdentities = std::vector<CodeIdentity>{
        {"com.example.noteam", std::nullopt},
        {"Python3", "TEAM123456"},
        {"com.example.helper", "TEAM123456"},
        {"ZSH", "OTHER"},
        {"node-helper", "TEAM123456"},
        {"com.example.helper", "TEAM123456"}, // kept twice: no de-duplication here
    };
    const std::vector<CodeIdentity> expected{{"com.example.app", "TEAM123456"},
                                             {"com.example.helper", "TEAM123456"},
                                             {"node-helper", "TEAM123456"},
                                             {"com.example.helper", "TEAM123456"}};
    EXPECT_EQ(application.blockingCodeIdentities(), expected);
}

TEST(BlockedApplication, BlockingIdentitiesAlwaysStartWithThePrimaryEvenAnInterpreter) {
    auto application = sampleApplication();
    application.signingIdentifier = "python3";
    application.teamIdentifier = std::nullopt;
    EXPECT_EQ(application.blockingCodeIdentities(),
              (std::vector<CodeIdentity>{{"python3", std::nullopt}}));
    for (const char* name : {"bash", "dash", "java", "node", "perl", "php", "python", "python2",
                             "python3", "ruby", "sh", "swift", "zsh", "JAVA"}) {
        EXPECT_TRUE(BlockedApplication::isGenericInterpreter(name)) << name;
    }
    for (const char* name : {"", "pythons", "python4", "s h", "bash ", "com.apple.bash"}) {
        EXPECT_FALSE(BlockedApplication::isGenericInterpreter(name)) << name;
    }
}

TEST(BlockedApplication, AddingIdentitiesDropsPrimaryAndDuplicatesSortsAndBumpsVersion) {
    auto application = sampleApplication();
    application.teamIdentifier = " TEAM123456 ";
    application.auxiliaryCodeIdentities = std::vector<CodeIdentity>{{"com.example.zeta", "T"}};
    application.auxiliarySigningIdentifiers = std::vector<std::string>{"legacy"};
    application.inspectionVersion = 3;
    application.iconData = std::vector<std::uint8_t>{1, 2, 3};

    const auto updated = application.addingAuxiliaryIdentities({
        {"com.example.app", "TEAM123456"}, // equals the normalised primary
        {"com.example.app", std::nullopt}, // same signing identifier, other team: kept
        {"com.example.alpha", "T"},
        {"com.example.zeta", "T"},
        {"com.example.alpha", "T"},
    });
    const std::vector<CodeIdentity> expected{
        {"com.example.alpha", "T"}, {"com.example.app", std::nullopt}, {"com.example.zeta", "T"}};
    EXPECT_EQ(updated.auxiliaryCodeIdentities, expected);
    EXPECT_EQ(updated.auxiliarySigningIdentifiers, std::nullopt);
    EXPECT_EQ(updated.inspectionVersion, 5);
    EXPECT_EQ(updated.id, application.id);
    EXPECT_EQ(updated.teamIdentifier, application.teamIdentifier);
    EXPECT_EQ(updated.iconData, application.iconData);

    // Nothing new still normalises the record.
    const auto unchanged = sampleApplication().addingAuxiliaryIdentities({});
    EXPECT_EQ(unchanged.auxiliaryCodeIdentities, std::vector<CodeIdentity>{});
    EXPECT_EQ(unchanged.inspectionVersion, 5);
}

TEST(BlockedApplication, EqualityAndHashingCoverEveryField) {
    const auto base = sampleApplication();
    std::vector<BlockedApplication> variants(10, base);
    variants[0].id = Uuid::random();
    variants[1].name = "Other";
    variants[2].bundleIdentifier = "x";
    variants[3].signingIdentifier = "x";
    variants[4].teamIdentifier = std::nullopt;
    variants[5].auxiliaryCodeIdentities = std::vector<CodeIdentity>{};
    variants[6].auxiliarySigningIdentifiers = std::vector<std::string>{};
    variants[7].inspectionVersion = 5;
    variants[8].path = "/x";
    variants[9].iconData = std::vector<std::uint8_t>{};
    std::unordered_set<BlockedApplication> set{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        set.insert(variant);
    }
    EXPECT_EQ(set.size(), 11u);
    EXPECT_TRUE(set.contains(base));
}

NetworkActivityEvent sampleEvent() {
    NetworkActivityEvent event;
    event.sourceApplicationIdentifier = "com.example.app";
    event.sourceApplicationTeamIdentifier = "TEAM";
    event.processSigningIdentifier = "com.example.helper";
    event.processTeamIdentifier = "TEAM";
    event.processExecutablePath = "/Applications/Example.app/Contents/MacOS/Helper";
    event.destinationHost = "example.com";
    event.destinationPort = "443";
    event.firstSeenAt = Date::fromReferenceSeconds(100);
    event.lastSeenAt = Date::fromReferenceSeconds(200);
    event.blockedConnectionCount = 2;
    return event;
}

TEST(NetworkActivityEvent, IdJoinsTheSevenValuesInOrderWithAbsentAsEmpty) {
    auto event = sampleEvent();
    EXPECT_EQ(event.id(), "TEAM|com.example.app|TEAM|com.example.helper|"
                          "/Applications/Example.app/Contents/MacOS/Helper|example.com|443");
    event.sourceApplicationIdentifier.reset();
    event.sourceApplicationTeamIdentifier.reset();
    event.processTeamIdentifier.reset();
    event.processExecutablePath.reset();
    event.destinationPort.reset();
    EXPECT_EQ(event.id(), "|||com.example.helper||example.com|");
}

TEST(NetworkActivityEvent, AbsentAndEmptyPortShareAnIdAndMergingKeepsTheExistingValue) {
    auto existing = sampleEvent();
    existing.destinationPort = std::string();
    auto incoming = sampleEvent();
    incoming.destinationPort.reset();
    EXPECT_EQ(existing.id(), incoming.id());
    existing.merge(incoming);
    EXPECT_EQ(existing.destinationPort, std::string());

    auto absent = sampleEvent();
    absent.destinationPort.reset();
    auto empty = sampleEvent();
    empty.destinationPort = std::string();
    absent.merge(empty);
    EXPECT_EQ(absent.destinationPort, std::string()); // absent takes the other's value
}

TEST(NetworkActivityEvent, MergeWidensTheSpanAddsCountsAndFillsOnlyGaps) {
    auto existing = sampleEvent();
    existing.processExecutablePath.reset();
    existing.sourceApplicationIdentifier = "kept";
    auto incoming = sampleEvent();
    incoming.sourceApplicationIdentifier = "ignored";
    incoming.processExecutablePath = "/filled/in";
    incoming.processSigningIdentifier = "other";
    incoming.destinationHost = "other.host";
    incoming.firstSeenAt = Date::fromReferenceSeconds(50);
    incoming.lastSeenAt = Date::fromReferenceSeconds(150);
    incoming.blockedConnectionCount = 5;
    existing.merge(incoming);
    EXPECT_EQ(existing.sourceApplicationIdentifier, "kept");
    EXPECT_EQ(existing.processExecutablePath, "/filled/in");
    EXPECT_EQ(existing.processSigningIdentifier, "com.example.helper");
    EXPECT_EQ(existing.destinationHost, "example.com");
    EXPECT_EQ(existing.firstSeenAt, Date::fromReferenceSeconds(50));
    EXPECT_EQ(existing.lastSeenAt, Date::fromReferenceSeconds(200));
    EXPECT_EQ(existing.blockedConnectionCount, 7);
}

TEST(NetworkActivityEvent, MergedCountsSaturateInsteadOfOverflowing) {
    auto existing = sampleEvent();
    existing.blockedConnectionCount = std::numeric_limits<std::int64_t>::max() - 1;
    auto incoming = sampleEvent();
    incoming.blockedConnectionCount = 5;
    existing.merge(incoming);
    EXPECT_EQ(existing.blockedConnectionCount, std::numeric_limits<std::int64_t>::max());
    existing.blockedConnectionCount = std::numeric_limits<std::int64_t>::min();
    incoming.blockedConnectionCount = -1;
    existing.merge(incoming);
    EXPECT_EQ(existing.blockedConnectionCount, std::numeric_limits<std::int64_t>::min());
}

TEST(NetworkActivityEvent, DisplayNameAndDestinationDescription) {
    auto event = sampleEvent();
    EXPECT_EQ(event.processDisplayName(), "Helper");
    EXPECT_EQ(event.destinationDescription(), "example.com:443");
    event.processExecutablePath = "";
    event.destinationPort = "";
    EXPECT_EQ(event.processDisplayName(), "com.example.helper");
    EXPECT_EQ(event.destinationDescription(), "example.com");
    event.processExecutablePath.reset();
    event.destinationPort.reset();
    EXPECT_EQ(event.processDisplayName(), "com.example.helper");
    EXPECT_EQ(event.destinationDescription(), "example.com");
    event.processExecutablePath = "/usr/bin/tool/";
    EXPECT_EQ(event.processDisplayName(), "tool");
    event.processExecutablePath = "tool";
    EXPECT_EQ(event.processDisplayName(), "tool");
}

TEST(NetworkActivityEvent, EqualityAndHashingCoverEveryField) {
    const auto base = sampleEvent();
    std::vector<NetworkActivityEvent> variants(10, base);
    variants[0].sourceApplicationIdentifier.reset();
    variants[1].sourceApplicationTeamIdentifier.reset();
    variants[2].processSigningIdentifier = "x";
    variants[3].processTeamIdentifier.reset();
    variants[4].processExecutablePath.reset();
    variants[5].destinationHost = "x";
    variants[6].destinationPort.reset();
    variants[7].firstSeenAt = Date::fromReferenceSeconds(1);
    variants[8].lastSeenAt = Date::fromReferenceSeconds(1);
    variants[9].blockedConnectionCount = 9;
    std::unordered_set<NetworkActivityEvent> set{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        set.insert(variant);
    }
    EXPECT_EQ(set.size(), 11u);
}

DiscoveredNetworkProcess sampleProcess() {
    DiscoveredNetworkProcess process;
    process.signingIdentifier = "com.example.helper";
    process.teamIdentifier = "TEAM";
    process.sourceApplicationIdentifier = "com.example.app";
    process.sourceApplicationTeamIdentifier = "TEAM";
    process.executablePath = "/x/Helper";
    process.firstSeenAt = Date::fromReferenceSeconds(10);
    process.lastSeenAt = Date::fromReferenceSeconds(20);
    process.connectionCount = 1;
    return process;
}

TEST(DiscoveredNetworkProcess, IdAndMergeFollowTheAggregateRules) {
    auto existing = sampleProcess();
    EXPECT_EQ(existing.id(), "TEAM|com.example.app|TEAM|com.example.helper|/x/Helper");
    existing.teamIdentifier.reset();
    existing.executablePath.reset();
    EXPECT_EQ(existing.id(), "TEAM|com.example.app||com.example.helper|");

    auto incoming = sampleProcess();
    incoming.signingIdentifier = "ignored";
    incoming.sourceApplicationIdentifier = "ignored";
    incoming.firstSeenAt = Date::fromReferenceSeconds(15);
    incoming.lastSeenAt = Date::fromReferenceSeconds(30);
    incoming.connectionCount = std::numeric_limits<std::int64_t>::max();
    existing.merge(incoming);
    EXPECT_EQ(existing.signingIdentifier, "com.example.helper");
    EXPECT_EQ(existing.sourceApplicationIdentifier, "com.example.app");
    EXPECT_EQ(existing.teamIdentifier, "TEAM");
    EXPECT_EQ(existing.executablePath, "/x/Helper");
    EXPECT_EQ(existing.firstSeenAt, Date::fromReferenceSeconds(10));
    EXPECT_EQ(existing.lastSeenAt, Date::fromReferenceSeconds(30));
    EXPECT_EQ(existing.connectionCount, std::numeric_limits<std::int64_t>::max());
}

TEST(TemporaryAccessGrant, ModeTextsAreTheCaseNames) {
    EXPECT_EQ(TemporaryAccessGrant::modeText(TemporaryAccessGrant::Mode::timed), "timed");
    EXPECT_EQ(TemporaryAccessGrant::modeText(TemporaryAccessGrant::Mode::untilQuit), "untilQuit");
    EXPECT_EQ(TemporaryAccessGrant::modeFromText("untilQuit"),
              TemporaryAccessGrant::Mode::untilQuit);
    EXPECT_EQ(TemporaryAccessGrant::modeFromText("UntilQuit"), std::nullopt);
    EXPECT_EQ(TemporaryAccessGrant::modeFromText(""), std::nullopt);
}

TEST(ApplicationNetworkComponent, KindTextsAndHashing) {
    using Kind = ApplicationNetworkComponent::Kind;
    EXPECT_EQ(ApplicationNetworkComponent::displayText(Kind::main), "Main app");
    EXPECT_EQ(ApplicationNetworkComponent::displayText(Kind::bundled), "Bundled");
    EXPECT_EQ(ApplicationNetworkComponent::displayText(Kind::observed), "Observed");
    ApplicationNetworkComponent row{"id", "Helper",       "com.example.helper",         "TEAM",
                                    "/x", Kind::observed, Date::fromReferenceSeconds(5)};
    auto other = row;
    other.lastSeenAt.reset();
    EXPECT_NE(row, other);
    std::unordered_set<ApplicationNetworkComponent> set{row, other, row};
    EXPECT_EQ(set.size(), 2u);
}

} // namespace
} // namespace zorvane
