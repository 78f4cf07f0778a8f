#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zorvane {

// The administrator's approval on an installed system, done as root: the filter extension is
// recorded as activated (readable by everyone, so that each person's Zorvane sees it), and one
// desktop user gets the system directory's approved user's directory, the only place where the
// filter configuration can be written, and by that user alone. A later approval for another
// user hands the directory over and drops the previous user's configuration, which carries that
// user's rules and event-channel token.
class SystemApproval {
public:
    struct User {
        uid_t uid = 0;
        gid_t gid = 0;
    };

    // The user named by a name or a numeric id, from the password database.
    static std::optional<User> lookUp(const std::string& nameOrId);

    // extensionBundle: the installed filter extension, whose Info.plist gives the versions that
    // are recorded. Empty on success, else what went wrong.
    static std::optional<std::string> grant(const std::filesystem::path& systemDirectory,
                                            const std::string& extensionIdentifier,
                                            const std::filesystem::path& extensionBundle,
                                            User user);
};

} // namespace zorvane
