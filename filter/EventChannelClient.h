#pragma once

#include "filter/EventReceiverCheck.h"
#include "filter/ObservationQueue.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// The filter's end of the event channel: one FilterEventEnvelope per TCP connection to
// 127.0.0.1, framed by FrameCodec (4-byte big-endian length, then the JSON), the configured
// token inside. The filter never reads from the connection; a send succeeds once the whole frame
// was written, and the connection is closed right after.
//
// Port and token are read afresh for every send, so a configuration change applies to the next
// envelope. Every callback of a send, and its time-out, runs on the observation queue.
class EventChannelClient {
public:
    using Completion = std::function<void(bool success)>;

    static constexpr std::chrono::steady_clock::duration defaultSendTimeout =
        std::chrono::seconds(3);
    // Shortest token the receiver accepts, in UTF-8 bytes.
    static constexpr std::size_t minimumTokenSize = 64;

    struct Configuration {
        // The configured port (1...65535) and token (at least 64 bytes); nothing means that
        // nothing can be sent.
        std::function<std::optional<std::uint16_t>()> port;
        std::function<std::optional<std::string>()> token;
        // A send that has not written its whole frame by then fails.
        std::chrono::steady_clock::duration sendTimeout = defaultSendTimeout;
        EventReceiverCheck receiverCheck;
    };

    // queue must outlive the client and every send it started (ObservationQueue's stop
    // discards unfinished sends with it). The client itself may go before its sends finish.
    EventChannelClient(ObservationQueue& queue, Configuration configuration);

    EventChannelClient(const EventChannelClient&) = delete;
    EventChannelClient& operator=(const EventChannelClient&) = delete;

    // Sends one envelope. The completion runs exactly once: synchronously on the calling thread
    // when the send fails before a connection exists (no token, no port, an encoding failure,
    // JSON longer than FrameCodec::maximumEnvelopeSize), otherwise on the queue when the frame
    // was written, the connection failed, was cancelled or led to a receiver that fails the
    // receiver check (nothing is written then), or the time-out passed, whichever comes first.
    // Callable from any thread.
    void sendEnvelope(std::vector<NetworkActivityEvent> activityEvents,
                      std::vector<DiscoveredNetworkProcess> observations, Completion completion);

    // Sends whose completion has not run yet.
    std::size_t sendsInFlight() const;
    // Blocks until no send is in flight; each ends within the send time-out. Must not be called
    // on the queue.
    void waitForSendsInFlight();

private:
    // Shared with the completions of the sends, which may outlive the client.
    struct InFlight {
        std::mutex lock;
        std::condition_variable changed;
        std::size_t count = 0;
    };

    ObservationQueue& queue_;
    const Configuration configuration_;
    // Shared with the sends, which may outlive the client.
    const std::shared_ptr<const EventReceiverCheck> receiverCheck_;
    const std::shared_ptr<InFlight> inFlight_ = std::make_shared<InFlight>();
};

} // namespace zorvane
