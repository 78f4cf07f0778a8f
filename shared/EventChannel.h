#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// Where the filter sends its reports: the application receiver's port on 127.0.0.1 and the
// token that every envelope must carry. Both go into the filter configuration together.
struct EventChannel {
    std::uint16_t port = 0;
    std::string token;

    friend bool operator==(const EventChannel&, const EventChannel&) = default;
};

// The receiver's currently published channel, port and token read together; empty while its
// listener is not ready.
using EventChannelSource = std::function<std::optional<EventChannel>()>;

} // namespace zorvane
