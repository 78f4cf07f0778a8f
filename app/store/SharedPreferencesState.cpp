#include "app/store/SharedPreferencesState.h"

#include "shared/RecordJson.h"

#include <algorithm>

namespace zorvane {
namespace {

PlistData bytes(const std::string& text) {
    return PlistData(text.begin(), text.end());
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

std::optional<std::vector<BlockedApplication>>
SharedPreferencesState::storedApplications(const Preferences& preferences) {
    auto stored = storedText(preferences, applicationsKey);
    if (!stored) {
        return std::nullopt;
    }
    return RecordJson::decodeBlockedApplications(*stored);
}

std::optional<std::vector<TemporaryAccessGrant>>
SharedPreferencesState::storedGrants(const Preferences& preferences) {
    auto stored = storedText(preferences, grantsKey);
    if (!stored) {
        return std::nullopt;
    }
    return RecordJson::decodeTemporaryAccessGrants(*stored);
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

void SharedPreferencesState::storeApplications(
    Preferences& preferences, const std::vector<BlockedApplication>& applications) {
    preferences.setValue(applicationsKey,
                         bytes(RecordJson::encodeBlockedApplications(applications)));
}

} // namespace zorvane
