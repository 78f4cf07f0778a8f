#include "app/store/ActivityQueries.h"

#include "shared/BundlePath.h"
#include "shared/RecordMerging.h"

#include <algorithm>
#include <unordered_set>

namespace zorvane {
namespace {

char foldedAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool isLater(Date lhs, Date rhs) {
    return lhs > rhs;
}

} // namespace

bool ActivityQueries::caseInsensitiveLess(std::string_view lhs, std::string_view rhs) {
    return std::lexicographical_compare(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(),
                                        [](char a, char b) {
                                            return static_cast<unsigned char>(foldedAscii(a)) <
                                                   static_cast<unsigned char>(foldedAscii(b));
                                        });
}

ActivityQueries::ActivityQueries(std::vector<BlockedApplication> applications,
                                 std::vector<NetworkActivityEvent> events,
                                 std::vector<DiscoveredNetworkProcess> observations,
                                 NameLess nameLess)
    : applications_(std::move(applications)), events_(std::move(events)),
      observations_(std::move(observations)),
      nameLess_(nameLess ? std::move(nameLess) : NameLess(caseInsensitiveLess)) {
    matchers_.reserve(applications_.size());
    for (const auto& application : applications_) {
        matchers_.emplace_back(application);
    }
    eventRecords_.reserve(events_.size());
    for (const auto& event : events_) {
        eventRecords_.push_back(ApplicationMatcher::Record::of(event));
    }
    observationRecords_.reserve(observations_.size());
    for (const auto& observation : observations_) {
        observationRecords_.push_back(ApplicationMatcher::Record::of(observation));
    }
}

std::int64_t ActivityQueries::blockedAttemptCount(const BlockedApplication& application) const {
    const ApplicationMatcher matcher(application);
    std::int64_t count = 0;
    for (std::size_t index = 0; index < events_.size(); ++index) {
        if (matcher.matches(eventRecords_[index])) {
            // Counts come from files other processes write; never let their sum wrap.
            count = record_merging::saturatingAdd(count, events_[index].blockedConnectionCount);
        }
    }
    return count;
}

std::vector<NetworkActivityEvent> ActivityQueries::recentAttempts() const {
    std::vector<const NetworkActivityEvent*> owned;
    for (std::size_t index = 0; index < events_.size(); ++index) {
        const auto& record = eventRecords_[index];
        if (std::any_of(matchers_.begin(), matchers_.end(), [&](const ApplicationMatcher& matcher) {
                return matcher.matches(record);
            })) {
            owned.push_back(&events_[index]);
        }
    }
    std::stable_sort(owned.begin(), owned.end(), [](const auto* lhs, const auto* rhs) {
        return isLater(lhs->lastSeenAt, rhs->lastSeenAt);
    });
    if (owned.size() > recentAttemptLimit) {
        owned.resize(recentAttemptLimit);
    }
    std::vector<NetworkActivityEvent> recent;
    recent.reserve(owned.size());
    for (const auto* event : owned) {
        recent.push_back(*event);
    }
    return recent;
}

std::optional<BlockedApplication>
ActivityQueries::owningApplication(const NetworkActivityEvent& event) const {
    const auto record = ApplicationMatcher::Record::of(event);
    for (std::size_t index = 0; index < applications_.size(); ++index) {
        if (matchers_[index].matches(record)) {
            return applications_[index];
        }
    }
    return std::nullopt;
}

std::vector<ApplicationNetworkComponent>
ActivityQueries::networkComponents(const BlockedApplication& application) const {
    const ApplicationMatcher matcher(application);
    std::vector<std::size_t> observed;
    for (std::size_t index = 0; index < observations_.size(); ++index) {
        if (matcher.matches(observationRecords_[index])) {
            observed.push_back(index);
        }
    }
    std::stable_sort(observed.begin(), observed.end(), [&](std::size_t lhs, std::size_t rhs) {
        return isLater(observations_[lhs].lastSeenAt, observations_[rhs].lastSeenAt);
    });

    std::vector<ApplicationNetworkComponent> rows;
    std::unordered_set<CodeIdentity> observedIdentities;
    for (const std::size_t index : observed) {
        const auto& observation = observations_[index];
        ApplicationNetworkComponent row;
        row.id = observation.id();
        row.name = observation.executablePath && !observation.executablePath->empty()
                       ? BundlePath::lastComponent(*observation.executablePath)
                       : observation.signingIdentifier;
        row.signingIdentifier = observation.signingIdentifier;
        row.teamIdentifier = observation.teamIdentifier;
        row.executablePath = observation.executablePath;
        row.kind = observation.signingIdentifier == application.signingIdentifier
                       ? ApplicationNetworkComponent::Kind::main
                       : ApplicationNetworkComponent::Kind::observed;
        row.lastSeenAt = observation.lastSeenAt;
        rows.push_back(std::move(row));
        observedIdentities.insert(
            CodeIdentity::make(observation.signingIdentifier, observation.teamIdentifier));
    }

    const CodeIdentity primary = application.primaryCodeIdentity();
    for (const auto& identity : application.allCodeIdentities()) {
        if (observedIdentities.contains(identity)) {
            continue;
        }
        ApplicationNetworkComponent row;
        row.id = "bundled|" + identity.key();
        if (identity == primary) {
            row.name = application.name;
            row.executablePath = application.path;
            row.kind = ApplicationNetworkComponent::Kind::main;
        } else {
            // A Linux program is named by its path; its file name is what a person knows it by.
            row.name = identity.signingIdentifier.starts_with('/')
                           ? BundlePath::lastComponent(identity.signingIdentifier)
                           : identity.signingIdentifier;
            row.kind = ApplicationNetworkComponent::Kind::bundled;
        }
        row.signingIdentifier = identity.signingIdentifier;
        row.teamIdentifier = identity.teamIdentifier;
        rows.push_back(std::move(row));
    }

    std::stable_sort(rows.begin(), rows.end(), [&](const auto& lhs, const auto& rhs) {
        const bool lhsMain = lhs.kind == ApplicationNetworkComponent::Kind::main;
        const bool rhsMain = rhs.kind == ApplicationNetworkComponent::Kind::main;
        if (lhsMain != rhsMain) {
            return lhsMain;
        }
        return nameLess_(lhs.name, rhs.name);
    });
    return rows;
}

} // namespace zorvane
