#pragma once

#include <map>
#include <string>
#include <vector>

namespace zorvane {

// The rule set the block store derives for the filter: blocked code identity keys, blocked
// application bundle paths, and temporary allowances of each kind with the instant they end, in
// seconds since 1970-01-01 00:00:00 UTC.
struct FilterRules {
    std::vector<std::string> blockedCodeIdentityKeys;
    std::vector<std::string> blockedApplicationPaths;
    std::map<std::string, double> temporarilyAllowedCodeIdentities;
    std::map<std::string, double> temporarilyAllowedApplicationPaths;

    friend bool operator==(const FilterRules&, const FilterRules&) = default;
};

} // namespace zorvane
