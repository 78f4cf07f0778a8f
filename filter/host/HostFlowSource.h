#pragma once

#include "filter/FilterFlow.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// A source of real flows that the host runs next to filter.sock (on Linux: the netfilter queue).
// It describes each new flow and asks the same decision as a flow request on the socket does.
class HostFlowSource {
public:
    // Called from the source's own threads; safe to call concurrently.
    using Decide = std::function<FilterVerdict(const FilterFlow&)>;
    // Tells the provider that a token the source handed out no longer names the program it did
    // (the process ended or ran another one); from the source's threads too.
    using ForgetProcess = std::function<void(const std::vector<std::uint8_t>& auditToken)>;

    virtual ~HostFlowSource() = default;
    // On failure, a text for the log; nothing is left installed then.
    virtual std::optional<std::string> start() = 0;
    // Idempotent. Flows pass undecided from then on.
    virtual void stop() = 0;
};

} // namespace zorvane
