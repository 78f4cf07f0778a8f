#include "filter/EventChannelClient.h"

#include "filter/EventSendCompletionGate.h"
#include "filter/ObservationQueue.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"
#include "tests/support/LoopbackFrameListener.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackFrameListener;

const std::string token(72, 't');

DiscoveredNetworkProcess observation(std::string path = "/Applications/Chat.app/Chat") {
    DiscoveredNetworkProcess process;
    process.signingIdentifier = "com.example.chat";
    process.executablePath = std::move(path);
    process.firstSeenAt = process.lastSeenAt = Date::fromReferenceSeconds(800'000'000.0);
    process.connectionCount = 1;
    return process;
}

NetworkActivityEvent event(std::string port) {
    NetworkActivityEvent activity;
    activity.processSigningIdentifier = "com.example.chat";
    activity.destinationHost = "203.0.113.7";
    activity.destinationPort = std::move(port);
    activity.firstSeenAt = activity.lastSeenAt = Date::fromReferenceSeconds(800'000'000.0);
    activity.blockedConnectionCount = 3;
    return activity;
}

// What a completion saw: how often it ran, with what, and whether on the queue.
struct Outcome {
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    bool success = false;
    bool onQueue = false;
    std::thread::id thread;

    EventChannelClient::Completion completion(const ObservationQueue& queue) {
        return [this, &queue](bool succeeded) {
            // Notified under the lock: the waiting test may end and destroy this right after.
            std::lock_guard guard(lock);
            ++calls;
            success = succeeded;
            onQueue = queue.isCurrentThread();
            thread = std::this_thread::get_id();
            done.notify_all();
        };
    }
    bool wait() {
        std::unique_lock guard(lock);
        return done.wait_for(guard, 10s, [this] { return calls > 0; });
    }
    int callCount() {
        std::lock_guard guard(lock);
        return calls;
    }
};

class EventChannelClientTest : public ::testing::Test {
protected:
    LoopbackFrameListener listener;
    std::atomic<int> port{listener.port()};
    std::string currentToken = token;
    std::mutex tokenLock;
    ObservationQueue queue;
    EventChannelClient client{
        queue,
        {.port = [this]() -> std::optional<std::uint16_t> {
             const int value = port.load();
             return value > 0 ? std::optional<std::uint16_t>(value) : std::nullopt;
         },
         .token = [this]() -> std::optional<std::string> {
             std::lock_guard guard(tokenLock);
             return currentToken.empty() ? std::nullopt : std::optional(currentToken);
         }}};

    void setToken(std::string text) {
        std::lock_guard guard(tokenLock);
        currentToken = std::move(text);
    }
};

TEST_F(EventChannelClientTest, OneFrameOnOneConnectionThenClosed) {
    Outcome outcome;
    client.sendEnvelope({event("443"), event("80")}, {}, outcome.completion(queue));
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.success);
    EXPECT_TRUE(outcome.onQueue);

    ASSERT_TRUE(listener.waitForCount(1));
    const auto received = listener.received().front();
    ASSERT_EQ(received.status, FrameAssembler::Status::complete);
    // Exactly the frame and nothing after it before the filter closed the connection.
    EXPECT_EQ(received.bytesReceived, FrameCodec::headerSize + received.envelopeSize);
    ASSERT_TRUE(received.envelope);
    EXPECT_EQ(received.envelope->authenticationToken, token);
    EXPECT_EQ(received.envelope->activityEvents,
              (std::vector<NetworkActivityEvent>{event("443"), event("80")}));
    EXPECT_TRUE(received.envelope->observations.empty());
    EXPECT_EQ(outcome.callCount(), 1);
    // The send leaves the in-flight count on the queue right after its completion returns, so
    // the test thread waits for that rather than racing it.
    client.waitForSendsInFlight();
    EXPECT_EQ(client.sendsInFlight(), 0u);
}

TEST_F(EventChannelClientTest, BackToBackSendsUseTwoConnectionsAndTheCurrentConfiguration) {
    LoopbackFrameListener second;
    Outcome first;
    Outcome later;
    client.sendEnvelope({}, {observation("/first")}, first.completion(queue));
    port = second.port();
    setToken(std::string(64, 'n'));
    client.sendEnvelope({}, {observation("/second")}, later.completion(queue));
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(later.wait());
    EXPECT_TRUE(first.success);
    EXPECT_TRUE(later.success);

    ASSERT_TRUE(listener.waitForCount(1));
    ASSERT_TRUE(second.waitForCount(1));
    EXPECT_EQ(listener.connectionsAccepted(), 1u);
    EXPECT_EQ(second.connectionsAccepted(), 1u);
    const auto a = listener.received().front().envelope;
    const auto b = second.received().front().envelope;
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->authenticationToken, token);
    EXPECT_EQ(a->observations.at(0).executablePath, "/first");
    EXPECT_EQ(b->authenticationToken, std::string(64, 'n'));
    EXPECT_EQ(b->observations.at(0).executablePath, "/second");
}

TEST_F(EventChannelClientTest, EnvelopeOfExactlyTheLimitIsSentAndOneByteMoreIsNot) {
    // Pad the executable path so that the JSON has exactly the size wanted.
    const auto sized = [](std::size_t size) {
        const auto base = RecordJson::encodeEnvelope({token, {}, {observation("")}});
        std::vector<DiscoveredNetworkProcess> observations{
            observation(std::string(size - base->size(), 'p'))};
        EXPECT_EQ(RecordJson::encodeEnvelope({token, {}, observations})->size(), size);
        return observations;
    };

    Outcome tooLarge;
    client.sendEnvelope({}, sized(FrameCodec::maximumEnvelopeSize + 1), tooLarge.completion(queue));
    // Refused before any connection exists: at once, on this thread.
    EXPECT_EQ(tooLarge.callCount(), 1);
    EXPECT_FALSE(tooLarge.success);
    EXPECT_EQ(tooLarge.thread, std::this_thread::get_id());

    Outcome exact;
    client.sendEnvelope({}, sized(FrameCodec::maximumEnvelopeSize), exact.completion(queue));
    ASSERT_TRUE(exact.wait());
    EXPECT_TRUE(exact.success);
    ASSERT_TRUE(listener.waitForCount(1));
    const auto received = listener.received().front();
    EXPECT_EQ(received.status, FrameAssembler::Status::complete);
    EXPECT_EQ(received.envelopeSize, FrameCodec::maximumEnvelopeSize);
    EXPECT_EQ(received.bytesReceived, FrameCodec::maximumFrameSize);
    ASSERT_TRUE(received.envelope);
    // The refused one never connected.
    EXPECT_EQ(listener.connectionsAccepted(), 1u);
}

TEST_F(EventChannelClientTest, WithoutPortOrTokenTheSendFailsAtOnceWithoutConnecting) {
    const auto expectImmediateFailure = [&] {
        Outcome outcome;
        client.sendEnvelope({event("443")}, {}, outcome.completion(queue));
        EXPECT_EQ(outcome.callCount(), 1);
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    };
    port = 0;
    expectImmediateFailure();
    port = listener.port();
    setToken("");
    expectImmediateFailure();
    setToken(std::string(63, 's')); // one byte short
    expectImmediateFailure();
    EXPECT_EQ(client.sendsInFlight(), 0u);

    // The same client still sends once the configuration is whole again; it is the only
    // connection the listener ever saw.
    setToken(token);
    Outcome outcome;
    client.sendEnvelope({event("443")}, {}, outcome.completion(queue));
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.success);
    ASSERT_TRUE(listener.waitForCount(1));
    EXPECT_EQ(listener.connectionsAccepted(), 1u);
}

TEST_F(EventChannelClientTest, NobodyListeningFailsOnTheQueue) {
    port = LoopbackFrameListener::unusedPort();
    Outcome outcome;
    const auto started = std::chrono::steady_clock::now();
    client.sendEnvelope({event("443")}, {}, outcome.completion(queue));
    ASSERT_TRUE(outcome.wait());
    EXPECT_FALSE(outcome.success);
    EXPECT_TRUE(outcome.onQueue);
    // A refused connection is reported when it fails, not at the time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - started, EventChannelClient::defaultSendTimeout);
    EXPECT_EQ(outcome.callCount(), 1);
}

TEST_F(EventChannelClientTest, CompletionRunsOnceWhenTheTimeOutRacesTheSend) {
    // With no time at all, the time-out and the connection's reports arrive together.
    EventChannelClient hurried(
        queue,
        {.port = [this] { return std::optional<std::uint16_t>(static_cast<std::uint16_t>(port)); },
         .token = [] { return std::optional(token); },
         .sendTimeout = 0s});
    constexpr int sends = 100;
    std::array<std::atomic<int>, sends> calls{};
    std::atomic<int> finished{0};
    for (int i = 0; i < sends; ++i) {
        hurried.sendEnvelope({event(std::to_string(i))}, {}, [&, i](bool) {
            calls[i].fetch_add(1);
            finished.fetch_add(1);
        });
    }
    hurried.waitForSendsInFlight();
    EXPECT_EQ(finished.load(), sends);
    for (const auto& count : calls) {
        EXPECT_EQ(count.load(), 1);
    }
}

TEST(EventSendCompletionGateTest, FinishCompletesExactlyOnceWhoeverCallsIt) {
    asio::io_context context;
    for (int round = 0; round < 50; ++round) {
        auto connection = std::make_shared<asio::ip::tcp::socket>(context);
        connection->open(asio::ip::tcp::v4());
        std::atomic<int> calls{0};
        std::atomic<int> successes{0};
        EventSendCompletionGate gate(connection, std::make_shared<asio::steady_timer>(context),
                                     [&](bool success) {
                                         calls.fetch_add(1);
                                         successes.fetch_add(success ? 1 : 0);
                                     });
        // The send report, a failure report and the time-out, all at once.
        std::atomic<bool> go{false};
        std::vector<std::thread> racers;
        for (int i = 0; i < 4; ++i) {
            racers.emplace_back([&, i] {
                while (!go.load()) {
                }
                gate.finish(i % 2 == 0);
            });
        }
        go = true;
        for (auto& racer : racers) {
            racer.join();
        }
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(gate.finished());
        EXPECT_FALSE(connection->is_open()); // cancelled by the winner
        gate.finish(true);
        EXPECT_EQ(calls.load(), 1);
    }
}

} // namespace
} // namespace zorvane
