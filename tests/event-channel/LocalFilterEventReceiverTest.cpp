#include "app/store/LocalFilterEventReceiver.h"

#include "EventChannelTestSupport.h"
#include "tests/qt-support/MemoryPreferences.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::frameFor;
using testing::frameWithLength;
using testing::LoopbackClient;
using testing::MemoryPreferences;
using testing::MemorySecretStore;
using testing::sampleEnvelope;

constexpr const char* portKey = LocalFilterEventReceiver::eventChannelPortKey;

std::optional<std::int64_t> storedPort(const Preferences& preferences) {
    const auto value = preferences.value(portKey);
    if (!value || !value->integer()) {
        return std::nullopt;
    }
    return *value->integer();
}

// The inodes of the sockets a process has open.
std::set<std::string> socketInodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.starts_with("socket:[")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    return inodes;
}

// The inode of the socket listening on 127.0.0.1:port, from /proc/net/tcp.
std::optional<std::string> listenerInode(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (address == local && state == "0A") {
            return inode;
        }
    }
    return std::nullopt;
}

class LocalFilterEventReceiverTest : public ::testing::Test {
protected:
    struct ReadyCall {
        std::thread::id thread;
        std::optional<EventChannel> published;
        std::optional<std::int64_t> savedPort;
    };

    // Makes a receiver (replacing any earlier one) and starts it as the store does: with the
    // stored port, retrying on any port when there is one. The port once it is ready.
    std::uint16_t startReceiver() {
        receiver.reset();
        receiver = std::make_unique<LocalFilterEventReceiver>(preferences, secrets, limits);
        const std::size_t readyBefore = readyCalls.items().size();
        const auto preferred = receiver->preferredPort();
        receiver->start(
            preferred, preferred.has_value(),
            [this] {
                readyCalls.add(
                    {std::this_thread::get_id(), receiver->channel(), storedPort(*preferences)});
            },
            [this](FilterEventEnvelope envelope) {
                envelopeThreads.add(std::this_thread::get_id());
                envelopes.add(std::move(envelope));
            });
        EXPECT_TRUE(readyCalls.waitFor(readyBefore + 1));
        const auto channel = receiver->channel();
        EXPECT_TRUE(channel);
        return channel ? channel->port : 0;
    }

    const std::string& token() const { return receiver->authenticationToken(); }

    // Sends one frame and waits until the receiver has closed the connection, by which time it
    // has decided about the frame (the envelope handler runs before the close).
    void sendAndWaitForClose(const std::string& bytes, std::size_t pieceSize = SIZE_MAX) {
        LoopbackClient client(receiver->channel()->port);
        ASSERT_TRUE(client.connected());
        client.sendInPieces(bytes, pieceSize);
        EXPECT_TRUE(client.waitClosed());
    }

    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    MemorySecretStore secrets;
    LocalFilterEventReceiver::Limits limits;
    Collector<ReadyCall> readyCalls;
    Collector<FilterEventEnvelope> envelopes;
    Collector<std::thread::id> envelopeThreads;
    std::unique_ptr<LocalFilterEventReceiver> receiver; // last: goes first
};

std::optional<std::string> storedToken(SecretStore& secrets) {
    auto stored = secrets.read(LocalFilterEventReceiver::keychainServiceName,
                               LocalFilterEventReceiver::tokenAccount);
    if (auto* text = std::get_if<std::string>(&stored)) {
        return *text;
    }
    return std::nullopt;
}

TEST_F(LocalFilterEventReceiverTest, TokenIsCreatedOnceStoredAndStableAcrossRestarts) {
    startReceiver();
    const std::string first = token();
    EXPECT_EQ(first.size(), 72u);
    EXPECT_EQ(storedToken(secrets), first);
    EXPECT_EQ(receiver->channel()->token, first);

    startReceiver();
    EXPECT_EQ(token(), first);
    EXPECT_EQ(secrets.writes, 1);

    // Two receivers never make the same token.
    MemorySecretStore otherSecrets;
    LocalFilterEventReceiver other(preferences, otherSecrets, limits);
    EXPECT_NE(other.authenticationToken(), first);
}

TEST_F(LocalFilterEventReceiverTest, ShortOrIllFormedStoredTokensAreReplacedAndWrittenBack) {
    const std::string service = LocalFilterEventReceiver::keychainServiceName;
    const std::string account = LocalFilterEventReceiver::tokenAccount;
    for (const std::string& stored : {std::string(63, 'a'), std::string(71, 'b') + "\xFF"}) {
        secrets.write(service, account, stored);
        LocalFilterEventReceiver made(preferences, secrets, limits);
        EXPECT_EQ(made.authenticationToken().size(), 72u);
        EXPECT_NE(made.authenticationToken(), stored);
        EXPECT_EQ(storedToken(secrets), made.authenticationToken());
    }
    // 64 bytes is long enough, and any text is kept as it is.
    const std::string sixtyFour = std::string(60, 'c') + "\xC3\xA9zz";
    secrets.write(service, account, sixtyFour);
    EXPECT_EQ(LocalFilterEventReceiver(preferences, secrets, limits).authenticationToken(),
              sixtyFour);
}

TEST_F(LocalFilterEventReceiverTest, TokenServesTheRunWhenItCannotBeStored) {
    secrets.failWrites = true;
    startReceiver();
    EXPECT_EQ(token().size(), 72u);
    EXPECT_FALSE(storedToken(secrets));
    EXPECT_EQ(receiver->channel()->token, token());
    sendAndWaitForClose(frameFor(sampleEnvelope(token(), 2)));
    ASSERT_TRUE(envelopes.waitFor(1));
    EXPECT_EQ(envelopes.items()[0], sampleEnvelope(token(), 2));
}

TEST_F(LocalFilterEventReceiverTest, ReadyHandlerRunsOnTheQueueAfterThePortWasSavedAndPublished) {
    const std::uint16_t port = startReceiver();
    const auto call = readyCalls.items().back();
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_EQ(call.published, (EventChannel{port, token()}));
    EXPECT_EQ(call.savedPort, port);

    sendAndWaitForClose(frameFor(sampleEnvelope(token())));
    ASSERT_TRUE(envelopeThreads.waitFor(1));
    EXPECT_EQ(envelopeThreads.items()[0], call.thread) << "one queue, one thread";

    // A second start while listening changes nothing.
    receiver->start(
        std::nullopt, false, [] { FAIL() << "no second listener"; }, nullptr);
    sendAndWaitForClose(frameFor(sampleEnvelope(token())));
    EXPECT_TRUE(envelopes.waitFor(2));
    EXPECT_EQ(receiver->channel()->port, port);
}

TEST_F(LocalFilterEventReceiverTest, PreferredPortIsReusedAcrossRestarts) {
    const std::uint16_t first = startReceiver();
    // The receiver closed connections of its own, which now wait in TIME_WAIT on that port.
    sendAndWaitForClose(frameFor(sampleEnvelope(token())));
    receiver.reset();

    EXPECT_EQ(startReceiver(), first);
    EXPECT_EQ(receiver->preferredPort(), first);
    EXPECT_EQ(storedPort(*preferences), first);
}

TEST_F(LocalFilterEventReceiverTest, TakenPreferredPortIsForgottenAndAnotherChosenAndStored) {
    // Someone else listens on the port that the last run used.
    const int other = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(other, 1), 0);
    ASSERT_EQ(::getsockname(other, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t taken = ntohs(address.sin_port);
    preferences->setValue(portKey, PlistValue(static_cast<int>(taken)));

    const std::uint16_t chosen = startReceiver();
    EXPECT_EQ(receiver->preferredPort(), taken);
    EXPECT_NE(chosen, taken);
    EXPECT_NE(chosen, 0);
    EXPECT_EQ(storedPort(*preferences), chosen);
    sendAndWaitForClose(frameFor(sampleEnvelope(token())));
    EXPECT_TRUE(envelopes.waitFor(1));
    ::close(other);
}

TEST_F(LocalFilterEventReceiverTest, StoredPortsOutsideTheRangeMeanNoPreferredPort) {
    for (const PlistValue& stored :
         {PlistValue(70000), PlistValue(0), PlistValue(-5), PlistValue(std::string("8080"))}) {
        preferences->setValue(portKey, stored);
        EXPECT_FALSE(LocalFilterEventReceiver(preferences, secrets, limits).preferredPort());
    }
    preferences->setValue(portKey, PlistValue(65535));
    EXPECT_EQ(LocalFilterEventReceiver(preferences, secrets, limits).preferredPort(), 65535);
}

TEST_F(LocalFilterEventReceiverTest, FrameSentInOneBytePiecesIsDelivered) {
    startReceiver();
    const auto envelope = sampleEnvelope(token(), 4);
    sendAndWaitForClose(frameFor(envelope), 1);
    ASSERT_TRUE(envelopes.waitFor(1));
    EXPECT_EQ(envelopes.items(), std::vector{envelope});
}

TEST_F(LocalFilterEventReceiverTest, OnlyCorrectlyAuthenticatedWellFormedEnvelopesAreDelivered) {
    startReceiver();
    std::string lastByteDiffers = token();
    lastByteDiffers.back() = lastByteDiffers.back() == 'A' ? 'B' : 'A';
    std::mt19937 random(7);
    std::string noise(5000, '\0');
    for (auto& byte : noise) {
        byte = static_cast<char>(random());
    }
    const std::string json = *RecordJson::encodeEnvelope(sampleEnvelope(token()));
    for (const std::string& bytes : {
             frameFor(sampleEnvelope(lastByteDiffers)),
             frameFor(sampleEnvelope(token() + "A")),
             frameFor(sampleEnvelope("")),
             noise,
             frameFor(noise),
             frameFor(json.substr(0, json.size() - 2)),
             frameFor("{\"authenticationToken\": 42}"),
         }) {
        sendAndWaitForClose(bytes);
    }
    // A sender that gives up half-way delivers nothing either.
    {
        LoopbackClient quitter(receiver->channel()->port);
        quitter.send(frameFor(sampleEnvelope(token())).substr(0, 20));
    }
    const auto good = sampleEnvelope(token(), 0);
    sendAndWaitForClose(frameFor(good));
    ASSERT_TRUE(envelopes.waitFor(1));
    EXPECT_EQ(envelopes.items(), std::vector{good});
}

TEST_F(LocalFilterEventReceiverTest, FrameAtTheSizeLimitIsDeliveredAndOneByteMoreRefusedAtOnce) {
    // A long time limit: only the refusal can close the connection within the wait below.
    limits.connectionTimeLimit = 60s;
    startReceiver();
    {
        LoopbackClient client(receiver->channel()->port);
        ASSERT_TRUE(client.send(frameWithLength(2'097'153, "")));
        EXPECT_TRUE(client.waitClosed(10s));
    }
    const std::string head = R"({"authenticationToken":")" + token() +
                             R"(","activityEvents":[],"observations":[],"padding":")";
    const std::string json = head + std::string(2'097'152 - head.size() - 2, 'p') + "\"}";
    ASSERT_EQ(json.size(), 2'097'152u);
    sendAndWaitForClose(frameFor(json));
    ASSERT_TRUE(envelopes.waitFor(1));
    EXPECT_EQ(envelopes.items()[0], sampleEnvelope(token(), 0));
}

TEST_F(LocalFilterEventReceiverTest, IdleConnectionsAreClosedAtTheLimitWhileOthersAreServed) {
    limits.connectionTimeLimit = 400ms;
    startReceiver();
    const auto opened = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(receiver->channel()->port));
        ASSERT_TRUE(idle.back()->connected());
    }
    // Half a frame, then silence: the limit covers the whole exchange, not only the start.
    idle.front()->send(frameFor(sampleEnvelope(token())).substr(0, 30));
    for (int i = 0; i < 5; ++i) {
        sendAndWaitForClose(frameFor(sampleEnvelope(token(), i)));
    }
    EXPECT_TRUE(envelopes.waitFor(5));
    for (auto& client : idle) {
        EXPECT_TRUE(client->waitClosed(10s));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - opened, limits.connectionTimeLimit);
    EXPECT_EQ(envelopes.items().size(), 5u);
}

TEST_F(LocalFilterEventReceiverTest, NewConnectionsPushOutTheOldestAtTheCap) {
    limits.connectionTimeLimit = 60s;
    limits.maximumConnections = 4;
    startReceiver();
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(receiver->channel()->port));
        // Accepted in order, so that "oldest" is well defined.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (receiver->connectionCount() < idle.size() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(receiver->connectionCount(), idle.size());
    }
    // A sender at the cap is served; the oldest idle connection made room for it.
    sendAndWaitForClose(frameFor(sampleEnvelope(token())));
    EXPECT_TRUE(envelopes.waitFor(1));
    EXPECT_TRUE(idle[0]->waitClosed(10s));
    EXPECT_EQ(receiver->connectionCount(), 3u);
}

TEST_F(LocalFilterEventReceiverTest, FrameBeyondTheBufferBudgetIsRefused) {
    limits.maximumBufferedBytes = 4096;
    startReceiver();
    sendAndWaitForClose(frameFor(sampleEnvelope(token(), 40)));
    sendAndWaitForClose(frameFor(sampleEnvelope(token(), 1)));
    ASSERT_TRUE(envelopes.waitFor(1));
    EXPECT_EQ(envelopes.items(), std::vector{sampleEnvelope(token(), 1)});
}

// A program the application starts (the filter host among them) must not keep the listener: it
// would accept the filter's reports into a backlog nobody reads once the application is gone.
TEST_F(LocalFilterEventReceiverTest, ProgramsStartedLaterDoNotInheritTheListener) {
    const auto port = startReceiver();
    const auto listener = listenerInode(port);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(socketInodes(::getpid()).contains(*listener));

    pid_t child = 0;
    char program[] = "/bin/sleep";
    char seconds[] = "30";
    char* arguments[] = {program, seconds, nullptr};
    ASSERT_EQ(posix_spawn(&child, program, nullptr, nullptr, arguments, environ), 0);
    EXPECT_FALSE(socketInodes(child).contains(*listener));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

} // namespace
} // namespace zorvane
