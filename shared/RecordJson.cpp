#include "RecordJson.h"

#include "Base64.h"
#include "Utf8.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace zorvane {

using nlohmann::json;

namespace {

// ---- Writing ---------------------------------------------------------------------------------

json text(const std::string& value) {
    if (Utf8::isValid(value)) {
        return value;
    }
    return Utf8::sanitized(value);
}

json date(Date value) {
    if (!std::isfinite(value.secondsSinceReferenceDate)) {
        return nullptr;
    }
    return value.secondsSinceReferenceDate;
}

void putOptional(json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = text(*value);
    }
}

bool isFinite(Date value) {
    return std::isfinite(value.secondsSinceReferenceDate);
}

bool hasFiniteDates(const NetworkActivityEvent& event) {
    return isFinite(event.firstSeenAt) && isFinite(event.lastSeenAt);
}

bool hasFiniteDates(const DiscoveredNetworkProcess& process) {
    return isFinite(process.firstSeenAt) && isFinite(process.lastSeenAt);
}

bool hasFiniteDates(const TemporaryAccessGrant& grant) {
    return isFinite(grant.expiresAt);
}

template <typename Record> bool haveFiniteDates(const std::vector<Record>& records) {
    for (const auto& record : records) {
        if (!hasFiniteDates(record)) {
            return false;
        }
    }
    return true;
}

std::string dump(const json& value) {
    // Every text was made well-formed already; replacing is the backstop that keeps dump()
    // from throwing whatever reaches it.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// ---- Reading ---------------------------------------------------------------------------------

// Reads the fields of one JSON object; the first problem clears `ok` and every later read
// becomes a no-op, so a record is either read completely or not at all.
class ObjectReader {
public:
    explicit ObjectReader(const json& value) : object_(value), ok_(value.is_object()) {}

    bool ok() const { return ok_; }

    std::string string(const char* key) {
        const json* value = required(key);
        if (!value) {
            return {};
        }
        auto result = stringValue(*value);
        return result ? std::move(*result) : std::string();
    }

    std::optional<std::string> optionalString(const char* key) {
        const json* value = optional(key);
        if (!value) {
            return std::nullopt;
        }
        return stringValue(*value);
    }

    std::int64_t integer(const char* key) {
        const json* value = required(key);
        return value ? integerValue(*value).value_or(0) : 0;
    }

    std::optional<std::int64_t> optionalInteger(const char* key) {
        const json* value = optional(key);
        if (!value) {
            return std::nullopt;
        }
        return integerValue(*value);
    }

    Date date(const char* key) {
        const json* value = required(key);
        if (!value) {
            return {};
        }
        if (!value->is_number()) {
            return fail<Date>();
        }
        const double seconds = value->get<double>();
        if (!std::isfinite(seconds)) {
            return fail<Date>();
        }
        return Date::fromReferenceSeconds(seconds);
    }

    Uuid uuid(const char* key) {
        const auto textValue = string(key);
        if (!ok_) {
            return {};
        }
        const auto parsed = Uuid::parse(textValue);
        return parsed ? *parsed : fail<Uuid>();
    }

    std::optional<std::vector<std::uint8_t>> optionalData(const char* key) {
        const auto textValue = optionalString(key);
        if (!textValue) {
            return std::nullopt;
        }
        auto bytes = Base64::decode(*textValue);
        if (!bytes) {
            ok_ = false;
        }
        return bytes;
    }

    template <typename Element, typename ReadElement>
    std::vector<Element> array(const char* key, ReadElement readElement) {
        const json* value = required(key);
        if (!value) {
            return {};
        }
        return arrayValue<Element>(*value, readElement).value_or(std::vector<Element>{});
    }

    template <typename Element, typename ReadElement>
    std::optional<std::vector<Element>> optionalArray(const char* key, ReadElement readElement) {
        const json* value = optional(key);
        if (!value) {
            return std::nullopt;
        }
        return arrayValue<Element>(*value, readElement);
    }

    // Reads any JSON array; each element through readElement (json -> optional<Element>).
    template <typename Element, typename ReadElement>
    static std::optional<std::vector<Element>> readArray(const json& value,
                                                         ReadElement readElement) {
        if (!value.is_array()) {
            return std::nullopt;
        }
        std::vector<Element> out;
        out.reserve(value.size());
        for (const auto& element : value) {
            auto decoded = readElement(element);
            if (!decoded) {
                return std::nullopt;
            }
            out.push_back(std::move(*decoded));
        }
        return out;
    }

    static std::optional<std::string> readString(const json& value) {
        const auto* pointer = value.get_ptr<const json::string_t*>();
        if (!pointer || !Utf8::isValid(*pointer)) {
            return std::nullopt;
        }
        return *pointer;
    }

private:
    template <typename T> T fail() {
        ok_ = false;
        return T{};
    }

    const json* find(const char* key) const {
        if (!ok_) {
            return nullptr;
        }
        const auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    const json* required(const char* key) {
        const json* value = find(key);
        if (!value) {
            ok_ = false;
        }
        return value;
    }

    const json* optional(const char* key) const {
        const json* value = find(key);
        return value && !value->is_null() ? value : nullptr;
    }

    std::optional<std::string> stringValue(const json& value) {
        auto result = readString(value);
        if (!result) {
            ok_ = false;
        }
        return result;
    }

    std::optional<std::int64_t> integerValue(const json& value) {
        // Fractional numbers, and whole numbers beyond the signed 64-bit range (which the parser
        // keeps as unsigned or as floating point), are not integers here.
        if (value.is_number_integer() && !value.is_number_unsigned()) {
            return value.get<std::int64_t>();
        }
        if (value.is_number_unsigned()) {
            const auto unsignedValue = value.get<std::uint64_t>();
            if (unsignedValue <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(unsignedValue);
            }
        }
        ok_ = false;
        return std::nullopt;
    }

    template <typename Element, typename ReadElement>
    std::optional<std::vector<Element>> arrayValue(const json& value, ReadElement readElement) {
        auto result = readArray<Element>(value, readElement);
        if (!result) {
            ok_ = false;
        }
        return result;
    }

    const json& object_;
    bool ok_;
};

template <typename Record>
std::optional<Record> finish(const ObjectReader& reader, Record&& record) {
    if (!reader.ok()) {
        return std::nullopt;
    }
    return std::move(record);
}

// The top-level guard: nothing thrown inside reading (an allocation failure, or a library
// type error that slipped past the checks) escapes; it counts as a failed document.
template <typename Function> auto guarded(Function function) noexcept -> decltype(function()) {
    try {
        return function();
    } catch (...) {
        return std::nullopt;
    }
}

json parse(std::string_view textValue) {
    return json::parse(textValue.begin(), textValue.end(), nullptr, /*allow_exceptions=*/false,
                       /*ignore_comments=*/false);
}

} // namespace

// ---- Records to JSON
// -----------------------------------------------------------------------------

json RecordJson::toJson(const CodeIdentity& identity) {
    json object = json::object();
    object["signingIdentifier"] = text(identity.signingIdentifier);
    putOptional(object, "teamIdentifier", identity.teamIdentifier);
    return object;
}

json RecordJson::toJson(const BlockedApplication& application) {
    json object = json::object();
    object["id"] = application.id.string();
    object["name"] = text(application.name);
    object["bundleIdentifier"] = text(application.bundleIdentifier);
    object["signingIdentifier"] = text(application.signingIdentifier);
    putOptional(object, "teamIdentifier", application.teamIdentifier);
    if (application.auxiliaryCodeIdentities) {
        object["auxiliaryCodeIdentities"] = toJson(*application.auxiliaryCodeIdentities);
    }
    if (application.auxiliarySigningIdentifiers) {
        json array = json::array();
        for (const auto& identifier : *application.auxiliarySigningIdentifiers) {
            array.push_back(text(identifier));
        }
        object["auxiliarySigningIdentifiers"] = std::move(array);
    }
    if (application.inspectionVersion) {
        object["inspectionVersion"] = *application.inspectionVersion;
    }
    object["path"] = text(application.path);
    if (application.iconData) {
        object["iconData"] = Base64::encode(*application.iconData);
    }
    return object;
}

json RecordJson::toJson(const NetworkActivityEvent& event) {
    json object = json::object();
    putOptional(object, "sourceApplicationIdentifier", event.sourceApplicationIdentifier);
    putOptional(object, "sourceApplicationTeamIdentifier", event.sourceApplicationTeamIdentifier);
    object["processSigningIdentifier"] = text(event.processSigningIdentifier);
    putOptional(object, "processTeamIdentifier", event.processTeamIdentifier);
    putOptional(object, "processExecutablePath", event.processExecutablePath);
    object["destinationHost"] = text(event.destinationHost);
    putOptional(object, "destinationPort", event.destinationPort);
    object["firstSeenAt"] = date(event.firstSeenAt);
    object["lastSeenAt"] = date(event.lastSeenAt);
    object["blockedConnectionCount"] = event.blockedConnectionCount;
    return object;
}

json RecordJson::toJson(const DiscoveredNetworkProcess& process) {
    json object = json::object();
    object["signingIdentifier"] = text(process.signingIdentifier);
    putOptional(object, "teamIdentifier", process.teamIdentifier);
    putOptional(object, "sourceApplicationIdentifier", process.sourceApplicationIdentifier);
    putOptional(object, "sourceApplicationTeamIdentifier", process.sourceApplicationTeamIdentifier);
    putOptional(object, "executablePath", process.executablePath);
    object["firstSeenAt"] = date(process.firstSeenAt);
    object["lastSeenAt"] = date(process.lastSeenAt);
    object["connectionCount"] = process.connectionCount;
    return object;
}

json RecordJson::toJson(const FilterEventEnvelope& envelope) {
    json object = json::object();
    object["authenticationToken"] = text(envelope.authenticationToken);
    object["activityEvents"] = toJson(envelope.activityEvents);
    object["observations"] = toJson(envelope.observations);
    return object;
}

json RecordJson::toJson(const TemporaryAccessGrant& grant) {
    json object = json::object();
    object["applicationID"] = grant.applicationID.string();
    object["applicationName"] = text(grant.applicationName);
    object["applicationBundleIdentifier"] = text(grant.applicationBundleIdentifier);
    json keys = json::array();
    for (const auto& key : grant.codeIdentityKeys) {
        keys.push_back(text(key));
    }
    object["codeIdentityKeys"] = std::move(keys);
    object["applicationPath"] = text(grant.applicationPath);
    object["expiresAt"] = date(grant.expiresAt);
    object["mode"] = std::string(TemporaryAccessGrant::modeText(grant.mode));
    return object;
}

// ---- JSON to records
// -----------------------------------------------------------------------------

std::optional<CodeIdentity> RecordJson::codeIdentityFromJson(const json& value) {
    return guarded([&]() -> std::optional<CodeIdentity> {
        ObjectReader reader(value);
        CodeIdentity identity;
        identity.signingIdentifier = reader.string("signingIdentifier");
        identity.teamIdentifier = reader.optionalString("teamIdentifier");
        return finish(reader, std::move(identity));
    });
}

std::optional<BlockedApplication> RecordJson::blockedApplicationFromJson(const json& value) {
    return guarded([&]() -> std::optional<BlockedApplication> {
        ObjectReader reader(value);
        BlockedApplication application;
        application.id = reader.uuid("id");
        application.name = reader.string("name");
        application.bundleIdentifier = reader.string("bundleIdentifier");
        application.signingIdentifier = reader.string("signingIdentifier");
        application.teamIdentifier = reader.optionalString("teamIdentifier");
        application.auxiliaryCodeIdentities = reader.optionalArray<CodeIdentity>(
            "auxiliaryCodeIdentities", &RecordJson::codeIdentityFromJson);
        application.auxiliarySigningIdentifiers = reader.optionalArray<std::string>(
            "auxiliarySigningIdentifiers", &ObjectReader::readString);
        application.inspectionVersion = reader.optionalInteger("inspectionVersion");
        application.path = reader.string("path");
        application.iconData = reader.optionalData("iconData");
        return finish(reader, std::move(application));
    });
}

std::optional<NetworkActivityEvent> RecordJson::activityEventFromJson(const json& value) {
    return guarded([&]() -> std::optional<NetworkActivityEvent> {
        ObjectReader reader(value);
        NetworkActivityEvent event;
        event.sourceApplicationIdentifier = reader.optionalString("sourceApplicationIdentifier");
        event.sourceApplicationTeamIdentifier =
            reader.optionalString("sourceApplicationTeamIdentifier");
        event.processSigningIdentifier = reader.string("processSigningIdentifier");
        event.processTeamIdentifier = reader.optionalString("processTeamIdentifier");
        event.processExecutablePath = reader.optionalString("processExecutablePath");
        event.destinationHost = reader.string("destinationHost");
        event.destinationPort = reader.optionalString("destinationPort");
        event.firstSeenAt = reader.date("firstSeenAt");
        event.lastSeenAt = reader.date("lastSeenAt");
        event.blockedConnectionCount = reader.integer("blockedConnectionCount");
        return finish(reader, std::move(event));
    });
}

std::optional<DiscoveredNetworkProcess> RecordJson::discoveredProcessFromJson(const json& value) {
    return guarded([&]() -> std::optional<DiscoveredNetworkProcess> {
        ObjectReader reader(value);
        DiscoveredNetworkProcess process;
        process.signingIdentifier = reader.string("signingIdentifier");
        process.teamIdentifier = reader.optionalString("teamIdentifier");
        process.sourceApplicationIdentifier = reader.optionalString("sourceApplicationIdentifier");
        process.sourceApplicationTeamIdentifier =
            reader.optionalString("sourceApplicationTeamIdentifier");
        process.executablePath = reader.optionalString("executablePath");
        process.firstSeenAt = reader.date("firstSeenAt");
        process.lastSeenAt = reader.date("lastSeenAt");
        process.connectionCount = reader.integer("connectionCount");
        return finish(reader, std::move(process));
    });
}

std::optional<FilterEventEnvelope> RecordJson::envelopeFromJson(const json& value) {
    return guarded([&]() -> std::optional<FilterEventEnvelope> {
        ObjectReader reader(value);
        FilterEventEnvelope envelope;
        envelope.authenticationToken = reader.string("authenticationToken");
        envelope.activityEvents = reader.array<NetworkActivityEvent>(
            "activityEvents", &RecordJson::activityEventFromJson);
        envelope.observations = reader.array<DiscoveredNetworkProcess>(
            "observations", &RecordJson::discoveredProcessFromJson);
        return finish(reader, std::move(envelope));
    });
}

std::optional<TemporaryAccessGrant> RecordJson::temporaryAccessGrantFromJson(const json& value) {
    return guarded([&]() -> std::optional<TemporaryAccessGrant> {
        ObjectReader reader(value);
        TemporaryAccessGrant grant;
        grant.applicationID = reader.uuid("applicationID");
        grant.applicationName = reader.string("applicationName");
        grant.applicationBundleIdentifier = reader.string("applicationBundleIdentifier");
        grant.codeIdentityKeys =
            reader.array<std::string>("codeIdentityKeys", &ObjectReader::readString);
        grant.applicationPath = reader.string("applicationPath");
        grant.expiresAt = reader.date("expiresAt");
        const auto modeText = reader.string("mode");
        if (!reader.ok()) {
            return std::nullopt;
        }
        const auto mode = TemporaryAccessGrant::modeFromText(modeText);
        if (!mode) {
            return std::nullopt;
        }
        grant.mode = *mode;
        return grant;
    });
}

std::optional<std::vector<BlockedApplication>>
RecordJson::blockedApplicationsFromJson(const json& value) {
    return guarded([&] {
        return ObjectReader::readArray<BlockedApplication>(value,
                                                           &RecordJson::blockedApplicationFromJson);
    });
}

std::optional<std::vector<NetworkActivityEvent>>
RecordJson::activityEventsFromJson(const json& value) {
    return guarded([&] {
        return ObjectReader::readArray<NetworkActivityEvent>(value,
                                                             &RecordJson::activityEventFromJson);
    });
}

std::optional<std::vector<DiscoveredNetworkProcess>>
RecordJson::discoveredProcessesFromJson(const json& value) {
    return guarded([&] {
        return ObjectReader::readArray<DiscoveredNetworkProcess>(
            value, &RecordJson::discoveredProcessFromJson);
    });
}

std::optional<std::vector<TemporaryAccessGrant>>
RecordJson::temporaryAccessGrantsFromJson(const json& value) {
    return guarded([&] {
        return ObjectReader::readArray<TemporaryAccessGrant>(
            value, &RecordJson::temporaryAccessGrantFromJson);
    });
}

// ---- Texts
// ---------------------------------------------------------------------------------------

std::optional<std::string> RecordJson::encodeEnvelope(const FilterEventEnvelope& envelope) {
    if (!haveFiniteDates(envelope.activityEvents) || !haveFiniteDates(envelope.observations)) {
        return std::nullopt;
    }
    return dump(toJson(envelope));
}

std::string
RecordJson::encodeBlockedApplications(const std::vector<BlockedApplication>& applications) {
    return dump(toJson(applications));
}

std::optional<std::string>
RecordJson::encodeTemporaryAccessGrants(const std::vector<TemporaryAccessGrant>& grants) {
    if (!haveFiniteDates(grants)) {
        return std::nullopt;
    }
    return dump(toJson(grants));
}

std::optional<std::string>
RecordJson::encodeActivityEvents(const std::vector<NetworkActivityEvent>& events) {
    if (!haveFiniteDates(events)) {
        return std::nullopt;
    }
    return dump(toJson(events));
}

std::optional<std::string>
RecordJson::encodeDiscoveredProcesses(const std::vector<DiscoveredNetworkProcess>& processes) {
    if (!haveFiniteDates(processes)) {
        return std::nullopt;
    }
    return dump(toJson(processes));
}

std::optional<FilterEventEnvelope> RecordJson::decodeEnvelope(std::string_view textValue) {
    return guarded([&] { return envelopeFromJson(parse(textValue)); });
}

std::optional<std::vector<BlockedApplication>>
RecordJson::decodeBlockedApplications(std::string_view textValue) {
    return guarded([&] { return blockedApplicationsFromJson(parse(textValue)); });
}

std::optional<std::vector<TemporaryAccessGrant>>
RecordJson::decodeTemporaryAccessGrants(std::string_view textValue) {
    return guarded([&] { return temporaryAccessGrantsFromJson(parse(textValue)); });
}

std::optional<std::vector<NetworkActivityEvent>>
RecordJson::decodeActivityEvents(std::string_view textValue) {
    return guarded([&] { return activityEventsFromJson(parse(textValue)); });
}

std::optional<std::vector<DiscoveredNetworkProcess>>
RecordJson::decodeDiscoveredProcesses(std::string_view textValue) {
    return guarded([&] { return discoveredProcessesFromJson(parse(textValue)); });
}

} // namespace zorvane
