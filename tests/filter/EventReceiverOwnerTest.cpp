// The event channel sends its token only to a receiver of the user who owns the filter
// configuration: real listeners of this user and of another one (a child that became "nobody"),
// and the events of a refused send kept until the right receiver listens again.
#include "ActivityFixtures.h"
#include "filter/EventChannelClient.h"
#include "filter/FilterActivityRecorder.h"
#include "filter/ObservationQueue.h"
#include "platform/linux/LinuxListenerOwner.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackFrameListener.h"

#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using namespace fixtures;
using testing::eventually;
using testing::LoopbackFrameListener;

const std::string token(72, 't');
constexpr std::uint32_t nobody = 65534;

// A listener on 127.0.0.1 owned by another user: a child process that drops to "nobody" before
// it opens its socket. It reports, per accepted connection, how many bytes arrived before the
// peer closed it.
class ForeignListener {
public:
    explicit ForeignListener(std::uint16_t wanted = 0) {
        int portPipe[2];
        int bytesPipe[2];
        if (::pipe(portPipe) != 0 || ::pipe(bytesPipe) != 0) {
            return;
        }
        child_ = ::fork();
        if (child_ == 0) {
            ::close(portPipe[0]);
            ::close(bytesPipe[0]);
            serve(wanted, portPipe[1], bytesPipe[1]);
        }
        ::close(portPipe[1]);
        ::close(bytesPipe[1]);
        bytes_ = bytesPipe[0];
        std::uint16_t port = 0;
        if (::read(portPipe[0], &port, sizeof(port)) == sizeof(port)) {
            port_ = port;
        }
        ::close(portPipe[0]);
    }

    ~ForeignListener() { stop(); }

    // 0 when the child could not become another user or listen.
    std::uint16_t port() const { return port_; }

    // Bytes of the next connection that ended; nothing within the limit.
    std::optional<std::int64_t> nextConnectionBytes(int limitMilliseconds = 10'000) const {
        pollfd ready{bytes_, POLLIN, 0};
        if (::poll(&ready, 1, limitMilliseconds) != 1) {
            return std::nullopt;
        }
        std::int64_t count = 0;
        if (::read(bytes_, &count, sizeof(count)) != sizeof(count)) {
            return std::nullopt;
        }
        return count;
    }

    void stop() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
            child_ = -1;
        }
        if (bytes_ >= 0) {
            ::close(bytes_);
            bytes_ = -1;
        }
    }

private:
    [[noreturn]] static void serve(std::uint16_t wanted, int portOut, int bytesOut) {
        std::uint16_t port = 0;
        // A socket belongs to whoever created it: become the other user first.
        const bool switched = ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
        const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
        const int reuse = 1;
        ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(wanted);
        socklen_t length = sizeof(address);
        if (switched && listening >= 0 &&
            ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            ::listen(listening, 16) == 0 &&
            ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        (void)!::write(portOut, &port, sizeof(port));
        while (port != 0) {
            const int connection = ::accept(listening, nullptr, nullptr);
            if (connection < 0) {
                continue;
            }
            std::int64_t total = 0;
            char buffer[4096];
            ssize_t got;
            while ((got = ::read(connection, buffer, sizeof(buffer))) > 0) {
                total += got;
            }
            ::close(connection);
            (void)!::write(bytesOut, &total, sizeof(total));
        }
        ::_exit(0);
    }

    pid_t child_ = -1;
    int bytes_ = -1;
    std::uint16_t port_ = 0;
};

// Answers whatever the test says about who listens.
class FakeListenerOwner final : public ListenerOwner {
public:
    explicit FakeListenerOwner(std::optional<std::vector<Listener>> answer)
        : answer_(std::move(answer)) {}
    std::optional<std::vector<Listener>> listenersAt(std::uint16_t) const override {
        return answer_;
    }

private:
    std::optional<std::vector<Listener>> answer_;
};

EventReceiverCheck
ownedBy(std::optional<std::uint32_t> user,
        std::shared_ptr<const ListenerOwner> owner = std::make_shared<LinuxListenerOwner>()) {
    return {std::move(owner), [user] { return user; }};
}

NetworkActivityEvent activity() {
    NetworkActivityEvent event;
    event.processSigningIdentifier = "com.example.chat";
    event.destinationHost = "203.0.113.7";
    event.destinationPort = "443";
    event.firstSeenAt = event.lastSeenAt = Date::fromReferenceSeconds(800'000'000.0);
    event.blockedConnectionCount = 1;
    return event;
}

// One send through a client with this check; its success.
bool sendThrough(std::uint16_t port, EventReceiverCheck check) {
    ObservationQueue queue;
    EventChannelClient client(queue, {.port = [port] { return std::optional(port); },
                                      .token = [] { return std::optional(token); },
                                      .receiverCheck = std::move(check)});
    std::promise<bool> result;
    client.sendEnvelope({activity()}, {}, [&](bool success) { result.set_value(success); });
    auto outcome = result.get_future();
    if (outcome.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the send never completed";
        return false;
    }
    const bool success = outcome.get();
    client.waitForSendsInFlight();
    return success;
}

TEST(EventReceiverOwner, TheKernelNamesTheUserBehindAListeningPort) {
    LoopbackFrameListener own;
    const auto listeners = LinuxListenerOwner().listenersAt(own.port());
    ASSERT_TRUE(listeners);
    ASSERT_EQ(listeners->size(), 1u);
    EXPECT_EQ(listeners->front().userID, ::getuid());
    EXPECT_NE(listeners->front().inode, 0u);

    const auto unused = LinuxListenerOwner().listenersAt(LoopbackFrameListener::unusedPort());
    ASSERT_TRUE(unused);
    EXPECT_TRUE(unused->empty());
}

TEST(EventReceiverOwner, OnlyAReceiverOfTheConfigurationsOwnerGetsTheToken) {
    LoopbackFrameListener own;
    EXPECT_TRUE(sendThrough(own.port(), ownedBy(::getuid())));
    ASSERT_TRUE(own.waitForCount(1));

    // Somebody else listens as far as the system can tell, or the owner is unknown, or the
    // system cannot be asked: nothing is written.
    using Listener = ListenerOwner::Listener;
    EXPECT_FALSE(sendThrough(own.port(), ownedBy(::getuid() + 1)));
    EXPECT_FALSE(sendThrough(own.port(), ownedBy(std::nullopt)));
    EXPECT_FALSE(sendThrough(
        own.port(), ownedBy(::getuid(), std::make_shared<FakeListenerOwner>(std::nullopt))));
    // A second listener of another user at the same port (a dual-stack one, say) is enough.
    EXPECT_FALSE(sendThrough(
        own.port(), ownedBy(::getuid(), std::make_shared<FakeListenerOwner>(std::vector<Listener>{
                                            {::getuid(), 1}, {::getuid() + 1, 2}}))));
    ASSERT_TRUE(own.waitForCount(5));
    EXPECT_EQ(own.connectionsAccepted(), 5u);
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(own.received()[i].bytesReceived, 0u) << i;
    }
}

TEST(EventReceiverOwner, AnotherUsersListenerIsRefusedAndTheEventsWaitForTheRightOne) {
    ForeignListener foreign;
    if (foreign.port() == 0) {
        GTEST_SKIP() << "cannot listen as another user here (needs root)";
    }
    const std::uint16_t port = foreign.port();
    const auto listeners = LinuxListenerOwner().listenersAt(port);
    ASSERT_TRUE(listeners);
    ASSERT_EQ(listeners->size(), 1u);
    EXPECT_EQ(listeners->front().userID, nobody);

    EXPECT_FALSE(sendThrough(port, ownedBy(::getuid())));
    EXPECT_EQ(foreign.nextConnectionBytes(), 0);

    auto clock = std::make_shared<ManualClock>();
    FilterActivityRecorder recorder(
        {.eventChannelPort = [port] { return std::optional(port); },
         .eventChannelToken = [] { return std::optional(token); },
         .clock = clock,
         .monotonicClock = clock,
         .receiverCheck = ownedBy(::getuid())},
        {.activityFlushInterval = 20ms, .retryDelay = 50ms, .sendTimeout = 3s});
    for (int i = 0; i < 3; ++i) {
        recorder.recordBlockedActivity(flowTo("example.com", "443"), chatHelper, &chat);
    }
    ASSERT_TRUE(eventually([&] { return recorder.failedActivitySendCount() >= 2; }));
    // The foreign receiver saw connections, never a byte.
    EXPECT_EQ(foreign.nextConnectionBytes(), 0);
    EXPECT_EQ(foreign.nextConnectionBytes(), 0);
    recorder.recordBlockedActivity(flowTo("example.com", "443"), chatHelper, &chat);

    foreign.stop();
    LoopbackFrameListener own(port);
    ASSERT_TRUE(own.waitFor([](const auto& received) {
        for (const auto& frame : received) {
            if (frame.envelope && !frame.envelope->activityEvents.empty()) {
                return true;
            }
        }
        return false;
    }));
    std::int64_t delivered = 0;
    for (const auto& frame : own.received()) {
        if (frame.envelope) {
            EXPECT_EQ(frame.envelope->authenticationToken, token);
            for (const auto& event : frame.envelope->activityEvents) {
                delivered += event.blockedConnectionCount;
            }
        }
    }
    EXPECT_EQ(delivered, 4);
}

} // namespace
} // namespace zorvane
