#pragma once

#include "filter/FilterFlow.h"
#include "filter/ProcessIdentity.h"

namespace zorvane {

// Where the verdict hands what it saw: observations of processes that matched the block list and
// blocked attempts. The implementation aggregates, throttles and delivers them later on its own
// queue; none of these calls may block on delivery, and none can change a verdict.
class FilterActivitySink {
public:
    virtual ~FilterActivitySink() = default;

    // A process that opened a flow matching the block list. sourceApplication is null when the
    // flow named no resolvable source application.
    virtual void recordObservation(const ProcessIdentity& process,
                                   const ProcessIdentity* sourceApplication) = 0;

    // A flow that was dropped.
    virtual void recordBlockedActivity(const FilterFlow& flow, const ProcessIdentity& process,
                                       const ProcessIdentity* sourceApplication) = 0;

    // Hands everything pending to one send without waiting for it (the filter is stopping).
    virtual void flushPendingActivity() = 0;
};

} // namespace zorvane
