#include "app/filter-control/FilterVendorConfiguration.h"

#include <cmath>

namespace zorvane {
namespace {

const PlistValue* lookUp(const PlistDictionary* dictionary, const char* key) {
    if (!dictionary) {
        return nullptr;
    }
    auto found = dictionary->find(key);
    return found == dictionary->end() ? nullptr : &found->second;
}

std::optional<std::int64_t> asInteger(const PlistValue* value) {
    if (!value) {
        return std::nullopt;
    }
    if (const auto* integer = value->integer()) {
        return *integer;
    }
    // A real read as an integer truncates; values no integer can hold match no port.
    if (const auto* real = value->real();
        real && std::isfinite(*real) && std::fabs(*real) < 9.0e18) {
        return static_cast<std::int64_t>(*real);
    }
    return std::nullopt;
}

PlistArray texts(const std::vector<std::string>& entries) {
    return PlistArray(entries.begin(), entries.end());
}

PlistDictionary expiries(const std::map<std::string, double>& entries) {
    PlistDictionary result;
    for (const auto& [key, end] : entries) {
        result.emplace(key, end);
    }
    return result;
}

} // namespace

PlistDictionary FilterVendorConfiguration::make(const FilterRules& rules,
                                                const std::optional<EventChannel>& channel,
                                                const PlistDictionary* stored) {
    PlistDictionary vendor{
        {codeIdentitiesKey, texts(rules.blockedCodeIdentityKeys)},
        {signingIdentifiersKey, PlistArray{}},
        {applicationPathsKey, texts(rules.blockedApplicationPaths)},
        {temporaryAllowedCodeIdentitiesKey, expiries(rules.temporarilyAllowedCodeIdentities)},
        {temporaryAllowedApplicationPathsKey, expiries(rules.temporarilyAllowedApplicationPaths)},
    };
    if (channel) {
        vendor.emplace(eventChannelPortKey, static_cast<std::int64_t>(channel->port));
        vendor.emplace(eventChannelTokenKey, channel->token);
        vendor.emplace(eventChannelProtocolVersionKey, eventChannelProtocolVersion);
        return vendor;
    }
    const PlistValue* port = lookUp(stored, eventChannelPortKey);
    const PlistValue* token = lookUp(stored, eventChannelTokenKey);
    if (port && port->isInteger() && token && token->isString()) {
        vendor.emplace(eventChannelPortKey, *port);
        vendor.emplace(eventChannelTokenKey, *token);
        if (const PlistValue* version = lookUp(stored, eventChannelProtocolVersionKey);
            version && version->isInteger()) {
            vendor.emplace(eventChannelProtocolVersionKey, *version);
        }
    }
    return vendor;
}

bool FilterVendorConfiguration::holdsChannel(const PlistDictionary* stored,
                                             const EventChannel& channel) {
    const auto port = asInteger(lookUp(stored, eventChannelPortKey));
    const PlistValue* token = lookUp(stored, eventChannelTokenKey);
    const PlistValue* version = lookUp(stored, eventChannelProtocolVersionKey);
    return port && *port == channel.port && token && token->string() &&
           *token->string() == channel.token && version && version->integer() &&
           *version->integer() == eventChannelProtocolVersion;
}

} // namespace zorvane
