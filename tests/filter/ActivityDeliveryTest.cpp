// The provider with its own activity recorder, delivering to a listener on the loopback
// address as the application's receiver would.
#include "FakeTaskInspector.h"
#include "filter/FilterDataProvider.h"
#include "shared/CodeIdentity.h"
#include "tests/support/LoopbackFrameListener.h"

#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeTaskInspector;
using testing::LoopbackFrameListener;

constexpr double startUnixSeconds = 1'800'000'000.0;
const std::string token(80, 'z');

PlistDictionary withTeam(const std::string& team) {
    return {{"com.apple.developer.team-identifier", team}};
}

FilterFlow outbound(const AuditToken& process, std::string host, std::string port,
                    int protocol = 6) {
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.sourceProcessAuditToken = testing::bytesOf(process);
    flow.socket = SocketFlowInfo{protocol, std::nullopt, HostEndpoint{host, port}};
    return flow;
}

class ActivityDeliveryTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTaskInspector> inspector = std::make_shared<FakeTaskInspector>();
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(Date::fromUnixSeconds(startUnixSeconds));
    LoopbackFrameListener listener;

    // Four processes of one blocked bundle.
    AuditToken browser = process(100, "com.example.chat");
    AuditToken resolver = process(101, "com.example.chat.resolver");
    AuditToken updater = process(102, "com.example.chat.updater");
    AuditToken renderer = process(103, "com.example.chat.renderer");

    AuditToken process(std::int32_t pid, const std::string& identifier) {
        return inspector->add(pid, {identifier, withTeam("CHATTEAM"),
                                    "/Applications/Chat.app/Contents/MacOS/" + identifier});
    }

    std::unique_ptr<FilterDataProvider> makeProvider(FilterActivityRecorder::Timing timing) {
        auto provider = std::make_unique<FilterDataProvider>(FilterDataProvider::Dependencies{
            .taskInspector = inspector,
            .clock = clock,
            .mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension"),
            .activityTiming = timing});
        provider->setVendorConfiguration(std::make_shared<const PlistDictionary>(PlistDictionary{
            {"blockedApplicationPaths", PlistArray{"/Applications/Chat.app"}},
            {"temporaryAllowedCodeIdentities",
             PlistDictionary{{CodeIdentity::make("com.example.chat.updater", "CHATTEAM").key(),
                              startUnixSeconds + 3600}}},
            {"eventChannelPort", static_cast<std::int64_t>(listener.port())},
            {"eventChannelToken", token},
        }));
        return provider;
    }
};

TEST_F(ActivityDeliveryTest, ExemptFlowsAreObservedButNotCountedAsBlocked) {
    auto provider = makeProvider({.activityFlushInterval = 100ms});
    EXPECT_EQ(provider->handleNewFlow(outbound(browser, "127.0.0.1", "8080")),
              FilterVerdict::allow);
    EXPECT_EQ(provider->handleNewFlow(outbound(resolver, "192.0.2.53", "53", 17)),
              FilterVerdict::allow);
    EXPECT_EQ(provider->handleNewFlow(outbound(updater, "updates.example.com", "443")),
              FilterVerdict::allow);
    EXPECT_EQ(provider->handleNewFlow(outbound(renderer, "cdn.example.com", "443")),
              FilterVerdict::drop);

    // Four observations, each in its own envelope, and one activity envelope.
    ASSERT_TRUE(listener.waitForCount(5));
    std::vector<std::string> observed;
    std::vector<NetworkActivityEvent> blocked;
    for (const auto& received : listener.received()) {
        ASSERT_TRUE(received.envelope);
        EXPECT_EQ(received.envelope->authenticationToken, token);
        // Never both lists in one envelope.
        EXPECT_NE(received.envelope->observations.empty(),
                  received.envelope->activityEvents.empty());
        for (const auto& observation : received.envelope->observations) {
            observed.push_back(observation.signingIdentifier);
        }
        blocked.insert(blocked.end(), received.envelope->activityEvents.begin(),
                       received.envelope->activityEvents.end());
    }
    std::sort(observed.begin(), observed.end());
    EXPECT_EQ(observed,
              (std::vector<std::string>{"com.example.chat", "com.example.chat.renderer",
                                        "com.example.chat.resolver", "com.example.chat.updater"}));
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_EQ(blocked[0].processSigningIdentifier, "com.example.chat.renderer");
    EXPECT_EQ(blocked[0].processTeamIdentifier, "CHATTEAM");
    EXPECT_EQ(blocked[0].destinationHost, "cdn.example.com");
    EXPECT_EQ(blocked[0].destinationPort, "443");
    EXPECT_EQ(blocked[0].firstSeenAt, Date::fromUnixSeconds(startUnixSeconds));
}

TEST_F(ActivityDeliveryTest, StopSendsWhatIsPendingAtOnce) {
    // A flush interval far beyond the test's time limit: only the stop can send.
    auto provider = makeProvider({.activityFlushInterval = 3600s});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(provider->handleNewFlow(outbound(renderer, "cdn.example.com", "443")),
                  FilterVerdict::drop);
    }
    ASSERT_TRUE(listener.waitForCount(1)); // the observation
    bool stopped = false;
    provider->stopFilter([&] { stopped = true; });
    EXPECT_TRUE(stopped); // without waiting for the send

    ASSERT_TRUE(listener.waitForCount(2));
    const auto activity = listener.received()[1].envelope;
    ASSERT_TRUE(activity);
    ASSERT_EQ(activity->activityEvents.size(), 1u);
    EXPECT_EQ(activity->activityEvents[0].blockedConnectionCount, 3);
    EXPECT_EQ(listener.connectionsAccepted(), 2u);
}

TEST_F(ActivityDeliveryTest, StopWithNothingPendingSendsNothing) {
    auto provider = makeProvider({});
    bool stopped = false;
    provider->stopFilter([&] { stopped = true; });
    EXPECT_TRUE(stopped);
    provider.reset();
    EXPECT_EQ(listener.connectionsAccepted(), 0u);
}

TEST_F(ActivityDeliveryTest, DestroyedProviderDoesNotRunItsPendingFlush) {
    const auto timing = FilterActivityRecorder::Timing{.activityFlushInterval = 50ms};
    auto provider = makeProvider(timing);
    EXPECT_EQ(provider->handleNewFlow(outbound(renderer, "cdn.example.com", "443")),
              FilterVerdict::drop);
    ASSERT_TRUE(listener.waitForCount(1)); // the observation
    provider.reset();
    std::this_thread::sleep_for(timing.activityFlushInterval * 4);
    EXPECT_EQ(listener.connectionsAccepted(), 1u);
    for (const auto& received : listener.received()) {
        ASSERT_TRUE(received.envelope);
        EXPECT_TRUE(received.envelope->activityEvents.empty());
    }
}

} // namespace
} // namespace zorvane
