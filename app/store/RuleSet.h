#pragma once

#include "app/filter-control/FilterRules.h"
#include "shared/BlockedApplication.h"
#include "shared/Date.h"
#include "shared/OwnIdentifier.h"
#include "shared/TemporaryAccessGrant.h"

#include <map>
#include <string>
#include <vector>

namespace zorvane {

// What the filter is told to do: the four values written into the filter configuration. Derived
// afresh from the block list and the grants every time it is needed, by the window process and
// the status agent alike, so that both push the same rules for the same state.
struct RuleSet {
    // Code identity keys, first occurrence kept, in list order.
    std::vector<std::string> blockedCodeIdentityKeys;
    // Each application's path as listed; the filter controller normalises them.
    std::vector<std::string> blockedApplicationPaths;
    // Key -> expiry in seconds since 1970; the latest expiry of the active grants wins.
    std::map<std::string, double> temporarilyAllowedCodeIdentities;
    // Application path -> expiry in seconds since 1970; likewise.
    std::map<std::string, double> temporarilyAllowedApplicationPaths;

    // Identities of the program itself are never blocked, whatever the list says. Grants count
    // only while their expiry is later than `now`.
    static RuleSet derive(const std::vector<BlockedApplication>& applications,
                          const std::vector<TemporaryAccessGrant>& grants, Date now,
                          const OwnIdentifier& ownIdentifier);

    // The same four values in the form the filter controller takes.
    FilterRules filterRules() const&;
    FilterRules filterRules() &&;

    friend bool operator==(const RuleSet&, const RuleSet&) = default;
};

} // namespace zorvane
