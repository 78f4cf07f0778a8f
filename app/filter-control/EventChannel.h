#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// Where the filter sends its reports: the event receiver's port on 127.0.0.1 and the token every
// envelope carries.
struct EventChannel {
    int port = 0;
    std::string token;

    friend bool operator==(const EventChannel&, const EventChannel&) = default;
};

// The receiver's currently published channel, port and token read together; empty while its
// listener is not ready.
using EventChannelSource = std::function<std::optional<EventChannel>()>;

} // namespace zorvane
