#pragma once

#include "shared/BlockedApplication.h"
#include "shared/TemporaryAccessGrant.h"

#include <vector>

namespace zorvane {

// The status agent's reading of the shared preferences at one moment.
struct StatusSnapshot {
    // In stored order, without the program itself.
    std::vector<BlockedApplication> applications;
    // Those that were in force when read.
    std::vector<TemporaryAccessGrant> grants;
    bool showStatusItem = true;
    bool protectionRequested = false;

    friend bool operator==(const StatusSnapshot&, const StatusSnapshot&) = default;
};

} // namespace zorvane
