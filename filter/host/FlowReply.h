#pragma once

#include "filter/FilterFlow.h"

#include <string>

namespace zorvane {

// The reply lines of filter.sock: {"verdict": "allow" | "drop"} or {"error": "<reason>"}.
class FlowReply {
public:
    static std::string verdict(FilterVerdict verdict);
    // Reasons may quote a client's bytes; anything that is not UTF-8 is replaced, never thrown.
    static std::string error(const std::string& reason);
};

} // namespace zorvane
