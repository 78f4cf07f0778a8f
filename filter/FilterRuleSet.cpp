#include "filter/FilterRuleSet.h"

#include "shared/BundlePath.h"
#include "shared/CodeIdentity.h"
#include "shared/OwnIdentifier.h"
#include "shared/Utf8.h"

#include <cmath>

namespace zorvane {
namespace {

const PlistValue* lookUp(const PlistDictionary* dictionary, std::string_view key) {
    if (!dictionary) {
        return nullptr;
    }
    const auto it = dictionary->find(std::string(key));
    return it == dictionary->end() ? nullptr : &it->second;
}

// An array of texts; one element of another type makes the whole value count as missing.
const PlistArray* textArray(const PlistDictionary* dictionary, std::string_view key) {
    const PlistValue* value = lookUp(dictionary, key);
    const PlistArray* array = value ? value->array() : nullptr;
    if (!array) {
        return nullptr;
    }
    for (const auto& element : *array) {
        if (!element.isString()) {
            return nullptr;
        }
    }
    return array;
}

// A dictionary of numbers; one value of another type makes the whole value count as missing.
const PlistDictionary* numberDictionary(const PlistDictionary* dictionary, std::string_view key) {
    const PlistValue* value = lookUp(dictionary, key);
    const PlistDictionary* inner = value ? value->dictionary() : nullptr;
    if (!inner) {
        return nullptr;
    }
    for (const auto& [entryKey, entryValue] : *inner) {
        if (!entryValue.isNumber()) {
            return nullptr;
        }
    }
    return inner;
}

std::optional<std::uint16_t> portFrom(const PlistValue* value) {
    if (!value) {
        return std::nullopt;
    }
    if (const auto* integer = value->integer()) {
        if (*integer >= 1 && *integer <= 65535) {
            return static_cast<std::uint16_t>(*integer);
        }
        return std::nullopt;
    }
    if (const auto* real = value->real()) {
        // Checked before converting: NaN, infinities and huge values have no integer value.
        const double truncated = std::trunc(*real);
        if (std::isfinite(truncated) && truncated >= 1.0 && truncated <= 65535.0) {
            return static_cast<std::uint16_t>(truncated);
        }
    }
    return std::nullopt;
}

// Executable paths reach the rules as text with every ill-formed byte replaced; a configured
// path must be read the same way, or a bundle whose name is not valid UTF-8 could never match.
std::string bundlePathOf(const std::string& configured, std::string_view currentDirectory) {
    return BundlePath::standardized(Utf8::sanitized(configured), currentDirectory);
}

} // namespace

std::shared_ptr<const FilterRuleSet>
FilterRuleSet::derive(std::shared_ptr<const PlistDictionary> vendorConfiguration,
                      const OwnIdentifier& ownIdentifier, std::string_view currentDirectory) {
    std::shared_ptr<FilterRuleSet> rules(new FilterRuleSet());
    const PlistDictionary* dictionary = vendorConfiguration.get();
    rules->vendorConfiguration_ = std::move(vendorConfiguration);

    if (const auto* entries = textArray(dictionary, codeIdentitiesKey)) {
        for (const auto& entry : *entries) {
            const auto identity = CodeIdentity::fromKey(*entry.string());
            if (!identity || identity->signingIdentifier.empty() ||
                ownIdentifier.isOwnIdentifier(identity->signingIdentifier)) {
                continue;
            }
            rules->blockedIdentityKeys_.insert(identity->key());
        }
    }

    if (const auto* entries = textArray(dictionary, applicationPathsKey)) {
        for (const auto& entry : *entries) {
            auto path = bundlePathOf(*entry.string(), currentDirectory);
            if (!BundlePath::hasBundleSuffix(path)) {
                continue;
            }
            rules->blockedBundlePathSet_.insert(path);
            rules->blockedBundlePaths_.push_back(std::move(path));
        }
    }

    if (const auto* entries = numberDictionary(dictionary, temporaryAllowedCodeIdentitiesKey)) {
        for (const auto& [key, value] : *entries) {
            rules->temporaryIdentityExpiries_.emplace(key, *value.numberValue());
        }
    }

    if (const auto* entries = numberDictionary(dictionary, temporaryAllowedApplicationPathsKey)) {
        for (const auto& [key, value] : *entries) {
            auto path = bundlePathOf(key, currentDirectory);
            if (!BundlePath::hasBundleSuffix(path)) {
                continue;
            }
            // Two spellings of one bundle: the later end wins, as it would when the
            // application merges allowances.
            const double expiry = *value.numberValue();
            auto [it, inserted] =
                rules->temporaryBundlePathExpiries_.emplace(std::move(path), expiry);
            if (!inserted && !(it->second >= expiry)) {
                it->second = expiry;
            }
        }
    }

    rules->eventChannelPort_ = portFrom(lookUp(dictionary, eventChannelPortKey));

    if (const auto* value = lookUp(dictionary, eventChannelTokenKey)) {
        if (const auto* token = value->string();
            token && token->size() >= minimumEventChannelTokenBytes) {
            rules->eventChannelToken_ = *token;
        }
    }

    return rules;
}

bool FilterRuleSet::blocksExecutablePath(std::string_view executablePath) const {
    if (blockedBundlePathSet_.empty()) {
        return false;
    }
    return BundlePath::anyBundleCandidate(executablePath, [this](std::string_view candidate) {
        return blockedBundlePathSet_.find(candidate) != blockedBundlePathSet_.end();
    });
}

bool FilterRuleSet::allowsIdentityKeyAt(std::string_view identityKey, double unixNow) const {
    // A key without an entry has no allowance, even for a clock set before 1970.
    const auto it = temporaryIdentityExpiries_.find(identityKey);
    return it != temporaryIdentityExpiries_.end() && unixNow < it->second;
}

bool FilterRuleSet::allowsExecutablePathAt(std::string_view executablePath, double unixNow) const {
    if (temporaryBundlePathExpiries_.empty()) {
        return false;
    }
    return BundlePath::anyBundleCandidate(executablePath, [&](std::string_view candidate) {
        const auto it = temporaryBundlePathExpiries_.find(candidate);
        return it != temporaryBundlePathExpiries_.end() && unixNow < it->second;
    });
}

} // namespace zorvane
