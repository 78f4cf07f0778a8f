#include "app/store/HelperLearning.h"

#include "app/store/ApplicationInspector.h"
#include "app/store/ApplicationMatcher.h"

namespace zorvane {

std::optional<std::vector<BlockedApplication>>
HelperLearning::learn(const std::vector<BlockedApplication>& applications,
                      const std::vector<DiscoveredNetworkProcess>& observations) {
    std::vector<ApplicationMatcher::Record> records;
    records.reserve(observations.size());
    for (const auto& observation : observations) {
        records.push_back(ApplicationMatcher::Record::of(observation));
    }

    bool changed = false;
    std::vector<BlockedApplication> learned;
    learned.reserve(applications.size());
    for (const auto& application : applications) {
        const ApplicationMatcher matcher(application);
        std::vector<CodeIdentity> helpers;
        for (const auto& record : records) {
            // Learned identities go into the filter configuration like inspected ones, under
            // the same cap.
            const auto& identity = record.identity;
            const bool fits =
                identity.signingIdentifier.size() <= ApplicationInspector::maximumIdentifierSize &&
                (!identity.teamIdentifier ||
                 identity.teamIdentifier->size() <= ApplicationInspector::maximumIdentifierSize);
            if (matcher.matches(record) && fits &&
                BlockedApplication::isBlockableAuxiliary(identity)) {
                helpers.push_back(record.identity);
            }
        }
        learned.push_back(application.addingAuxiliaryIdentities(helpers));
        // Only an inspection makes an entry current: an outdated one that learned helpers still
        // has its re-inspection ahead, also when the one started for it never finished.
        learned.back().inspectionVersion = application.inspectionVersion;
        changed = changed || learned.back() != application;
    }
    if (!changed) {
        return std::nullopt;
    }
    return learned;
}

} // namespace zorvane
