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

std::string FlowReply::error(const std::string& reason) {
    return dump(json{{"error", reason}});
}

} // namespace zorvane
