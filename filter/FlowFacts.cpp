#include "filter/FlowFacts.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstdint>

namespace zorvane {

bool FlowFacts::isLocalDestination(const FilterFlow& flow) {
    if (!flow.socket) {
        return false;
    }
    const SocketFlowInfo& socket = *flow.socket;
    if (socket.remoteHostname && isLoopbackHost(*socket.remoteHostname)) {
        return true;
    }
    if (socket.remoteEndpoint) {
        return isLoopbackHost(socket.remoteEndpoint->hostname);
    }
    return false;
}

bool FlowFacts::isLoopbackHost(std::string_view host) {
    while (!host.empty() && (host.front() == '[' || host.front() == ']')) {
        host.remove_prefix(1);
    }
    while (!host.empty() && (host.back() == '[' || host.back() == ']')) {
        host.remove_suffix(1);
    }
    // inet_pton reads up to the first NUL; "127.0.0.1\0example.com" must not pass as loopback.
    if (host.find('\0') != std::string_view::npos) {
        return false;
    }
    std::string lowered(host);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    if (lowered == "localhost" || lowered.ends_with(".localhost")) {
        return true;
    }

    std::array<std::uint8_t, 4> v4{};
    if (inet_pton(AF_INET, lowered.c_str(), v4.data()) == 1) {
        return v4[0] == 127;
    }
    std::array<std::uint8_t, 16> v6{};
    if (inet_pton(AF_INET6, lowered.c_str(), v6.data()) == 1) {
        const bool firstTenZero =
            std::all_of(v6.begin(), v6.begin() + 10, [](std::uint8_t b) { return b == 0; });
        if (!firstTenZero) {
            return false;
        }
        const bool loopback =
            v6[10] == 0 && v6[11] == 0 && v6[12] == 0 && v6[13] == 0 && v6[14] == 0 && v6[15] == 1;
        const bool mappedLoopback = v6[10] == 0xff && v6[11] == 0xff && v6[12] == 127;
        return loopback || mappedLoopback;
    }
    return false;
}

bool FlowFacts::isDNSFlow(const FilterFlow& flow) {
    return flow.socket && flow.socket->socketProtocol == 17 && flow.socket->remoteEndpoint &&
           flow.socket->remoteEndpoint->port == "53";
}

FlowDestination FlowFacts::flowDestination(const FilterFlow& flow) {
    const FlowDestinationView view = flowDestinationView(flow);
    FlowDestination destination{std::string(view.host), std::nullopt};
    if (view.port) {
        destination.port.emplace(*view.port);
    }
    return destination;
}

} // namespace zorvane
