// Request lines of filter.sock come from any local client: they must give a flow or an error
// reply, never a crash, an exception or unbounded growth.
#include "filter/host/FlowReply.h"
#include "filter/host/FlowRequestParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

zorvane::SimulatedProcessTable& table() {
    // Small, so that the full-table path is reached too.
    static zorvane::SimulatedProcessTable instance(64);
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const zorvane::FlowRequestParser parser(
        table(), [](std::int32_t pid) -> std::optional<zorvane::AuditToken> {
            if (pid % 2 == 0) {
                return std::nullopt;
            }
            zorvane::AuditToken token;
            token.words[zorvane::AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
            return token;
        });
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    // The host asks this first, of every line.
    if (zorvane::FlowRequestParser::isActivityReportRequest(line)) {
        const auto report = zorvane::FlowReply::activityReport({});
        if (report.find('\n') != std::string::npos) {
            std::abort();
        }
        return 0;
    }
    const auto result = parser.parse(line);
    if (result.flow.has_value() == !result.error.empty()) {
        std::abort(); // exactly one of flow and error
    }
    const std::string reply = result.flow
                                  ? zorvane::FlowReply::verdict(zorvane::FilterVerdict::allow)
                                  : zorvane::FlowReply::error(result.error);
    if (reply.empty() || reply.find('\n') != std::string::npos) {
        std::abort(); // one reply line
    }
    return 0;
}
