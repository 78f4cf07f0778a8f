#pragma once

#include <cstdint>
#include <string>

namespace zorvane {

// Where the filter sends its reports: the receiver's loopback port and the token that every
// envelope must carry. Both go into the filter configuration together.
struct EventChannel {
    std::uint16_t port = 0;
    std::string token;

    friend bool operator==(const EventChannel&, const EventChannel&) = default;
};

} // namespace zorvane
