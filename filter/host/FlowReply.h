#pragma once

#include "filter/FilterActivityRecorder.h"
#include "filter/FilterFlow.h"

#include <string>

namespace zorvane {

// The reply lines of filter.sock: {"verdict": "allow" | "drop"} or {"error": "<reason>"}, and
// to an activity report request {"pendingBlockedAttempts": N, "pendingAggregates": N,
// "activitySends": N, "failedActivitySends": N}.
class FlowReply {
public:
    static std::string verdict(FilterVerdict verdict);
    // Reasons may quote a client's bytes; anything that is not UTF-8 is replaced, never thrown.
    static std::string error(const std::string& reason);
    static std::string activityReport(const FilterActivityRecorder::Backlog& backlog);
};

} // namespace zorvane
