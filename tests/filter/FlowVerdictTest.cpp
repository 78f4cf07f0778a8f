#include "FakeTaskInspector.h"
#include "filter/FilterDataProvider.h"
#include "shared/CodeIdentity.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::FakeProcess;
using testing::FakeTaskInspector;
using testing::RecordingActivitySink;

constexpr double startUnixSeconds = 1'800'000'000.0;

std::string keyOf(const std::string& signing, const std::optional<std::string>& team) {
    return CodeIdentity::make(signing, team).key();
}

PlistDictionary withTeam(const std::string& team) {
    return {{"com.apple.developer.team-identifier", team}};
}

class FlowVerdictTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTaskInspector> inspector = std::make_shared<FakeTaskInspector>();
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(Date::fromUnixSeconds(startUnixSeconds));
    std::shared_ptr<RecordingActivitySink> sink = std::make_shared<RecordingActivitySink>();
    FilterDataProvider provider{
        {.taskInspector = inspector,
         .clock = clock,
         .mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension"),
         .activitySink = sink}};

    // A blocked chat application with a differently signed helper inside its bundle, and an
    // unrelated browser.
    AuditToken chat = inspector->add(100, {"com.example.chat", withTeam("CHATTEAM"),
                                           "/Applications/Chat.app/Contents/MacOS/Chat"});
    AuditToken chatHelper =
        inspector->add(101, {"com.example.chat.helper", withTeam("OTHERTEAM"),
                             "/Applications/Chat.app/Contents/Frameworks/Helper.app/Contents/"
                             "MacOS/Helper"});
    AuditToken browser = inspector->add(200, {"com.example.browser", withTeam("WEBTEAM"),
                                              "/Applications/Browser.app/Contents/MacOS/Browser"});

    void configure(PlistDictionary dictionary) {
        provider.setVendorConfiguration(
            std::make_shared<const PlistDictionary>(std::move(dictionary)));
    }
    void blockChatByIdentity() {
        configure({{"blockedCodeIdentities", PlistArray{keyOf("com.example.chat", "CHATTEAM")}}});
    }

    static FilterFlow outbound(std::optional<AuditToken> app, std::optional<AuditToken> process,
                               std::string host = "203.0.113.7", std::string port = "443",
                               int protocol = 6) {
        FilterFlow flow;
        flow.direction = FilterFlow::Direction::outbound;
        if (app) {
            flow.sourceAppAuditToken = testing::bytesOf(*app);
        }
        if (process) {
            flow.sourceProcessAuditToken = testing::bytesOf(*process);
        }
        flow.socket = SocketFlowInfo{protocol, std::nullopt, HostEndpoint{host, port}};
        return flow;
    }
};

TEST_F(FlowVerdictTest, WithoutConfigurationEverythingIsAllowed) {
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::allow);
    EXPECT_TRUE(sink->observations().empty());
    bool stopped = false;
    provider.stopFilter([&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(sink->flushes(), 1);
}

TEST_F(FlowVerdictTest, BlockedIdentityIsDroppedAndRecorded) {
    blockChatByIdentity();
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::drop);
    EXPECT_EQ(provider.handleNewFlow(outbound(browser, browser)), FilterVerdict::allow);

    ASSERT_EQ(sink->observations().size(), 1u);
    const auto blocked = sink->blocked();
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_EQ(blocked[0].process.signingIdentifier, "com.example.chat");
    EXPECT_EQ(blocked[0].process.teamIdentifier, "CHATTEAM");
    ASSERT_TRUE(blocked[0].sourceApplication);
    EXPECT_EQ(blocked[0].sourceApplication->signingIdentifier, "com.example.chat");
    EXPECT_EQ(blocked[0].flow, outbound(chat, chat));
}

TEST_F(FlowVerdictTest, InboundAndUndirectedFlowsAreNeverExamined) {
    blockChatByIdentity();
    auto flow = outbound(chat, chat);
    flow.direction = FilterFlow::Direction::inbound;
    EXPECT_EQ(provider.handleNewFlow(flow), FilterVerdict::allow);
    flow.direction = FilterFlow::Direction::any;
    EXPECT_EQ(provider.handleNewFlow(flow), FilterVerdict::allow);
    EXPECT_TRUE(sink->observations().empty());
    EXPECT_EQ(inspector->createTaskCalls(100), 0);
}

TEST_F(FlowVerdictTest, UnresolvableTokensAllowTheFlow) {
    blockChatByIdentity();
    const AuditToken gone = FakeTaskInspector::tokenFor(100, 99); // reused pid
    const AuditToken unsigned_ = inspector->add(300, {std::nullopt, {}, "/usr/bin/nc"});
    EXPECT_EQ(provider.handleNewFlow(outbound(gone, unsigned_)), FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, std::nullopt)), FilterVerdict::allow);
    auto shortToken = outbound(chat, chat);
    shortToken.sourceAppAuditToken->pop_back();
    shortToken.sourceProcessAuditToken->push_back(0);
    EXPECT_EQ(provider.handleNewFlow(shortToken), FilterVerdict::allow);
    EXPECT_TRUE(sink->observations().empty());
}

TEST_F(FlowVerdictTest, OwnCodeIsAllowedEvenWhenListed) {
    const AuditToken app =
        inspector->add(400, {"dev.quillmoor.Zorvane", withTeam("K4T7QW2ZP8"),
                             "/Applications/Zorvane.app/Contents/MacOS/Zorvane"});
    const AuditToken helper = inspector->add(
        401, {"dev.quillmoor.Zorvane.Agent", withTeam("K4T7QW2ZP8"), "/Applications/Chat.app/x"});
    configure({{"blockedCodeIdentities", PlistArray{keyOf("dev.quillmoor.Zorvane", "K4T7QW2ZP8")}},
               {"blockedApplicationPaths",
                PlistArray{"/Applications/Zorvane.app", "/Applications/Chat.app"}}});
    EXPECT_EQ(provider.handleNewFlow(outbound(app, app)), FilterVerdict::allow);
    // Own code acting for a blocked application is still own code, wherever it lives and
    // whichever of the two identities it is.
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, helper)), FilterVerdict::allow);
    const AuditToken outside = inspector->add(
        402, {"dev.quillmoor.Zorvane.FilterExtension", {}, "/usr/libexec/zorvane-filter"});
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, outside)), FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(app, chat)), FilterVerdict::allow);
    EXPECT_TRUE(sink->observations().empty());
    // Without it the same blocked application is dropped.
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::drop);
}

TEST_F(FlowVerdictTest, LocalDestinationsAreAllowedButObserved) {
    blockChatByIdentity();
    for (const std::string host :
         {"localhost", "api.localhost", "LOCALHOST", "127.0.0.1", "127.200.3.4", "[::1]", "::1",
          "::ffff:127.0.0.1", "[::ffff:127.9.9.9]"}) {
        EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat, host)), FilterVerdict::allow) << host;
    }
    for (const std::string host : {"128.0.0.1", "::2", "::ffff:10.0.0.1", "localhost.example.com",
                                   "10.127.0.1", "[fe80::1]"}) {
        EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat, host)), FilterVerdict::drop) << host;
    }
    EXPECT_EQ(sink->observations().size(), 15u);
    EXPECT_EQ(sink->blocked().size(), 6u);

    // The remote host name counts as well as the endpoint.
    auto named = outbound(chat, chat, "203.0.113.9");
    named.socket->remoteHostname = "localhost";
    EXPECT_EQ(provider.handleNewFlow(named), FilterVerdict::allow);
    // A name that is not loopback does not hide a loopback endpoint: the endpoint decides.
    auto remoteName = outbound(chat, chat, "127.0.0.1");
    remoteName.socket->remoteHostname = "example.com";
    EXPECT_EQ(provider.handleNewFlow(remoteName), FilterVerdict::allow);
    remoteName.socket->remoteEndpoint->hostname = "203.0.113.9";
    EXPECT_EQ(provider.handleNewFlow(remoteName), FilterVerdict::drop);
    // Without an endpoint only the name is left.
    remoteName.socket->remoteEndpoint.reset();
    EXPECT_EQ(provider.handleNewFlow(remoteName), FilterVerdict::drop);
    remoteName.socket->remoteHostname = "127.0.0.1";
    EXPECT_EQ(provider.handleNewFlow(remoteName), FilterVerdict::allow);
}

TEST_F(FlowVerdictTest, OnlyUdpNameLookupsAreExempt) {
    blockChatByIdentity();
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat, "192.0.2.53", "53", 17)),
              FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat, "192.0.2.53", "53", 6)),
              FilterVerdict::drop);
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat, "192.0.2.53", "5353", 17)),
              FilterVerdict::drop);
    EXPECT_EQ(sink->observations().size(), 3u);
    EXPECT_EQ(sink->blocked().size(), 2u);
}

TEST_F(FlowVerdictTest, PathRuleCatchesUnlistedProcessesInsideABlockedBundle) {
    const AuditToken script = inspector->add(
        500, {"com.example.unrelated", {}, "/Applications/Chat.app/Contents/Resources/update"});
    const AuditToken sibling = inspector->add(
        501, {"com.example.sibling", {}, "/Applications/Chat.app2/Contents/MacOS/x"});
    const AuditToken longer =
        inspector->add(502, {"com.example.longer", {}, "/Applications/Chat.apps/Chat"});
    const AuditToken unstandardized =
        inspector->add(503, {"com.example.dotted", {}, "/Applications/./Chat.app/x"});
    configure({{"blockedApplicationPaths", PlistArray{"/Applications/Chat.app/"}}});

    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, script)), FilterVerdict::drop);
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, sibling)), FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, longer)), FilterVerdict::allow);
    // Executable paths are compared as the system reports them.
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, unstandardized)), FilterVerdict::allow);

    const auto blocked = sink->blocked();
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_EQ(blocked[0].process.signingIdentifier, "com.example.unrelated");
    EXPECT_FALSE(blocked[0].sourceApplication);
}

TEST_F(FlowVerdictTest, BundleNamesThatAreNotUtf8StillMatch) {
    // Executable paths become text with U+FFFD for ill-formed bytes; configured paths likewise.
    const AuditToken latin1 =
        inspector->add(510, {"com.example.cafe", {}, "/Applications/Caf\xe9.app/Contents/MacOS/x"});
    configure({{"blockedApplicationPaths", PlistArray{"/Applications/Caf\xe9.app"}}});
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, latin1)), FilterVerdict::drop);
}

TEST_F(FlowVerdictTest, IsUnderBundlePathIsPlainPrefixMatching) {
    EXPECT_TRUE(FilterDataProvider::isUnderBundlePath("/A.app", "/A.app"));
    EXPECT_TRUE(FilterDataProvider::isUnderBundlePath("/A.app/B.app/C", "/A.app"));
    EXPECT_FALSE(FilterDataProvider::isUnderBundlePath("/A.apps/C", "/A.app"));
    EXPECT_FALSE(FilterDataProvider::isUnderBundlePath("/a.app/C", "/A.app"));
    EXPECT_FALSE(FilterDataProvider::isUnderBundlePath("/A", "/A.app"));
}

TEST_F(FlowVerdictTest, HelperMatchesThroughItsSourceApplication) {
    blockChatByIdentity();
    const AuditToken daemon =
        inspector->add(600, {"com.example.networkd", withTeam("SYSTEM"), "/usr/libexec/networkd"});
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, daemon)), FilterVerdict::drop);

    const auto blocked = sink->blocked();
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_EQ(blocked[0].process.signingIdentifier, "com.example.networkd");
    ASSERT_TRUE(blocked[0].sourceApplication);
    EXPECT_EQ(blocked[0].sourceApplication->signingIdentifier, "com.example.chat");
    ASSERT_EQ(sink->observations().size(), 1u);
    EXPECT_EQ(sink->observations()[0].process.signingIdentifier, "com.example.networkd");

    // With only the application resolved, it is both the process and the source.
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, std::nullopt)), FilterVerdict::drop);
    EXPECT_EQ(sink->blocked()[1].process.signingIdentifier, "com.example.chat");
    EXPECT_EQ(sink->blocked()[1].sourceApplication->signingIdentifier, "com.example.chat");
}

// A flow carries two identities, the source application's and the source process's; each rule
// and each allowance is reached through either of them.
TEST_F(FlowVerdictTest, EveryRuleAndAllowanceIsReachedThroughEitherIdentity) {
    const AuditToken daemon =
        inspector->add(600, {"com.example.networkd", withTeam("SYSTEM"), "/usr/libexec/networkd"});
    const AuditToken netHelper =
        inspector->add(601, {"com.example.nethelper", withTeam("NETTEAM"),
                             "/Library/Helpers/Net.app/Contents/MacOS/nethelper"});
    const PlistArray chatBundle{"/Applications/Chat.app"};

    // The path rule through the source application alone: its helper lives outside the bundle
    // and is listed nowhere.
    configure({{"blockedApplicationPaths", chatBundle}});
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, daemon)), FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, daemon)), FilterVerdict::drop);
    ASSERT_EQ(sink->blocked().size(), 1u);
    EXPECT_EQ(sink->blocked()[0].process.signingIdentifier, "com.example.networkd");
    EXPECT_EQ(sink->blocked()[0].sourceApplication->signingIdentifier, "com.example.chat");

    // Temporary allowances by identity, through the application or through the process.
    const PlistArray chatKey{keyOf("com.example.chat", "CHATTEAM")};
    const double later = startUnixSeconds + 60;
    for (const auto& allowed :
         {keyOf("com.example.chat", "CHATTEAM"), keyOf("com.example.networkd", "SYSTEM")}) {
        configure({{"blockedCodeIdentities", chatKey},
                   {"temporaryAllowedCodeIdentities", PlistDictionary{{allowed, later}}}});
        EXPECT_EQ(provider.handleNewFlow(outbound(chat, daemon)), FilterVerdict::allow) << allowed;
    }
    // By bundle path, through the application's executable or through the process's.
    for (const auto& [process, bundle] : {std::pair{daemon, "/Applications/Chat.app"},
                                          std::pair{netHelper, "/Library/Helpers/Net.app"}}) {
        configure({{"blockedCodeIdentities", chatKey},
                   {"temporaryAllowedApplicationPaths", PlistDictionary{{bundle, later}}}});
        EXPECT_EQ(provider.handleNewFlow(outbound(chat, process)), FilterVerdict::allow) << bundle;
    }
    // An allowance of a third party's identity or bundle lets nothing through.
    configure({{"blockedCodeIdentities", chatKey},
               {"temporaryAllowedCodeIdentities",
                PlistDictionary{{keyOf("com.example.browser", "WEBTEAM"), later}}},
               {"temporaryAllowedApplicationPaths",
                PlistDictionary{{"/Applications/Browser.app", later}}}});
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, daemon)), FilterVerdict::drop);
    EXPECT_EQ(sink->blocked().size(), 2u);
}

TEST_F(FlowVerdictTest, TemporaryAllowancesEndStrictly) {
    const double end = startUnixSeconds + 60;
    configure({{"blockedCodeIdentities", PlistArray{keyOf("com.example.chat", "CHATTEAM")}},
               {"blockedApplicationPaths", PlistArray{"/Applications/Chat.app"}},
               {"temporaryAllowedCodeIdentities",
                PlistDictionary{{keyOf("com.example.chat", "CHATTEAM"), end}}},
               {"temporaryAllowedApplicationPaths",
                PlistDictionary{{"/Applications/Chat.app", end + 60}}}});

    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::allow);
    clock->set(Date::fromUnixSeconds(end));
    // The identity allowance is over; the bundle's still holds.
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::allow);
    clock->set(Date::fromUnixSeconds(end + 60));
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::drop);
    EXPECT_EQ(sink->observations().size(), 3u);
    EXPECT_EQ(sink->blocked().size(), 1u);

    clock->set(Date::fromUnixSeconds(end - 1));
    EXPECT_TRUE(provider.isTemporarilyAllowed(
        {ProcessIdentity{"com.example.chat", std::string(" CHATTEAM\n"), std::nullopt}}));
    EXPECT_FALSE(provider.isTemporarilyAllowed(
        {ProcessIdentity{"com.example.chat", std::nullopt, std::nullopt}}));
}

TEST_F(FlowVerdictTest, TemporaryPathAllowanceCoversHelpersInTheBundle) {
    configure({{"blockedApplicationPaths", PlistArray{"/Applications/Chat.app"}},
               {"temporaryAllowedApplicationPaths",
                PlistDictionary{{"/Applications/Chat.app/Contents/Frameworks/Helper.app",
                                 startUnixSeconds + 5}}}});
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, chatHelper)), FilterVerdict::allow);
    EXPECT_EQ(provider.handleNewFlow(outbound(std::nullopt, chat)), FilterVerdict::drop);
}

TEST_F(FlowVerdictTest, BothRulesMatchingGiveOneObservationAndOneRecord) {
    configure({{"blockedCodeIdentities", PlistArray{keyOf("com.example.chat", "CHATTEAM")}},
               {"blockedApplicationPaths", PlistArray{"/Applications/Chat.app"}}});
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chatHelper)), FilterVerdict::drop);
    EXPECT_EQ(sink->observations().size(), 1u);
    EXPECT_EQ(sink->blocked().size(), 1u);
}

TEST_F(FlowVerdictTest, NonSocketFlowsGetNoExemptionAndNoDestination) {
    blockChatByIdentity();
    auto flow = outbound(chat, chat);
    flow.socket.reset();
    EXPECT_EQ(provider.handleNewFlow(flow), FilterVerdict::drop);
    const auto destination = FilterDataProvider::flowDestination(flow);
    EXPECT_EQ(destination.host, "Unknown destination");
    EXPECT_FALSE(destination.port);
}

TEST_F(FlowVerdictTest, DestinationPrefersTheRemoteHostName) {
    auto flow = outbound(chat, chat, "93.184.216.34", "443");
    flow.socket->remoteHostname = "example.com";
    EXPECT_EQ(FilterDataProvider::flowDestination(flow), (FlowDestination{"example.com", "443"}));
    flow.socket->remoteHostname = "";
    flow.socket->remoteEndpoint->port = "";
    EXPECT_EQ(FilterDataProvider::flowDestination(flow),
              (FlowDestination{"93.184.216.34", std::nullopt}));
    flow.socket->remoteEndpoint.reset();
    EXPECT_EQ(FilterDataProvider::flowDestination(flow).host, "Unknown destination");
    flow.socket->remoteHostname = "example.org";
    EXPECT_EQ(FilterDataProvider::flowDestination(flow),
              (FlowDestination{"example.org", std::nullopt}));
}

TEST_F(FlowVerdictTest, LoopbackTestNeverTrustsTextAfterANul) {
    EXPECT_FALSE(FilterDataProvider::isLoopbackHost(std::string_view("127.0.0.1\0.evil", 15)));
    EXPECT_FALSE(FilterDataProvider::isLoopbackHost(""));
    EXPECT_FALSE(FilterDataProvider::isLoopbackHost("[]"));
    EXPECT_TRUE(FilterDataProvider::isLoopbackHost("[[::1]]"));
    EXPECT_FALSE(FilterDataProvider::isLoopbackHost("::1%lo"));
}

TEST_F(FlowVerdictTest, NewConfigurationAppliesToTheNextFlow) {
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::allow);
    blockChatByIdentity();
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::drop);
    configure({});
    EXPECT_EQ(provider.handleNewFlow(outbound(chat, chat)), FilterVerdict::allow);
}

TEST_F(FlowVerdictTest, StartAppliesSettingsAndPassesTheirError) {
    std::optional<std::string> hostError = "settings rejected";
    int applied = 0;
    FilterDataProvider started({.applySettings = [&](auto done) {
        ++applied;
        done(hostError);
    }});
    std::optional<std::optional<std::string>> result;
    started.startFilter([&](std::optional<std::string> error) { result = error; });
    EXPECT_EQ(applied, 1);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, hostError);

    hostError.reset();
    started.startFilter([&](std::optional<std::string> error) { result = error; });
    EXPECT_EQ(*result, std::nullopt);
}

} // namespace
} // namespace zorvane
