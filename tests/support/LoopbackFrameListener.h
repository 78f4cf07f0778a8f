#pragma once

#include "shared/FilterEventEnvelope.h"
#include "shared/FrameAssembler.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorvane::testing {

// A stand-in for the application's event receiver: listens on 127.0.0.1, reads each accepted
// connection until the peer closes it, and keeps what arrived. Never writes.
class LoopbackFrameListener {
public:
    struct Received {
        FrameAssembler::Status status = FrameAssembler::Status::needMore;
        std::size_t bytesReceived = 0; // everything the peer sent before closing
        std::size_t envelopeSize = 0;  // N of the frame, when complete
        std::optional<FilterEventEnvelope> envelope;
    };

    // Port 0 takes any free port.
    explicit LoopbackFrameListener(std::uint16_t port = 0);
    ~LoopbackFrameListener();

    LoopbackFrameListener(const LoopbackFrameListener&) = delete;
    LoopbackFrameListener& operator=(const LoopbackFrameListener&) = delete;

    std::uint16_t port() const { return port_; }

    // Connections accepted so far, and those read to their end.
    std::size_t connectionsAccepted() const;
    std::vector<Received> received() const;

    // Waits until condition(received()) holds; false after the time limit.
    bool waitFor(const std::function<bool(const std::vector<Received>&)>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

    // A port on 127.0.0.1 that nobody listened on a moment ago.
    static std::uint16_t unusedPort();

private:
    struct Implementation;
    std::unique_ptr<Implementation> implementation_;
    std::uint16_t port_ = 0;
};

} // namespace zorvane::testing
