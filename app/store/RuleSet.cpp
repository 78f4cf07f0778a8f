#include "app/store/RuleSet.h"

#include <algorithm>
#include <unordered_set>

namespace zorvane {
namespace {

void raiseExpiry(std::map<std::string, double>& expiries, const std::string& key, double expiry) {
    auto [entry, inserted] = expiries.try_emplace(key, expiry);
    if (!inserted) {
        entry->second = std::max(entry->second, expiry);
    }
}

} // namespace

RuleSet RuleSet::derive(const std::vector<BlockedApplication>& applications,
                        const std::vector<TemporaryAccessGrant>& grants, Date now,
                        const OwnIdentifier& ownIdentifier) {
    RuleSet rules;
    std::unordered_set<std::string> seenKeys;
    for (const auto& application : applications) {
        for (const auto& identity : application.blockingCodeIdentities()) {
            if (ownIdentifier.isOwnIdentifier(identity.signingIdentifier)) {
                continue;
            }
            std::string key = identity.key();
            if (seenKeys.insert(key).second) {
                rules.blockedCodeIdentityKeys.push_back(std::move(key));
            }
        }
        rules.blockedApplicationPaths.push_back(application.path);
    }
    for (const auto& grant : grants) {
        if (!(grant.expiresAt > now)) {
            continue;
        }
        const double expiry = grant.expiresAt.unixSeconds();
        for (const auto& key : grant.codeIdentityKeys) {
            raiseExpiry(rules.temporarilyAllowedCodeIdentities, key, expiry);
        }
        raiseExpiry(rules.temporarilyAllowedApplicationPaths, grant.applicationPath, expiry);
    }
    return rules;
}

FilterRules RuleSet::filterRules() const& {
    return RuleSet(*this).filterRules();
}

FilterRules RuleSet::filterRules() && {
    return FilterRules{std::move(blockedCodeIdentityKeys), std::move(blockedApplicationPaths),
                       std::move(temporarilyAllowedCodeIdentities),
                       std::move(temporarilyAllowedApplicationPaths)};
}

} // namespace zorvane
