#include "filter/host/netfilter/PacketQueue.h"

#include "filter/host/netfilter/NetfilterRules.h"
#include "tests/support/Eventually.h"
#include "tests/system-support/NetworkNamespace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {

using testing::NetworkNamespace;

constexpr std::uint16_t refusedPort = 7001;
constexpr std::uint16_t allowedPort = 7002;
constexpr int limitMilliseconds = 5000;

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

Address addressOf(const char* text, std::uint16_t port) {
    Address address;
    if (std::string_view(text).find(':') != std::string_view::npos) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        inet_pton(AF_INET6, text, &v6->sin6_addr);
        address.length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        inet_pton(AF_INET, text, &v4->sin_addr);
        address.length = sizeof *v4;
    }
    return address;
}

int boundSocket(const Address& address, int type) {
    const int descriptor = ::socket(address.storage.ss_family, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
        0) {
        ADD_FAILURE() << "bind: " << std::strerror(errno);
    }
    if (type == SOCK_STREAM) {
        ::listen(descriptor, 16);
    }
    return descriptor;
}

// The error a TCP connect ends with (0: connected), bounded in time.
int connectError(const Address& address) {
    const int descriptor =
        ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int error = 0;
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address.storage),
                  address.length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd fd{descriptor, POLLOUT, 0};
            if (::poll(&fd, 1, limitMilliseconds) != 1) {
                error = ETIMEDOUT;
            } else {
                socklen_t size = sizeof error;
                ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
    }
    ::close(descriptor);
    return error;
}

// A datagram to a bound server from a connected socket: 0 when the server got it, else the
// error the sender's socket reports.
int datagramError(const Address& address, int server) {
    const int descriptor = ::socket(address.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int error = 0;
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address.storage),
                  address.length) != 0 ||
        ::send(descriptor, "x", 1, 0) != 1) {
        error = errno;
    } else {
        pollfd fds[2] = {{descriptor, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(fds, 2, limitMilliseconds) < 1) {
            error = ETIMEDOUT;
        } else if (fds[1].revents & POLLIN) {
            char byte;
            ::recv(server, &byte, 1, 0);
        } else {
            char byte;
            error = ::recv(descriptor, &byte, 1, 0) < 0 ? errno : 0;
        }
    }
    ::close(descriptor);
    return error;
}

class PacketQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = NetworkNamespace::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
    }
};

TEST_F(PacketQueueTest, ARefusedConnectionFailsAtOnceAndAnAllowedOneGoesThrough) {
    const auto failure = NetworkNamespace::run([] {
        NetfilterRules rules({.chain = "ZV_TEST", .firstQueue = 200, .queueCount = 2});
        ASSERT_EQ(rules.install(), std::nullopt);
        std::mutex seenLock;
        std::vector<PacketHeaders> seen;
        PacketQueue queue({.firstQueue = 200, .queueCount = 2}, [&](const PacketHeaders& packet) {
            std::lock_guard lock(seenLock);
            seen.push_back(packet);
            return packet.destinationPort == refusedPort ? PacketQueue::Decision::drop
                                                         : PacketQueue::Decision::allow;
        });
        ASSERT_EQ(queue.start(), std::nullopt);

        for (const char* host : {NetworkNamespace::ipv4Address, NetworkNamespace::ipv6Address}) {
            SCOPED_TRACE(host);
            const auto refused = addressOf(host, refusedPort);
            const auto allowed = addressOf(host, allowedPort);
            const int servers[] = {boundSocket(refused, SOCK_STREAM),
                                   boundSocket(allowed, SOCK_STREAM)};
            const int datagramServers[] = {boundSocket(refused, SOCK_DGRAM),
                                           boundSocket(allowed, SOCK_DGRAM)};

            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(connectError(refused), ECONNREFUSED);
            const auto elapsed = std::chrono::steady_clock::now() - start;
            std::printf(
                "refused TCP connect to %s took %lld us\n", host,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
            EXPECT_EQ(connectError(allowed), 0);
            EXPECT_EQ(datagramError(refused, datagramServers[0]), ECONNREFUSED);
            EXPECT_EQ(datagramError(allowed, datagramServers[1]), 0);
            for (const int descriptor :
                 {servers[0], servers[1], datagramServers[0], datagramServers[1]}) {
                ::close(descriptor);
            }
        }

        // A refused SYN the kernel sends again before its reset arrives (seen on a loaded
        // machine) is queued and refused a second time: more drops, never fewer.
        const auto counts = queue.counts();
        EXPECT_GE(counts.queued, 8u);
        EXPECT_GE(counts.dropped, 4u);
        EXPECT_EQ(counts.allowed, 4u);
        EXPECT_EQ(counts.queued, counts.dropped + counts.allowed);
        EXPECT_EQ(counts.unreadable, 0u);
        std::lock_guard lock(seenLock);
        ASSERT_EQ(seen.size(), counts.queued);
        EXPECT_EQ(seen.front().protocol, PacketHeaders::tcp);
        EXPECT_EQ(seen.front().destinationText(), NetworkNamespace::ipv4Address);
        EXPECT_EQ(seen.back().protocol, PacketHeaders::udp);
        EXPECT_EQ(seen.back().destinationText(), NetworkNamespace::ipv6Address);
        queue.stop();

        // Nobody reads the queue now: the bypass lets the refused port through.
        const auto refused = addressOf(NetworkNamespace::ipv4Address, refusedPort);
        const int server = boundSocket(refused, SOCK_STREAM);
        EXPECT_EQ(connectError(refused), 0);
        ::close(server);
        EXPECT_EQ(rules.remove(), std::nullopt);
    });
    EXPECT_EQ(failure, "");
}

// A host that cannot keep up does not hold the machine's connections: past the queue's length the
// kernel lets new connections through, and the rule counters show how many.
TEST_F(PacketQueueTest, AFullQueueFailsOpenAndTheRuleCountersShowIt) {
    const auto failure = NetworkNamespace::run([] {
        NetfilterRules rules({.chain = "ZV_TEST", .firstQueue = 300, .queueCount = 1});
        ASSERT_EQ(rules.install(), std::nullopt);
        std::mutex lock;
        std::condition_variable released;
        bool release = false;
        PacketQueue queue(
            {.firstQueue = 300, .queueCount = 1, .maximumQueued = 1}, [&](const PacketHeaders&) {
                std::unique_lock guard(lock);
                // Bounded, so that a failing test still ends.
                released.wait_for(guard, std::chrono::seconds(10), [&] { return release; });
                return PacketQueue::Decision::drop;
            });
        ASSERT_EQ(queue.start(), std::nullopt);

        const auto address = addressOf(NetworkNamespace::ipv4Address, allowedPort);
        const int server = boundSocket(address, SOCK_STREAM);
        // The first connection waits in the queue for its verdict...
        std::thread first([&] { EXPECT_EQ(connectError(address), ECONNREFUSED); });
        EXPECT_TRUE(testing::eventually([&] { return queue.counts().queued == 1; }));
        // ...so the next finds the queue full and passes without one.
        EXPECT_EQ(connectError(address), 0);
        {
            std::lock_guard guard(lock);
            release = true;
        }
        released.notify_all();
        first.join();

        const auto sent = rules.packetsSentToQueues();
        ASSERT_TRUE(sent);
        EXPECT_EQ(*sent - queue.counts().queued, 1u);
        queue.stop();
        ::close(server);
        EXPECT_EQ(rules.remove(), std::nullopt);
    });
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
