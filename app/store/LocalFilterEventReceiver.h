#pragma once

#include "shared/EventChannel.h"
#include "shared/FilterEventEnvelope.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zorvane {

class Preferences;
class SecretStore;

// The application's end of the event channel: listens on 127.0.0.1, takes one length-prefixed
// envelope per connection, admits it only with the channel's token and hands it on. Never writes
// to a connection.
//
// All listener and connection work and both handlers run on the receiver's own serial queue:
// one asio io_context run by one thread that the receiver owns ("event-receiver"). The handlers
// must not block it (the store only enqueues work elsewhere) and must not destroy the receiver.
// channel() may be read from any thread.
class LocalFilterEventReceiver {
public:
    // The real values are the defaults; tests shorten the time limit.
    struct Limits {
        // A hard limit on the whole exchange of one connection, however much it has sent.
        std::chrono::milliseconds connectionTimeLimit{5000};
        // The most taken from a connection in one read.
        std::size_t maximumReceiveSize = 65'536;
        // Memory is bounded by these two. An idle connection costs a socket, a timer and a few
        // hundred bytes: at the cap, a new connection pushes out the oldest one (the one
        // nearest its time limit anyway), so a crowd of idle connections cannot lock the filter
        // out. A connection's bytes are held only while its frame is incomplete; a piece that
        // would take the sum over all connections past the budget refuses that connection, so
        // slow senders of huge frames cost at most the budget, not connections × 2 MiB.
        std::size_t maximumConnections = 256;
        std::size_t maximumBufferedBytes = 32 * 1024 * 1024;
        // Pause before accepting again when the process is out of descriptors or memory.
        std::chrono::milliseconds acceptRetryDelay{100};
    };

    using ReadyHandler = std::function<void()>;
    using EnvelopeHandler = std::function<void(FilterEventEnvelope)>;

    static constexpr const char* queueLabel = "dev.quillmoor.Zorvane.event-receiver";
    static constexpr const char* eventChannelPortKey = "localEventChannelPort";
    // Fixed for good: another name would orphan the stored token and make a new one.
    static constexpr const char* keychainServiceName = "dev.quillmoor.Zorvane.event-channel";
    static constexpr const char* tokenAccount = "local-event-channel-token";
    static constexpr std::size_t minimumTokenSize = 64;

    // Loads the token from the secret store, or makes a new one and stores it (the new token
    // serves this run even when storing fails), and reads the preferred port. Does not listen.
    LocalFilterEventReceiver(std::shared_ptr<Preferences> preferences, SecretStore& secrets);
    LocalFilterEventReceiver(std::shared_ptr<Preferences> preferences, SecretStore& secrets,
                             Limits limits);
    // Stops listening, closes every connection and joins the queue's thread.
    ~LocalFilterEventReceiver();

    LocalFilterEventReceiver(const LocalFilterEventReceiver&) = delete;
    LocalFilterEventReceiver& operator=(const LocalFilterEventReceiver&) = delete;

    // Starts listening on the queue unless a listener exists. When the preferred port cannot be
    // had (creation or a later failure of the listener) and retry is set, the stored port is
    // forgotten and one more listener is made on any free port. onReady runs each time a
    // listener becomes ready, after its port was saved and published; onEnvelope for every
    // authenticated envelope.
    void start(std::optional<std::uint16_t> preferredPort, bool retryWithAnyPort,
               ReadyHandler onReady, EnvelopeHandler onEnvelope);

    const std::string& authenticationToken() const;
    // "localEventChannelPort" as read at construction, when it is a valid port.
    std::optional<std::uint16_t> preferredPort() const;

    // The published channel: present while a listener is ready; port and token always from the
    // same state.
    std::optional<EventChannel> channel() const;

    // Connections open right now (for tests and diagnostics).
    std::size_t connectionCount() const;

private:
    class Queue;
    std::unique_ptr<Queue> queue_;
};

} // namespace zorvane
