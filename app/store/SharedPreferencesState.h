#pragma once

#include "platform/Preferences.h"
#include "shared/BlockedApplication.h"
#include "shared/OwnIdentifier.h"
#include "shared/TemporaryAccessGrant.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// The block list, the grants and the two settings as the window process and the status agent
// keep them in their shared preferences. Both processes read and write them through these
// functions, so that neither can come to understand a stored value differently from the other.
class SharedPreferencesState {
public:
    static constexpr const char* applicationsKey = "blockedApplications";
    static constexpr const char* grantsKey = "temporaryAccessGrants";
    static constexpr const char* protectionRequestedKey = "protectionRequested";
    static constexpr const char* statusBarIconEnabledKey = "statusBarIconEnabled";

    // The bytes stored under the key as text; nothing when the key holds no data.
    static std::optional<std::string> storedText(const Preferences& preferences,
                                                 const std::string& key);
    // Nothing when the key is absent or holds something other than a Boolean.
    static std::optional<bool> storedBoolean(const Preferences& preferences,
                                             const std::string& key);

    // A stored list read entry by entry: one entry that cannot be read (a damaged entry, or one
    // written by a later version in a form this one does not know) costs that entry, never the
    // others.
    template <typename Record> struct StoredList {
        std::vector<Record> records; // the entries that could be read, in stored order
        // Entries left out; a value that is no JSON list at all counts as one.
        std::size_t unreadableEntries = 0;
        std::string storedText; // the value as stored, for a copy of what was left out
    };
    // Nothing when the key is absent.
    static std::optional<StoredList<BlockedApplication>>
    readApplications(const Preferences& preferences);
    static std::optional<StoredList<TemporaryAccessGrant>>
    readGrants(const Preferences& preferences);

    // The entries of the stored lists that can be read; nothing when the key is absent or none
    // of what it holds can be read (either one counts as an empty list for readers that do not
    // have to tell them apart).
    static std::optional<std::vector<BlockedApplication>>
    storedApplications(const Preferences& preferences);
    static std::optional<std::vector<TemporaryAccessGrant>>
    storedGrants(const Preferences& preferences);

    // An application is the program itself when its bundle identifier, or the signing
    // identifier of any of its code identities, is an own identifier.
    static bool isTheProgramItself(const BlockedApplication& application,
                                   const OwnIdentifier& ownIdentifier);
    static std::vector<BlockedApplication>
    withoutTheProgramItself(std::vector<BlockedApplication> applications,
                            const OwnIdentifier& ownIdentifier);

    // Stores the grants as JSON; false, leaving the stored value as it was, when they cannot be
    // encoded. Pending until the preferences are synchronised.
    static bool storeGrants(Preferences& preferences,
                            const std::vector<TemporaryAccessGrant>& grants);
    // The same, followed by the stored entries that cannot be read, as they were: for a writer
    // that has no way to tell the person about them (the status agent), so that they stay until
    // the window process keeps a copy and tells. The stored value being no JSON list at all,
    // there is nothing to carry over: false, with nothing stored.
    static bool storeGrantsKeepingUnreadable(Preferences& preferences,
                                             const std::vector<TemporaryAccessGrant>& grants);
    // Stores the list as JSON and gives the text stored.
    static std::string storeApplications(Preferences& preferences,
                                         const std::vector<BlockedApplication>& applications);
};

} // namespace zorvane
