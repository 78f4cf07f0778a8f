#pragma once

#include "shared/BlockedApplication.h"
#include "shared/DiscoveredNetworkProcess.h"

#include <optional>
#include <vector>

namespace zorvane {

// Observed helpers teach the block list: a process seen acting for a blocked application, with
// a team of its own and not a generic interpreter, becomes one of the application's auxiliary
// identities and is blocked from then on.
class HelperLearning {
public:
    // Every application with the identities of its observations added (its auxiliary list is
    // then present, sorted, and the legacy list gone; its inspection version stays as it was), in
    // list order; empty when no application changed, so that the caller saves and pushes rules
    // only when there is something new.
    static std::optional<std::vector<BlockedApplication>>
    learn(const std::vector<BlockedApplication>& applications,
          const std::vector<DiscoveredNetworkProcess>& observations);
};

} // namespace zorvane
