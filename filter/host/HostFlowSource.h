#pragma once

#include "filter/FilterFlow.h"

#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// A source of real flows that the host runs next to filter.sock (on Linux: the netfilter queue).
// It describes each new flow and asks the same decision as a flow request on the socket does.
class HostFlowSource {
public:
    // Called from the source's own threads; safe to call concurrently.
    using Decide = std::function<FilterVerdict(const FilterFlow&)>;

    virtual ~HostFlowSource() = default;
    // On failure, a text for the log; nothing is left installed then.
    virtual std::optional<std::string> start() = 0;
    // Idempotent. Flows pass undecided from then on.
    virtual void stop() = 0;
};

} // namespace zorvane
