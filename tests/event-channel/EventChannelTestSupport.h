#pragma once

#include "platform/SecretStore.h"
#include "shared/FilterEventEnvelope.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zorvane::testing {

// Secrets in memory; a write can be made to fail.
class MemorySecretStore final : public SecretStore {
public:
    SecretReadResult read(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        auto it = items_.find({service, account});
        if (it == items_.end()) {
            return SecretStoreError::notFound;
        }
        return it->second;
    }
    std::optional<SecretStoreError> write(const std::string& service, const std::string& account,
                                          const std::string& secret) override {
        std::lock_guard lock(mutex_);
        ++writes;
        if (failWrites) {
            return SecretStoreError::unavailable;
        }
        items_[{service, account}] = secret;
        return std::nullopt;
    }

    bool failWrites = false;
    int writes = 0;

private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

// What a handler was given, waited for from the test thread.
template <typename Item> class Collector {
public:
    void add(Item item) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
    // True once at least count items arrived, false when the time ran out first.
    bool waitFor(std::size_t count,
                 std::chrono::milliseconds timeLimit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeLimit, [&] { return items_.size() >= count; });
    }
    std::vector<Item> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Item> items_;
};

inline NetworkActivityEvent sampleEvent(int index) {
    NetworkActivityEvent event;
    event.sourceApplicationIdentifier = "com.example.Blocked";
    event.sourceApplicationTeamIdentifier = "TEAM123456";
    event.processSigningIdentifier = "com.example.Blocked.Helper";
    event.processExecutablePath = "/Applications/Blocked.app/Contents/MacOS/Helper";
    event.destinationHost = "host" + std::to_string(index) + ".example.com";
    event.destinationPort = "443";
    event.firstSeenAt = Date{700'000'000.0 + index};
    event.lastSeenAt = Date{700'000'001.5 + index};
    event.blockedConnectionCount = index + 1;
    return event;
}

inline FilterEventEnvelope sampleEnvelope(std::string token, int events = 1) {
    FilterEventEnvelope envelope;
    envelope.authenticationToken = std::move(token);
    for (int i = 0; i < events; ++i) {
        envelope.activityEvents.push_back(sampleEvent(i));
    }
    return envelope;
}

inline std::string frameWithLength(std::uint32_t length, std::string_view body) {
    std::string frame(4, '\0');
    frame[0] = static_cast<char>(length >> 24);
    frame[1] = static_cast<char>(length >> 16);
    frame[2] = static_cast<char>(length >> 8);
    frame[3] = static_cast<char>(length);
    frame.append(body);
    return frame;
}

inline std::string frameFor(std::string_view json) {
    return frameWithLength(static_cast<std::uint32_t>(json.size()), json);
}

inline std::string frameFor(const FilterEventEnvelope& envelope) {
    return frameFor(*RecordJson::encodeEnvelope(envelope));
}

// One client connection to 127.0.0.1, written with plain sockets so that the tests exercise
// the receiver and nothing of ours on the sending side.
class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ =
            fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        if (connected_) {
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
    }
    ~LoopbackClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return connected_; }

    // False when the receiver closed the connection before everything was written.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    bool sendInPieces(std::string_view bytes, std::size_t pieceSize) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
            if (!send(bytes.substr(offset, pieceSize))) {
                return false;
            }
        }
        return true;
    }

    // Waits until the receiver closes the connection (end of stream or reset). The receiver
    // never writes, so any byte read would be a fault as well.
    bool waitClosed(std::chrono::milliseconds timeLimit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeLimit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
            char byte;
            const ssize_t n = ::recv(fd_, &byte, 1, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                return true;
            }
            if (n > 0) {
                return false;
            }
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace zorvane::testing
