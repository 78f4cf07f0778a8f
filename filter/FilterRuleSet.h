#pragma once

#include "shared/PlistValue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zorvane {

class OwnIdentifier;

// Hashing that lets the rule set's tables be probed with string_views of an executable path.
struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

using StringSet = std::unordered_set<std::string, TransparentStringHash, std::equal_to<>>;
template <typename Value>
using StringMap = std::unordered_map<std::string, Value, TransparentStringHash, std::equal_to<>>;

// One vendor dictionary of the filter configuration together with everything the verdict reads
// from it. Immutable: deriving it once per configuration answers every decision exactly as a
// fresh reading of that same dictionary would, without paying for Base64 and path work per flow.
class FilterRuleSet {
public:
    static constexpr std::string_view codeIdentitiesKey = "blockedCodeIdentities";
    static constexpr std::string_view applicationPathsKey = "blockedApplicationPaths";
    static constexpr std::string_view temporaryAllowedCodeIdentitiesKey =
        "temporaryAllowedCodeIdentities";
    static constexpr std::string_view temporaryAllowedApplicationPathsKey =
        "temporaryAllowedApplicationPaths";
    static constexpr std::string_view eventChannelPortKey = "eventChannelPort";
    static constexpr std::string_view eventChannelTokenKey = "eventChannelToken";

    static constexpr std::size_t minimumEventChannelTokenBytes = 64;

    // Reads the dictionary (null: no configuration at all, every key missing). Relative bundle
    // paths are taken relative to currentDirectory.
    static std::shared_ptr<const FilterRuleSet>
    derive(std::shared_ptr<const PlistDictionary> vendorConfiguration,
           const OwnIdentifier& ownIdentifier, std::string_view currentDirectory);

    // The dictionary this rule set was read from; null when there was none.
    const std::shared_ptr<const PlistDictionary>& vendorConfiguration() const {
        return vendorConfiguration_;
    }

    // Validated, re-encoded code identity keys; the system's own code is never among them.
    const StringSet& blockedIdentityKeys() const { return blockedIdentityKeys_; }
    // Standardised bundle paths ending in ".app", in dictionary order (duplicates kept).
    const std::vector<std::string>& blockedBundlePaths() const { return blockedBundlePaths_; }
    // Code identity key (as written) → end of the allowance, seconds since 1970.
    const StringMap<double>& temporaryIdentityExpiries() const {
        return temporaryIdentityExpiries_;
    }
    // Standardised bundle path → end of the allowance, seconds since 1970.
    const StringMap<double>& temporaryBundlePathExpiries() const {
        return temporaryBundlePathExpiries_;
    }
    std::optional<std::uint16_t> eventChannelPort() const { return eventChannelPort_; }
    const std::optional<std::string>& eventChannelToken() const { return eventChannelToken_; }

    bool blocksIdentityKey(std::string_view identityKey) const {
        return blockedIdentityKeys_.find(identityKey) != blockedIdentityKeys_.end();
    }
    // Whether the executable lies under one of the blocked bundle paths.
    bool blocksExecutablePath(std::string_view executablePath) const;
    // Whether a temporary allowance for the key is still in force at unixNow (strictly before
    // its end).
    bool allowsIdentityKeyAt(std::string_view identityKey, double unixNow) const;
    // Whether a temporary allowance of a bundle that holds the executable is still in force.
    bool allowsExecutablePathAt(std::string_view executablePath, double unixNow) const;

private:
    FilterRuleSet() = default;

    std::shared_ptr<const PlistDictionary> vendorConfiguration_;
    StringSet blockedIdentityKeys_;
    std::vector<std::string> blockedBundlePaths_;
    StringSet blockedBundlePathSet_;
    StringMap<double> temporaryIdentityExpiries_;
    StringMap<double> temporaryBundlePathExpiries_;
    std::optional<std::uint16_t> eventChannelPort_;
    std::optional<std::string> eventChannelToken_;
};

} // namespace zorvane
