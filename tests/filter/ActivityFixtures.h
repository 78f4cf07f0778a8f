#pragma once

#include "filter/FilterFlow.h"
#include "filter/ProcessIdentity.h"

#include <string>
#include <utility>

namespace zorvane::fixtures {

// A signed application and an unsigned-team helper acting for it: the pair whose drops the
// recorder aggregates under the helper's identity with the application as the source.
inline const ProcessIdentity chat{"com.example.chat", "CHATTEAM",
                                  "/Applications/Chat.app/Contents/MacOS/Chat"};
inline const ProcessIdentity chatHelper{"com.example.chat.helper", std::nullopt,
                                        "/Applications/Chat.app/Contents/MacOS/Helper"};

// An outbound TCP flow to host:port.
inline FilterFlow flowTo(std::string host, std::string port) {
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.socket = SocketFlowInfo{6, std::nullopt, HostEndpoint{std::move(host), std::move(port)}};
    return flow;
}

} // namespace zorvane::fixtures
