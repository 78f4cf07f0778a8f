#include "filter/host/FlowReply.h"

#include <nlohmann/json.hpp>

namespace zorvane {
namespace {

using json = nlohmann::json;

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string FlowReply::verdict(FilterVerdict verdict) {
    return dump(json{{"verdict", verdict == FilterVerdict::drop ? "drop" : "allow"}});
}

std::string FlowReply::activityReport(const FilterActivityRecorder::Backlog& backlog) {
    return dump(json{{"pendingBlockedAttempts", backlog.blockedAttempts},
                     {"pendingAggregates", backlog.aggregates},
                     {"activitySends", backlog.sends},
                     {"failedActivitySends", backlog.failedSends}});
}

std::string FlowReply::error(const std::string& reason) {
    return dump(json{{"error", reason}});
}

} // namespace zorvane
