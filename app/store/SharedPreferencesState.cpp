#include "app/store/SharedPreferencesState.h"

#include "shared/PlistCodec.h"
#include "shared/RecordJson.h"

#include <algorithm>

namespace zorvane {
namespace {

PlistData bytes(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

// The stored value's text: its bytes when it holds data, else its property-list form (a value
// of another kind is no list either, but it is kept like one).
std::optional<std::string> anyStoredText(const Preferences& preferences, const std::string& key) {
    auto value = preferences.value(key);
    if (!value) {
        return std::nullopt;
    }
    if (const auto* data = value->data()) {
        return std::string(data->begin(), data->end());
    }
    return PlistCodec::toXml(*value);
}

// The stored text as JSON elements; nothing when it is no JSON list.
std::optional<nlohmann::json> storedArray(std::string_view text) {
    try {
        auto parsed = nlohmann::json::parse(text.begin(), text.end(), nullptr,
                                            /*allow_exceptions=*/false);
        if (!parsed.is_array()) {
            return std::nullopt;
        }
        return parsed;
    } catch (...) {
        return std::nullopt;
    }
}

template <typename Record, typename ReadElement>
std::optional<SharedPreferencesState::StoredList<Record>>
readList(const Preferences& preferences, const std::string& key, ReadElement readElement) {
    auto text = anyStoredText(preferences, key);
    if (!text) {
        return std::nullopt;
    }
    SharedPreferencesState::StoredList<Record> list;
    list.storedText = std::move(*text);
    const auto elements = storedArray(list.storedText);
    if (!elements) {
        list.unreadableEntries = 1;
        return list;
    }
    for (const auto& element : *elements) {
        if (auto record = readElement(element)) {
            list.records.push_back(std::move(*record));
        } else {
            ++list.unreadableEntries;
        }
    }
    return list;
}

template <typename Record>
std::optional<std::vector<Record>>
readableRecords(std::optional<SharedPreferencesState::StoredList<Record>> list) {
    if (!list || (list->records.empty() && list->unreadableEntries > 0)) {
        return std::nullopt;
    }
    return std::move(list->records);
}

} // namespace

std::optional<std::string> SharedPreferencesState::storedText(const Preferences& preferences,
                                                              const std::string& key) {
    auto value = preferences.value(key);
    if (!value || !value->data()) {
        return std::nullopt;
    }
    const auto& data = *value->data();
    return std::string(data.begin(), data.end());
}

std::optional<bool> SharedPreferencesState::storedBoolean(const Preferences& preferences,
                                                          const std::string& key) {
    auto value = preferences.value(key);
    if (!value || !value->isBoolean()) {
        return std::nullopt;
    }
    return *value->boolean();
}

std::optional<SharedPreferencesState::StoredList<BlockedApplication>>
SharedPreferencesState::readApplications(const Preferences& preferences) {
    return readList<BlockedApplication>(preferences, applicationsKey,
                                        &RecordJson::blockedApplicationFromJson);
}

std::optional<SharedPreferencesState::StoredList<TemporaryAccessGrant>>
SharedPreferencesState::readGrants(const Preferences& preferences) {
    return readList<TemporaryAccessGrant>(preferences, grantsKey,
                                          &RecordJson::temporaryAccessGrantFromJson);
}

std::optional<std::vector<BlockedApplication>>
SharedPreferencesState::storedApplications(const Preferences& preferences) {
    return readableRecords(readApplications(preferences));
}

std::optional<std::vector<TemporaryAccessGrant>>
SharedPreferencesState::storedGrants(const Preferences& preferences) {
    return readableRecords(readGrants(preferences));
}

bool SharedPreferencesState::isTheProgramItself(const BlockedApplication& application,
                                                const OwnIdentifier& ownIdentifier) {
    if (ownIdentifier.isOwnIdentifier(application.bundleIdentifier)) {
        return true;
    }
    const auto identities = application.allCodeIdentities();
    return std::any_of(identities.begin(), identities.end(), [&](const CodeIdentity& identity) {
        return ownIdentifier.isOwnIdentifier(identity.signingIdentifier);
    });
}

std::vector<BlockedApplication>
SharedPreferencesState::withoutTheProgramItself(std::vector<BlockedApplication> applications,
                                                const OwnIdentifier& ownIdentifier) {
    std::erase_if(applications, [&](const BlockedApplication& application) {
        return isTheProgramItself(application, ownIdentifier);
    });
    return applications;
}

bool SharedPreferencesState::storeGrants(Preferences& preferences,
                                         const std::vector<TemporaryAccessGrant>& grants) {
    auto encoded = RecordJson::encodeTemporaryAccessGrants(grants);
    if (!encoded) {
        return false;
    }
    preferences.setValue(grantsKey, bytes(*encoded));
    return true;
}

bool SharedPreferencesState::storeGrantsKeepingUnreadable(
    Preferences& preferences, const std::vector<TemporaryAccessGrant>& grants) {
    const auto stored = readGrants(preferences);
    if (!stored || stored->unreadableEntries == 0) {
        return storeGrants(preferences, grants);
    }
    const auto elements = storedArray(stored->storedText);
    if (!elements || !RecordJson::encodeTemporaryAccessGrants(grants)) {
        return false;
    }
    auto written = RecordJson::toJson(grants);
    for (const auto& element : *elements) {
        if (!RecordJson::temporaryAccessGrantFromJson(element)) {
            written.push_back(element);
        }
    }
    preferences.setValue(
        grantsKey, bytes(written.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
    return true;
}

std::string
SharedPreferencesState::storeApplications(Preferences& preferences,
                                          const std::vector<BlockedApplication>& applications) {
    auto text = RecordJson::encodeBlockedApplications(applications);
    preferences.setValue(applicationsKey, bytes(text));
    return text;
}

} // namespace zorvane
