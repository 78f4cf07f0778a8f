#pragma once

#include "shared/PlistValue.h"

#include <optional>
#include <string>

namespace zorvane {

// The saved content-filter configuration, as the system's filter preferences hold it: whether the
// filter is enabled, its description, and the provider configuration whose vendor dictionary
// carries the rule set and the event channel to the filter.
struct FilterConfiguration {
    struct ProviderConfiguration {
        bool filterSockets = false;
        std::string filterDataProviderBundleIdentifier;
        // Absent when the configuration has no vendor dictionary at all.
        std::optional<PlistDictionary> vendorConfiguration;

        friend bool operator==(const ProviderConfiguration&,
                               const ProviderConfiguration&) = default;
    };

    bool enabled = false;
    std::string localizedDescription;
    std::optional<ProviderConfiguration> providerConfiguration;

    // The dictionary the running provider gets; null when there is none.
    const PlistDictionary* vendorConfiguration() const {
        return providerConfiguration && providerConfiguration->vendorConfiguration
                   ? &*providerConfiguration->vendorConfiguration
                   : nullptr;
    }

    friend bool operator==(const FilterConfiguration&, const FilterConfiguration&) = default;
};

} // namespace zorvane
