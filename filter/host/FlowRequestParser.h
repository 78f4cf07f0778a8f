#pragma once

#include "filter/FilterFlow.h"
#include "filter/host/SimulatedProcessTable.h"
#include "platform/AuditToken.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// Turns one request line of filter.sock into the flow the provider decides:
//   {"direction": "outbound" | "inbound" | "unknown",
//    "sourceApp": S | null, "sourceProcess": S | null,
//    "socket": {"protocol": 6, "remoteHostname": "example.com",
//               "remoteEndpoint": {"hostname": "93.184.216.34", "port": "443"}}}
// where S is {"executable": "/abs/path"}, {"pid": 1234} or {"auditToken": "<hex>"}.
// "sourceApp" and "sourceProcess" may be left out (the same as null), as may "socket" (not a
// socket flow), "remoteHostname" and "remoteEndpoint" (null is the same as left out). Anything
// else — unknown keys, wrong types, out-of-range numbers, relative paths, bad hex — is an error
// with a reason, so a typo never quietly turns into an allowed flow.
class FlowRequestParser {
public:
    // The token of a live process; empty when there is no such process (its flows then carry no
    // token, which the provider treats like any unresolvable process: it fails open).
    using RealProcessToken = std::function<std::optional<AuditToken>(std::int32_t pid)>;

    struct Result {
        std::optional<FilterFlow> flow;
        std::string error; // set exactly when flow is empty
    };

    FlowRequestParser(SimulatedProcessTable& simulatedProcesses, RealProcessToken realProcessToken);

    Result parse(std::string_view line) const;

    // Whether the line is the other request filter.sock answers, {"report": "activity"}: what
    // the filter still has to deliver to the application.
    static bool isActivityReportRequest(std::string_view line);

private:
    SimulatedProcessTable& simulatedProcesses_;
    RealProcessToken realProcessToken_;
};

} // namespace zorvane
