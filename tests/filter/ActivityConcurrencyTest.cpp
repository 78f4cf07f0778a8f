// Recording from several flow threads while flushes, retries and sends run on the observation
// queue and the event channel's configuration changes underneath. Meant for the tsan preset as
// much as for the counts it checks.
#include "filter/FilterActivityRecorder.h"
#include "tests/support/LoopbackFrameListener.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackFrameListener;

std::int64_t deliveredCount(const std::vector<LoopbackFrameListener::Received>& received) {
    std::int64_t total = 0;
    for (const auto& entry : received) {
        if (entry.envelope) {
            for (const auto& event : entry.envelope->activityEvents) {
                total += event.blockedConnectionCount;
            }
        }
    }
    return total;
}

TEST(ActivityConcurrencyTest, EveryAttemptIsDeliveredOnceWhateverTheInterleaving) {
    LoopbackFrameListener listener;
    auto clock = std::make_shared<ManualClock>();
    std::atomic<int> port{0};
    std::atomic<bool> hasToken{true};
    const std::string token(64, 'c');

    auto recorder = std::make_unique<FilterActivityRecorder>(
        FilterActivityRecorder::Dependencies{
            .eventChannelPort = [&]() -> std::optional<std::uint16_t> {
                const int value = port.load();
                return value > 0 ? std::optional<std::uint16_t>(value) : std::nullopt;
            },
            .eventChannelToken = [&]() -> std::optional<std::string> {
                return hasToken.load() ? std::optional(token) : std::nullopt;
            },
            .clock = clock,
            .monotonicClock = clock},
        FilterActivityRecorder::Timing{.observationPersistenceInterval =
                                           std::chrono::duration<double>(1.0),
                                       .activityFlushInterval = 2ms,
                                       .retryDelay = 5ms});

    constexpr int threads = 4;
    std::atomic<bool> recording{true};
    std::atomic<std::int64_t> attempts{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const ProcessIdentity application{"com.example.app" + std::to_string(t), "TEAM",
                                              std::nullopt};
            for (int i = 0; recording.load(); ++i) {
                const ProcessIdentity process{"com.example.helper" + std::to_string(i % 3),
                                              std::nullopt, "/Applications/App.app/Helper"};
                FilterFlow flow;
                flow.direction = FilterFlow::Direction::outbound;
                flow.socket = SocketFlowInfo{
                    6, std::nullopt, HostEndpoint{"198.51.100.1", std::to_string(440 + i % 7)}};
                recorder->recordObservation(process, &application);
                recorder->recordBlockedActivity(flow, process, &application);
                attempts.fetch_add(1);
                if (i % 50 == 0) {
                    clock->advance(0.5);
                }
                // Flow threads record at a realistic pace, not thousands of times a millisecond:
                // every send is one connection to the listener.
                std::this_thread::sleep_for(50us);
            }
        });
    }
    // The application comes and goes, and so does the token; a stop-like flush now and then.
    // Recording goes on for as long as this changes things.
    std::thread configuration([&] {
        for (int round = 0; round < 150; ++round) {
            port = round % 3 == 0 ? 0 : listener.port();
            hasToken = round % 4 != 1;
            if (round % 5 == 0) {
                recorder->flushPendingActivity();
            }
            std::this_thread::sleep_for(1ms);
        }
        recording = false;
    });
    configuration.join();
    for (auto& worker : workers) {
        worker.join();
    }

    port = listener.port();
    hasToken = true;
    const std::int64_t expected = attempts.load();
    EXPECT_GT(expected, 0);
    EXPECT_TRUE(listener.waitFor(
        [&](const auto& received) { return deliveredCount(received) >= expected; }, 30s))
        << deliveredCount(listener.received()) << " of " << expected;
    recorder.reset();
    EXPECT_EQ(deliveredCount(listener.received()), expected);
    for (const auto& received : listener.received()) {
        EXPECT_EQ(received.status, FrameAssembler::Status::complete);
    }
}

} // namespace
} // namespace zorvane
