// The filter's recorder and client against the application's receiver, over real loopback TCP.
#include "EventChannelTestSupport.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "filter/FilterActivityRecorder.h"
#include "tests/filter/ActivityFixtures.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/Eventually.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::eventually;
using testing::MemoryPreferences;
using testing::MemorySecretStore;

using fixtures::chat;
using fixtures::flowTo;

const ProcessIdentity& helper = fixtures::chatHelper;

std::int64_t totalCount(const std::vector<FilterEventEnvelope>& envelopes) {
    std::int64_t total = 0;
    for (const auto& envelope : envelopes) {
        for (const auto& event : envelope.activityEvents) {
            total += event.blockedConnectionCount;
        }
    }
    return total;
}

class EventChannelEndToEndTest : public ::testing::Test {
protected:
    // The application side as the store runs it: the stored port, retry when there is one.
    void startApplication() {
        receiver.reset();
        receiver = std::make_unique<LocalFilterEventReceiver>(preferences, secrets);
        const auto preferred = receiver->preferredPort();
        const std::size_t readyBefore = readyCount.items().size();
        receiver->start(
            preferred, preferred.has_value(), [this] { readyCount.add(1); },
            [this](FilterEventEnvelope envelope) { envelopes.add(std::move(envelope)); });
        ASSERT_TRUE(readyCount.waitFor(readyBefore + 1));
        // What the filter configuration would carry from now on.
        const auto channel = receiver->channel();
        ASSERT_TRUE(channel);
        std::lock_guard lock(configurationMutex);
        configuredChannel = *channel;
    }

    // The filter side: the recorder reads port and token from the "configuration" per send.
    std::unique_ptr<FilterActivityRecorder> makeRecorder() {
        FilterActivityRecorder::Timing timing;
        timing.activityFlushInterval = 200ms;
        timing.retryDelay = 100ms;
        return std::make_unique<FilterActivityRecorder>(
            FilterActivityRecorder::Dependencies{
                .eventChannelPort = [this]() -> std::optional<std::uint16_t> {
                    std::lock_guard lock(configurationMutex);
                    return configuredChannel.port;
                },
                .eventChannelToken = [this]() -> std::optional<std::string> {
                    std::lock_guard lock(configurationMutex);
                    return configuredChannel.token;
                },
                .clock = clock},
            timing);
    }

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    MemorySecretStore secrets;
    std::mutex configurationMutex;
    EventChannel configuredChannel;
    Collector<int> readyCount;
    Collector<FilterEventEnvelope> envelopes;
    std::unique_ptr<LocalFilterEventReceiver> receiver; // goes before what its handlers use
};

TEST_F(EventChannelEndToEndTest, FiveDropsWithinASecondArriveAsOneEventCountingFive) {
    startApplication();
    auto recorder = makeRecorder();
    for (int i = 0; i < 5; ++i) {
        recorder->recordBlockedActivity(flowTo("198.51.100.4", "443"), helper, &chat);
        clock->advance(0.19);
    }
    ASSERT_TRUE(envelopes.waitFor(1));
    ASSERT_TRUE(eventually([&] { return !recorder->isActivityFlushScheduled(); }));
    EXPECT_EQ(recorder->activitySendCount(), 1u);
    const auto received = envelopes.items();
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(received[0].activityEvents.size(), 1u);
    const auto& event = received[0].activityEvents[0];
    EXPECT_EQ(event.blockedConnectionCount, 5);
    EXPECT_EQ(event.destinationHost, "198.51.100.4");
    EXPECT_EQ(event.destinationPort, "443");
    EXPECT_EQ(event.processSigningIdentifier, "com.example.chat.helper");
    EXPECT_EQ(event.sourceApplicationIdentifier, "com.example.chat");
    EXPECT_NEAR(event.lastSeenAt.secondsSince(event.firstSeenAt), 0.76, 1e-6);
    EXPECT_EQ(received[0].authenticationToken, receiver->authenticationToken());
}

TEST_F(EventChannelEndToEndTest, TwoPortsGiveTwoEventsInOneEnvelope) {
    startApplication();
    auto recorder = makeRecorder();
    recorder->recordBlockedActivity(flowTo("198.51.100.4", "443"), helper, &chat);
    recorder->recordBlockedActivity(flowTo("198.51.100.4", "80"), helper, &chat);
    recorder->recordBlockedActivity(flowTo("198.51.100.4", "443"), helper, &chat);
    ASSERT_TRUE(envelopes.waitFor(1));
    ASSERT_TRUE(eventually([&] { return !recorder->isActivityFlushScheduled(); }));
    const auto received = envelopes.items();
    ASSERT_EQ(received.size(), 1u);
    auto events = received[0].activityEvents;
    ASSERT_EQ(events.size(), 2u);
    std::sort(events.begin(), events.end(),
              [](const auto& a, const auto& b) { return a.destinationPort < b.destinationPort; });
    EXPECT_EQ(events[0].destinationPort, "443");
    EXPECT_EQ(events[0].blockedConnectionCount, 2);
    EXPECT_EQ(events[1].destinationPort, "80");
    EXPECT_EQ(events[1].blockedConnectionCount, 1);
}

TEST_F(EventChannelEndToEndTest, DropsWhileTheReceiverIsDownAreRetriedAndAllCounted) {
    // A first run leaves its port and token behind; then the application is gone.
    startApplication();
    const EventChannel firstChannel = *receiver->channel();
    receiver.reset();

    auto recorder = makeRecorder();
    std::int64_t attempts = 0;
    const std::vector<std::string> ports = {"443", "80", "8443"};
    for (int round = 0; round < 3; ++round) {
        const auto failedBefore = recorder->failedActivitySendCount();
        for (int i = 0; i <= round; ++i) {
            recorder->recordBlockedActivity(flowTo("198.51.100.4", ports[i]), helper, &chat);
            ++attempts;
        }
        // Each round's send fails (nobody listens) and its events go back to be retried.
        ASSERT_TRUE(eventually([&] { return recorder->failedActivitySendCount() > failedBefore; }));
    }
    EXPECT_TRUE(envelopes.items().empty());
    EXPECT_FALSE(recorder->pendingActivity().empty());

    // The next run listens on the stored port with the stored token: the configuration the
    // filter holds is right again, and the retries get through.
    startApplication();
    EXPECT_EQ(*receiver->channel(), firstChannel);
    ASSERT_TRUE(eventually([&] { return totalCount(envelopes.items()) >= attempts; }));
    ASSERT_TRUE(eventually([&] {
        return recorder->pendingActivity().empty() && !recorder->isActivityFlushScheduled();
    }));
    EXPECT_EQ(totalCount(envelopes.items()), attempts);
    for (const auto& envelope : envelopes.items()) {
        for (const auto& event : envelope.activityEvents) {
            const std::int64_t expected = event.destinationPort == "443"  ? 3
                                          : event.destinationPort == "80" ? 2
                                                                          : 1;
            EXPECT_EQ(event.blockedConnectionCount, expected) << *event.destinationPort;
        }
    }
}

} // namespace
} // namespace zorvane
