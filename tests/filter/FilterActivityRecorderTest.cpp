#include "filter/FilterActivityRecorder.h"

#include "ActivityFixtures.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackFrameListener.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackFrameListener;
using Received = LoopbackFrameListener::Received;

using fixtures::chat;
using fixtures::flowTo;
using testing::eventually;

const std::string token(72, 'k');
const ProcessIdentity& helper = fixtures::chatHelper;

std::vector<NetworkActivityEvent> activityIn(const std::vector<Received>& received) {
    std::vector<NetworkActivityEvent> events;
    for (const auto& entry : received) {
        if (entry.envelope) {
            events.insert(events.end(), entry.envelope->activityEvents.begin(),
                          entry.envelope->activityEvents.end());
        }
    }
    return events;
}

std::vector<DiscoveredNetworkProcess> observationsIn(const std::vector<Received>& received) {
    std::vector<DiscoveredNetworkProcess> observations;
    for (const auto& entry : received) {
        if (entry.envelope) {
            observations.insert(observations.end(), entry.envelope->observations.begin(),
                                entry.envelope->observations.end());
        }
    }
    return observations;
}

std::int64_t totalCount(const std::vector<NetworkActivityEvent>& events) {
    std::int64_t total = 0;
    for (const auto& event : events) {
        total += event.blockedConnectionCount;
    }
    return total;
}

class FilterActivityRecorderTest : public ::testing::Test {
protected:
    static constexpr FilterActivityRecorder::Timing shortTiming{
        .observationPersistenceInterval = std::chrono::duration<double>(10.0),
        .activityFlushInterval = 150ms,
        .retryDelay = 100ms,
        .sendTimeout = 3s};

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::atomic<int> port{0};

    std::unique_ptr<FilterActivityRecorder>
    makeRecorder(FilterActivityRecorder::Timing timing = shortTiming) {
        return std::make_unique<FilterActivityRecorder>(
            FilterActivityRecorder::Dependencies{
                .eventChannelPort = [this]() -> std::optional<std::uint16_t> {
                    const int value = port.load();
                    return value > 0 ? std::optional<std::uint16_t>(value) : std::nullopt;
                },
                .eventChannelToken = [] { return std::optional(token); },
                .clock = clock,
                .monotonicClock = clock},
            timing);
    }
};

TEST_F(FilterActivityRecorderTest, DropsWithinTheFlushIntervalArriveAsOneAggregatedEvent) {
    LoopbackFrameListener listener;
    port = listener.port();
    auto recorder = makeRecorder();
    const Date first = clock->now();
    Date last;
    for (int i = 0; i < 5; ++i) {
        last = clock->now();
        recorder->recordBlockedActivity(flowTo("203.0.113.7", "443"), helper, &chat);
        clock->advance(0.2);
    }
    // The same host on another port is another aggregate, in the same envelope.
    recorder->recordBlockedActivity(flowTo("203.0.113.7", "80"), helper, &chat);
    EXPECT_TRUE(recorder->isActivityFlushScheduled());

    ASSERT_TRUE(listener.waitForCount(1));
    const auto received = listener.received();
    ASSERT_TRUE(received.front().envelope);
    auto events = received.front().envelope->activityEvents;
    ASSERT_EQ(events.size(), 2u);
    std::sort(events.begin(), events.end(),
              [](const auto& a, const auto& b) { return a.destinationPort < b.destinationPort; });
    const NetworkActivityEvent& https = events[0];
    EXPECT_EQ(https.destinationPort, "443");
    EXPECT_EQ(https.blockedConnectionCount, 5);
    EXPECT_EQ(https.firstSeenAt, first);
    EXPECT_EQ(https.lastSeenAt, last);
    EXPECT_NEAR(last.secondsSince(first), 0.8, 1e-6);
    EXPECT_EQ(https.sourceApplicationIdentifier, "com.example.chat");
    EXPECT_EQ(https.sourceApplicationTeamIdentifier, "CHATTEAM");
    EXPECT_EQ(https.processSigningIdentifier, "com.example.chat.helper");
    EXPECT_EQ(https.processTeamIdentifier, std::nullopt);
    EXPECT_EQ(https.processExecutablePath, helper.executablePath);
    EXPECT_EQ(https.destinationHost, "203.0.113.7");
    EXPECT_EQ(events[1].destinationPort, "80");
    EXPECT_EQ(events[1].blockedConnectionCount, 1);
    EXPECT_TRUE(received.front().envelope->observations.empty());

    // Delivered: nothing is pending and the next drop starts a new cycle.
    EXPECT_TRUE(eventually([&] { return !recorder->isActivityFlushScheduled(); }));
    EXPECT_TRUE(recorder->pendingActivity().empty());
    recorder->recordBlockedActivity(flowTo("203.0.113.7", "443"), helper, &chat);
    ASSERT_TRUE(listener.waitForCount(2));
    EXPECT_EQ(activityIn({listener.received()[1]}).at(0).blockedConnectionCount, 1);
}

TEST_F(FilterActivityRecorderTest, ActivityIdMatchesTheRecordsOwnId) {
    // Processes with and without team, path and source application; flows with and without a
    // host endpoint and port: the pending key always equals the event's id, so that a returned
    // event merges with new attempts of the same aggregate.
    auto recorder = makeRecorder({.activityFlushInterval = 3600s});
    const ProcessIdentity bare{"com.example.bare", std::nullopt, std::nullopt};
    FilterFlow noSocket;
    FilterFlow noPort = flowTo("example.com", "");
    const FilterFlow flows[] = {flowTo("198.51.100.1", "8080"), noSocket, noPort};
    for (const auto& flow : flows) {
        for (const ProcessIdentity* process : {&chat, &helper, &bare}) {
            for (const ProcessIdentity* application :
                 {&chat, static_cast<const ProcessIdentity*>(nullptr)}) {
                recorder->recordBlockedActivity(flow, *process, application);
                const NetworkActivityEvent built = FilterActivityRecorder::makeActivityEvent(
                    flow, *process, application, clock->now());
                recorder->requeueActivity({built});
            }
        }
    }
    const auto pending = recorder->pendingActivity();
    EXPECT_EQ(pending.size(), 18u);
    for (const auto& event : pending) {
        EXPECT_EQ(event.blockedConnectionCount, 2) << event.id();
    }
    const auto unknown = std::count_if(pending.begin(), pending.end(), [](const auto& event) {
        return event.destinationHost == "Unknown destination" && !event.destinationPort;
    });
    EXPECT_EQ(unknown, 6);
}

TEST_F(FilterActivityRecorderTest, ObservationsAreThrottledPerProcessByElapsedTime) {
    LoopbackFrameListener listener;
    port = listener.port();
    auto recorder = makeRecorder();
    const Date start = clock->now();
    recorder->recordObservation(helper, &chat); // handed on
    clock->advance(3);
    recorder->recordObservation(helper, &chat); // 3 s later: dropped
    // The wall clock set forward by an hour ends no quiet time...
    clock->set(start.addingSeconds(3600));
    recorder->recordObservation(helper, &chat); // dropped
    // ...and one set back by hours prolongs none: 11 s after the first it is handed on.
    const Date setBack = start.addingSeconds(-4 * 3600);
    clock->set(setBack);
    clock->advance(8);
    recorder->recordObservation(helper, &chat); // handed on
    clock->advance(9.5);
    recorder->recordObservation(helper, &chat); // 9.5 s after the second: dropped
    // A different source application is another observation.
    recorder->recordObservation(helper, nullptr);

    ASSERT_TRUE(listener.waitForCount(3));
    // Connections are accepted in the order the queue opened them; every send above was started
    // before the last one, so a fourth would have been accepted by now.
    EXPECT_EQ(listener.connectionsAccepted(), 3u);
    auto observations = observationsIn(listener.received());
    ASSERT_EQ(observations.size(), 3u);
    EXPECT_TRUE(activityIn(listener.received()).empty());
    std::sort(observations.begin(), observations.end(),
              [](const auto& a, const auto& b) { return a.firstSeenAt < b.firstSeenAt; });
    // The records keep wall times: those made after the clock was set back come first.
    EXPECT_EQ(observations[0].firstSeenAt, setBack.addingSeconds(8));
    EXPECT_EQ(observations[0].lastSeenAt, setBack.addingSeconds(8));
    EXPECT_EQ(observations[0].sourceApplicationIdentifier, "com.example.chat");
    EXPECT_EQ(observations[1].sourceApplicationIdentifier, std::nullopt);
    EXPECT_EQ(observations[2].firstSeenAt, start);
    EXPECT_EQ(observations[2].sourceApplicationIdentifier, "com.example.chat");
    EXPECT_EQ(observations[2].sourceApplicationTeamIdentifier, "CHATTEAM");
    EXPECT_EQ(observations[2].signingIdentifier, "com.example.chat.helper");
    EXPECT_EQ(observations[2].executablePath, helper.executablePath);
    EXPECT_EQ(observations[2].connectionCount, 1);
}

TEST_F(FilterActivityRecorderTest, UndeliveredActivityIsRetriedUntilTheApplicationListens) {
    const std::uint16_t later = LoopbackFrameListener::unusedPort();
    port = later;
    auto recorder = makeRecorder();
    const Date first = clock->now();
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        recorder->recordBlockedActivity(flowTo("example.com", "443"), chat, nullptr);
        clock->advance(1);
    }
    ASSERT_TRUE(eventually([&] { return recorder->failedActivitySendCount() >= 2; }));
    for (int i = 0; i < 4; ++i) {
        recorder->recordBlockedActivity(flowTo("example.com", "443"), chat, nullptr);
        clock->advance(1);
    }
    recorder->recordBlockedActivity(flowTo("example.org", "443"), chat, nullptr);
    ASSERT_TRUE(eventually([&] { return recorder->failedActivitySendCount() >= 4; }));
    // Retries wait retryDelay after each failure (or the first flush interval after a new
    // drop); they never spin.
    const auto waited = std::chrono::steady_clock::now() - started;
    const auto fastestCycle = shortTiming.retryDelay;
    EXPECT_LE(static_cast<double>(recorder->activitySendCount()), waited / fastestCycle + 3.0);
    // Nothing is lost while it waits.
    const auto pending = recorder->pendingActivity();
    EXPECT_TRUE(pending.empty() || totalCount(pending) == 8);

    LoopbackFrameListener listener(later);
    ASSERT_TRUE(listener.waitFor(
        [](const auto& received) { return totalCount(activityIn(received)) >= 8; }));
    const auto events = activityIn(listener.received());
    EXPECT_EQ(totalCount(events), 8);
    ASSERT_EQ(events.size(), 2u);
    const auto com = std::find_if(events.begin(), events.end(), [](const auto& event) {
        return event.destinationHost == "example.com";
    });
    ASSERT_NE(com, events.end());
    EXPECT_EQ(com->blockedConnectionCount, 7);
    EXPECT_EQ(com->firstSeenAt, first);
    EXPECT_EQ(com->lastSeenAt, first.addingSeconds(6));
    EXPECT_TRUE(eventually([&] { return !recorder->isActivityFlushScheduled(); }));
}

TEST_F(FilterActivityRecorderTest, RequeuedEventsKeepTheirValuesAndMergeWithNewAttempts) {
    auto recorder = makeRecorder({.activityFlushInterval = 3600s, .retryDelay = 3600s});
    recorder->recordBlockedActivity(flowTo("example.com", "443"), chat, nullptr);
    NetworkActivityEvent returned = FilterActivityRecorder::makeActivityEvent(
        flowTo("example.com", "443"), chat, nullptr, clock->now().addingSeconds(-30));
    returned.blockedConnectionCount = 4;
    recorder->requeueActivity({returned});
    const auto pending = recorder->pendingActivity();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].blockedConnectionCount, 5);
    EXPECT_EQ(pending[0].firstSeenAt, clock->now().addingSeconds(-30));
    EXPECT_EQ(pending[0].lastSeenAt, clock->now());
    EXPECT_TRUE(recorder->isActivityFlushScheduled());
}

TEST_F(FilterActivityRecorderTest, FlushWithoutAChannelKeepsTheEvents) {
    auto recorder = makeRecorder({.activityFlushInterval = 3600s, .retryDelay = 3600s});
    port = 0;
    recorder->recordBlockedActivity(flowTo("example.com", "443"), chat, nullptr);
    recorder->flushPendingActivity(); // fails at once: no port
    EXPECT_EQ(recorder->failedActivitySendCount(), 1u);
    const auto pending = recorder->pendingActivity();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].blockedConnectionCount, 1);
    EXPECT_TRUE(recorder->isActivityFlushScheduled());
    // An empty flush sends nothing.
    auto idle = makeRecorder();
    idle->flushPendingActivity();
    EXPECT_EQ(idle->activitySendCount(), 0u);
}

TEST_F(FilterActivityRecorderTest, ABacklogOverTheSizeLimitGoesOutInSeveralEnvelopes) {
    LoopbackFrameListener listener;
    port = listener.port();
    auto recorder = makeRecorder({.activityFlushInterval = 3600s});
    // Three processes with long paths: about 2.7 MB of JSON together, 0.9 MB each.
    for (int i = 0; i < 3; ++i) {
        const ProcessIdentity process{"com.example.long" + std::to_string(i), std::nullopt,
                                      "/" + std::string(900'000, static_cast<char>('a' + i))};
        recorder->recordBlockedActivity(flowTo("example.com", "443"), process, nullptr);
        recorder->recordBlockedActivity(flowTo("example.com", "443"), process, nullptr);
    }
    recorder->flushPendingActivity();
    ASSERT_TRUE(
        listener.waitFor([](const auto& received) { return activityIn(received).size() == 3; }));
    const auto received = listener.received();
    EXPECT_GE(received.size(), 2u);
    for (const auto& entry : received) {
        EXPECT_LE(entry.envelopeSize, FrameCodec::maximumEnvelopeSize);
    }
    EXPECT_EQ(totalCount(activityIn(received)), 6);
    EXPECT_EQ(recorder->failedActivitySendCount(), 0u);
}

TEST(ActivityBatchesTest, EventsAreSplitInOrderByTheirJsonSize) {
    std::vector<NetworkActivityEvent> events;
    for (int i = 0; i < 5; ++i) {
        events.push_back(FilterActivityRecorder::makeActivityEvent(
            flowTo("example.com", std::to_string(1000 + i)), chat, nullptr, Date{}));
    }
    const std::size_t one = RecordJson::encodeActivityEvents({events[0]})->size() - 1;
    const auto batches = FilterActivityRecorder::batchesForSending(events, 2 * one);
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0], (std::vector<NetworkActivityEvent>{events[0], events[1]}));
    EXPECT_EQ(batches[1], (std::vector<NetworkActivityEvent>{events[2], events[3]}));
    EXPECT_EQ(batches[2], (std::vector<NetworkActivityEvent>{events[4]}));
    // Within the limit it stays one envelope; an oversized event goes alone.
    EXPECT_EQ(FilterActivityRecorder::batchesForSending(events, 5 * one).size(), 1u);
    EXPECT_EQ(FilterActivityRecorder::batchesForSending(events, one / 2).size(), 5u);
    EXPECT_TRUE(FilterActivityRecorder::batchesForSending({}, one).empty());
}

TEST_F(FilterActivityRecorderTest, DestroyedWithAFlushPendingDoesNothing) {
    LoopbackFrameListener listener;
    port = listener.port();
    const auto timing = FilterActivityRecorder::Timing{.activityFlushInterval = 50ms};
    {
        auto recorder = makeRecorder(timing);
        recorder->recordBlockedActivity(flowTo("example.com", "443"), chat, nullptr);
        ASSERT_TRUE(recorder->isActivityFlushScheduled());
        const auto started = std::chrono::steady_clock::now();
        recorder.reset();
        // Gone at once, without waiting for the flush.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    }
    std::this_thread::sleep_for(timing.activityFlushInterval * 4);
    EXPECT_EQ(listener.connectionsAccepted(), 0u);
}

} // namespace
} // namespace zorvane
