#pragma once

#include "BlockedApplication.h"
#include "CodeIdentity.h"
#include "DiscoveredNetworkProcess.h"
#include "FilterEventEnvelope.h"
#include "NetworkActivityEvent.h"
#include "TemporaryAccessGrant.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// The JSON forms of the shared records, the same for both deliverables.
//
// Writing: absent optionals are left out; dates are seconds since 2001-01-01 as JSON numbers;
// UUIDs upper-case canonical; icon data standard Base64; texts are made well-formed UTF-8 (any
// ill-formed sequence becomes U+FFFD) so that writing never fails on them.
//
// Reading is strict and all-or-nothing: a missing required key, a value of the wrong JSON type
// (including a fractional number, or an integer beyond the signed 64-bit range, for an integer
// field; a non-finite date; a malformed UUID, Base64 text or mode) fails the whole document, a
// list included. JSON null reads as absent for an optional field; unknown keys are ignored.
// Nothing here throws.
class RecordJson {
public:
    // Record to JSON. A non-finite date has no JSON number; it is written as null, which reading
    // refuses. The text-level encoders below refuse such records instead.
    static nlohmann::json toJson(const CodeIdentity& identity);
    static nlohmann::json toJson(const BlockedApplication& application);
    static nlohmann::json toJson(const NetworkActivityEvent& event);
    static nlohmann::json toJson(const DiscoveredNetworkProcess& process);
    static nlohmann::json toJson(const FilterEventEnvelope& envelope);
    static nlohmann::json toJson(const TemporaryAccessGrant& grant);
    template <typename Record> static nlohmann::json toJson(const std::vector<Record>& records) {
        auto array = nlohmann::json::array();
        for (const auto& record : records) {
            array.push_back(toJson(record));
        }
        return array;
    }

    // JSON to record. A stored CodeIdentity is taken as written (no trimming).
    static std::optional<CodeIdentity> codeIdentityFromJson(const nlohmann::json& json);
    static std::optional<BlockedApplication> blockedApplicationFromJson(const nlohmann::json& json);
    static std::optional<NetworkActivityEvent> activityEventFromJson(const nlohmann::json& json);
    static std::optional<DiscoveredNetworkProcess>
    discoveredProcessFromJson(const nlohmann::json& json);
    static std::optional<FilterEventEnvelope> envelopeFromJson(const nlohmann::json& json);
    static std::optional<TemporaryAccessGrant>
    temporaryAccessGrantFromJson(const nlohmann::json& json);

    static std::optional<std::vector<BlockedApplication>>
    blockedApplicationsFromJson(const nlohmann::json& json);
    static std::optional<std::vector<NetworkActivityEvent>>
    activityEventsFromJson(const nlohmann::json& json);
    static std::optional<std::vector<DiscoveredNetworkProcess>>
    discoveredProcessesFromJson(const nlohmann::json& json);
    static std::optional<std::vector<TemporaryAccessGrant>>
    temporaryAccessGrantsFromJson(const nlohmann::json& json);

    // Compact UTF-8 JSON text. Records with dates fail only when one holds a non-finite date,
    // which no JSON number can carry.
    static std::optional<std::string> encodeEnvelope(const FilterEventEnvelope& envelope);
    static std::string
    encodeBlockedApplications(const std::vector<BlockedApplication>& applications);
    static std::optional<std::string>
    encodeTemporaryAccessGrants(const std::vector<TemporaryAccessGrant>& grants);
    static std::optional<std::string>
    encodeActivityEvents(const std::vector<NetworkActivityEvent>& events);
    static std::optional<std::string>
    encodeDiscoveredProcesses(const std::vector<DiscoveredNetworkProcess>& processes);

    // Parses and reads a whole document; malformed JSON, ill-formed UTF-8 or any of the reading
    // failures above give nothing.
    static std::optional<FilterEventEnvelope> decodeEnvelope(std::string_view text);
    static std::optional<std::vector<BlockedApplication>>
    decodeBlockedApplications(std::string_view text);
    static std::optional<std::vector<TemporaryAccessGrant>>
    decodeTemporaryAccessGrants(std::string_view text);
    static std::optional<std::vector<NetworkActivityEvent>>
    decodeActivityEvents(std::string_view text);
    static std::optional<std::vector<DiscoveredNetworkProcess>>
    decodeDiscoveredProcesses(std::string_view text);
};

} // namespace zorvane
