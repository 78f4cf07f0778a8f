#include "app/filter-control/FilterRuleNormalizer.h"

#include "shared/BundlePath.h"
#include "shared/CodeIdentity.h"

#include <unordered_set>

namespace zorvane {
namespace {

template <typename Normalize>
std::vector<std::string> uniqueNormalized(const std::vector<std::string>& entries,
                                          Normalize normalize) {
    std::vector<std::string> result;
    std::unordered_set<std::string> seen;
    for (const auto& entry : entries) {
        if (auto normalized = normalize(entry); normalized && seen.insert(*normalized).second) {
            result.push_back(std::move(*normalized));
        }
    }
    return result;
}

template <typename Normalize>
std::map<std::string, double> liveNormalized(const std::map<std::string, double>& entries,
                                             double now, Normalize normalize) {
    std::map<std::string, double> result;
    for (const auto& [key, end] : entries) {
        // Written so that a NaN end drops out as well.
        if (!(end > now)) {
            continue;
        }
        if (auto normalized = normalize(key)) {
            auto [position, inserted] = result.emplace(std::move(*normalized), end);
            if (!inserted && position->second < end) {
                position->second = end;
            }
        }
    }
    return result;
}

} // namespace

FilterRuleNormalizer::FilterRuleNormalizer(OwnIdentifier ownIdentifier,
                                           std::string currentDirectory)
    : ownIdentifier_(std::move(ownIdentifier)), currentDirectory_(std::move(currentDirectory)) {}

std::optional<std::string> FilterRuleNormalizer::normalizedKey(std::string_view key) const {
    const auto identity = CodeIdentity::fromKey(key);
    if (!identity || identity->signingIdentifier.empty() ||
        ownIdentifier_.isOwnIdentifier(identity->signingIdentifier)) {
        return std::nullopt;
    }
    return identity->key();
}

std::optional<std::string> FilterRuleNormalizer::normalizedPath(std::string_view path) const {
    std::string standardized = BundlePath::standardized(path, currentDirectory_);
    if (!BundlePath::hasBundleSuffix(standardized)) {
        return std::nullopt;
    }
    return standardized;
}

FilterRules FilterRuleNormalizer::normalized(const FilterRules& rules,
                                             double nowUnixSeconds) const {
    auto key = [this](const std::string& entry) { return normalizedKey(entry); };
    auto path = [this](const std::string& entry) { return normalizedPath(entry); };
    FilterRules result;
    result.blockedCodeIdentityKeys = uniqueNormalized(rules.blockedCodeIdentityKeys, key);
    result.blockedApplicationPaths = uniqueNormalized(rules.blockedApplicationPaths, path);
    result.temporarilyAllowedCodeIdentities =
        liveNormalized(rules.temporarilyAllowedCodeIdentities, nowUnixSeconds, key);
    result.temporarilyAllowedApplicationPaths =
        liveNormalized(rules.temporarilyAllowedApplicationPaths, nowUnixSeconds, path);
    return result;
}

} // namespace zorvane
