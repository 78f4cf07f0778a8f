#pragma once

#include "filter/FilterFlow.h"

#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// Where a flow goes, as activity records name it.
struct FlowDestination {
    static constexpr std::string_view unknownHost = "Unknown destination";

    std::string host;
    std::optional<std::string> port;

    friend bool operator==(const FlowDestination&, const FlowDestination&) = default;
};

// The same, as views into the flow (or into the static unknown-host text), for callers on the
// flow threads that must not allocate.
struct FlowDestinationView {
    std::string_view host;
    std::optional<std::string_view> port;
};

// What the verdict needs to know about a flow's remote side. No name is ever looked up.
class FlowFacts {
public:
    // A socket flow to the local machine, by its remote host name or its host endpoint.
    static bool isLocalDestination(const FilterFlow& flow);
    // "localhost", "*.localhost", 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8; brackets around
    // an IPv6 literal are ignored.
    static bool isLoopbackHost(std::string_view host);
    // A UDP flow to port 53 (name look-ups over TCP are not exempt).
    static bool isDNSFlow(const FilterFlow& flow);
    static FlowDestination flowDestination(const FilterFlow& flow);
    // Valid as long as the flow is. Inline: it runs for every recorded attempt.
    static FlowDestinationView flowDestinationView(const FilterFlow& flow) {
        if (!flow.socket) {
            return {FlowDestination::unknownHost, std::nullopt};
        }
        const SocketFlowInfo& socket = *flow.socket;
        const bool hasHostname = socket.remoteHostname && !socket.remoteHostname->empty();
        if (!socket.remoteEndpoint) {
            return {hasHostname ? std::string_view(*socket.remoteHostname)
                                : FlowDestination::unknownHost,
                    std::nullopt};
        }
        const std::string_view host = hasHostname
                                          ? std::string_view(*socket.remoteHostname)
                                          : std::string_view(socket.remoteEndpoint->hostname);
        if (socket.remoteEndpoint->port.empty()) {
            return {host, std::nullopt};
        }
        return {host, std::string_view(socket.remoteEndpoint->port)};
    }
};

} // namespace zorvane
