#pragma once

#include "app/store/ApplicationMatcher.h"
#include "shared/ApplicationNetworkComponent.h"
#include "shared/BlockedApplication.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace zorvane {

// What the views show per blocked application, derived from the block list, the activity log
// and the discovered processes. Built whenever one of the three lists changes; every redraw
// then asks it once per row, so the records are prepared for matching here, once, and each
// query is a plain scan.
class ActivityQueries {
public:
    static constexpr std::size_t recentAttemptLimit = 12;

    // Orders component names. The window passes a case-insensitive comparison in the user's
    // locale; the default folds ASCII letters, which is what a Qt-free caller can offer.
    using NameLess = std::function<bool(std::string_view, std::string_view)>;
    static bool caseInsensitiveLess(std::string_view lhs, std::string_view rhs);

    ActivityQueries(std::vector<BlockedApplication> applications,
                    std::vector<NetworkActivityEvent> events,
                    std::vector<DiscoveredNetworkProcess> observations,
                    NameLess nameLess = caseInsensitiveLess);

    // Sum of the blocked attempts of the events that belong to the application.
    std::int64_t blockedAttemptCount(const BlockedApplication& application) const;

    // The events that belong to some listed application, latest first, at most twelve.
    std::vector<NetworkActivityEvent> recentAttempts() const;

    // The first listed application the event belongs to.
    std::optional<BlockedApplication> owningApplication(const NetworkActivityEvent& event) const;

    // The application's network-process rows: what was observed acting for it and what it
    // carries, the main executable first, then by name.
    std::vector<ApplicationNetworkComponent>
    networkComponents(const BlockedApplication& application) const;

    const std::vector<BlockedApplication>& applications() const { return applications_; }
    const std::vector<NetworkActivityEvent>& events() const { return events_; }
    const std::vector<DiscoveredNetworkProcess>& observations() const { return observations_; }

private:
    std::vector<BlockedApplication> applications_;
    std::vector<ApplicationMatcher> matchers_;
    std::vector<NetworkActivityEvent> events_;
    std::vector<ApplicationMatcher::Record> eventRecords_;
    std::vector<DiscoveredNetworkProcess> observations_;
    std::vector<ApplicationMatcher::Record> observationRecords_;
    NameLess nameLess_;
};

} // namespace zorvane
