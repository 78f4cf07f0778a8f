#pragma once

#include "app/filter-control/FilterRules.h"
#include "shared/OwnIdentifier.h"

#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// Brings a rule set into the form the filter configuration carries, so that nothing the filter
// would have to skip, and nothing that names this program, is ever saved:
// - code identity keys are read strictly (first "." splits, strict Base64, UTF-8), a key with an
//   empty signing identifier or an own signing identifier is dropped, the team is trimmed, and
//   the key is written again in its one canonical form;
// - application paths are standardised as file paths (relative to the current directory) and
//   kept only when they end in ".app";
// - lists lose their duplicates, keeping the first occurrence and the order;
// - allowances that end at or before now drop out; the keys and paths of the others are
//   normalised as above, and when two entries become one, the later end wins.
class FilterRuleNormalizer {
public:
    FilterRuleNormalizer(OwnIdentifier ownIdentifier, std::string currentDirectory);

    std::optional<std::string> normalizedKey(std::string_view key) const;
    std::optional<std::string> normalizedPath(std::string_view path) const;

    // nowUnixSeconds: seconds since 1970-01-01 00:00:00 UTC.
    FilterRules normalized(const FilterRules& rules, double nowUnixSeconds) const;

private:
    OwnIdentifier ownIdentifier_;
    std::string currentDirectory_;
};

} // namespace zorvane
