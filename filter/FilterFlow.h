#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// The remote end of a socket flow when the system describes it as host and port texts.
struct HostEndpoint {
    std::string hostname;
    std::string port;

    friend bool operator==(const HostEndpoint&, const HostEndpoint&) = default;
};

// What a socket flow tells about its remote side.
struct SocketFlowInfo {
    int socketProtocol = 0; // IP protocol number: 6 TCP, 17 UDP
    std::optional<std::string> remoteHostname;
    std::optional<HostEndpoint> remoteEndpoint; // absent when the endpoint is not a host endpoint

    friend bool operator==(const SocketFlowInfo&, const SocketFlowInfo&) = default;
};

// A new network flow as the system hands it to the provider for a verdict.
struct FilterFlow {
    enum class Direction : int { any = 0, inbound = 1, outbound = 2 };

    Direction direction = Direction::any;
    std::optional<std::vector<std::uint8_t>> sourceAppAuditToken;
    std::optional<std::vector<std::uint8_t>> sourceProcessAuditToken;
    std::optional<SocketFlowInfo> socket; // absent: not a socket flow

    friend bool operator==(const FilterFlow&, const FilterFlow&) = default;
};

enum class FilterVerdict { allow, drop };

} // namespace zorvane
