#pragma once

#include "DiscoveredNetworkProcess.h"
#include "NetworkActivityEvent.h"

#include <string>
#include <vector>

namespace zorvane {

// The one message on the event channel, from the filter to the application.
struct FilterEventEnvelope {
    std::string authenticationToken;
    std::vector<NetworkActivityEvent> activityEvents;
    std::vector<DiscoveredNetworkProcess> observations;

    friend bool operator==(const FilterEventEnvelope&, const FilterEventEnvelope&) = default;
};

} // namespace zorvane
