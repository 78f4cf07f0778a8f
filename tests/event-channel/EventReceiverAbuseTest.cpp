// A thousand connections that open and send nothing must neither keep the filter out nor grow
// the receiver without bound.
#include "EventChannelTestSupport.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/Eventually.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::eventually;
using testing::frameFor;
using testing::LoopbackClient;
using testing::MemoryPreferences;
using testing::MemorySecretStore;
using testing::sampleEnvelope;

constexpr int idleConnections = 1000;

// "VmHWM" or "VmRSS" of this process, in kB.
long memoryStatus(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

class EventReceiverAbuseTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Both ends of every connection live in this process.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 4 * idleConnections) {
            limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4 * idleConnections);
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        ::getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 2 * idleConnections + 64) {
            GTEST_SKIP() << "needs " << 2 * idleConnections + 64 << " descriptors";
        }
    }

    void start(LocalFilterEventReceiver::Limits limits) {
        receiver = std::make_unique<LocalFilterEventReceiver>(preferences, secrets, limits);
        receiver->start(
            std::nullopt, false, [this] { ready.add(1); },
            [this](FilterEventEnvelope envelope) { envelopes.add(std::move(envelope)); });
        ASSERT_TRUE(ready.waitFor(1));
        port = receiver->channel()->port;
    }

    // One filter send: connect, write the frame, and see the receiver close the connection.
    void sendOne(int index) {
        LoopbackClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(frameFor(sampleEnvelope(receiver->authenticationToken(), index % 5)));
        EXPECT_TRUE(client.waitClosed());
    }

    void report(const char* phase) {
        const long peak = memoryStatus("VmHWM");
        const long resident = memoryStatus("VmRSS");
        std::printf("[ memory   ] %s: VmHWM %ld kB, VmRSS %ld kB\n", phase, peak, resident);
        RecordProperty(std::string(phase) + "_VmHWM_kB", std::to_string(peak));
    }

    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    MemorySecretStore secrets;
    Collector<int> ready;
    Collector<FilterEventEnvelope> envelopes;
    std::uint16_t port = 0;
    std::unique_ptr<LocalFilterEventReceiver> receiver;
};

TEST_F(EventReceiverAbuseTest, AThousandSilentConnectionsAreClosedAtTheLimitWhileSendersAreServed) {
    LocalFilterEventReceiver::Limits limits;
    limits.connectionTimeLimit = 1500ms;
    limits.maximumConnections = 2 * idleConnections; // all of them held at once
    start(limits);
    report("before");

    const auto opened = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    int sent = 0;
    for (int i = 0; i < idleConnections; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port));
        ASSERT_TRUE(idle.back()->connected()) << i;
        if (i % 100 == 99) {
            sendOne(sent++);
        }
    }
    // Senders still get through while the silent connections are held.
    for (int i = 0; i < 5; ++i) {
        sendOne(sent++);
    }
    ASSERT_TRUE(envelopes.waitFor(static_cast<std::size_t>(sent)));
    report("with a thousand silent connections");

    for (auto& client : idle) {
        ASSERT_TRUE(client->waitClosed(20s));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - opened, limits.connectionTimeLimit);
    EXPECT_TRUE(eventually([&] { return receiver->connectionCount() == 0; }));
    EXPECT_EQ(envelopes.items().size(), static_cast<std::size_t>(sent));
    report("after");
}

TEST_F(EventReceiverAbuseTest, AtTheConnectionCapSilentConnectionsMakeRoomForSenders) {
    LocalFilterEventReceiver::Limits limits; // the real cap, a shortened time limit
    limits.connectionTimeLimit = 1500ms;
    start(limits);
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    int sent = 0;
    for (int i = 0; i < idleConnections; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port));
        ASSERT_TRUE(idle.back()->connected()) << i;
        if (i % 100 == 99) {
            sendOne(sent++);
        }
    }
    ASSERT_TRUE(envelopes.waitFor(static_cast<std::size_t>(sent)));
    EXPECT_LE(receiver->connectionCount(), limits.maximumConnections);
    for (auto& client : idle) {
        ASSERT_TRUE(client->waitClosed(20s));
    }
    report("at the cap");
}

} // namespace
} // namespace zorvane
