#pragma once

#include "shared/EventChannel.h"
#include "app/filter-control/FilterRules.h"
#include "shared/PlistValue.h"

#include <optional>

namespace zorvane {

// The vendor dictionary of the filter configuration as the application writes it.
class FilterVendorConfiguration {
public:
    static constexpr const char* codeIdentitiesKey = "blockedCodeIdentities";
    static constexpr const char* signingIdentifiersKey = "blockedSigningIdentifiers";
    static constexpr const char* applicationPathsKey = "blockedApplicationPaths";
    static constexpr const char* temporaryAllowedCodeIdentitiesKey =
        "temporaryAllowedCodeIdentities";
    static constexpr const char* temporaryAllowedApplicationPathsKey =
        "temporaryAllowedApplicationPaths";
    static constexpr const char* eventChannelPortKey = "eventChannelPort";
    static constexpr const char* eventChannelTokenKey = "eventChannelToken";
    static constexpr const char* eventChannelProtocolVersionKey = "eventChannelProtocolVersion";
    static constexpr std::int64_t eventChannelProtocolVersion = 1;

    // The dictionary for these (normalised) rules. The channel entries come from the published
    // channel; without one they are carried over from the stored dictionary when it holds a port
    // (integer) and a token (text), with its protocol version when that is an integer.
    static PlistDictionary make(const FilterRules& rules,
                                const std::optional<EventChannel>& channel,
                                const PlistDictionary* stored);

    // Whether the stored dictionary already names this channel: its port (an integer, or a
    // number taken as an integer), its token, and protocol version 1.
    static bool holdsChannel(const PlistDictionary* stored, const EventChannel& channel);
};

} // namespace zorvane
