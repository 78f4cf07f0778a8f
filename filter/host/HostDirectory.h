#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// The system directory as the host needs it: it holds the configuration with the event channel's
// token and the flow socket, so it must be this user's and reachable by this user alone, whether
// the host made it or found it.
class HostDirectory {
public:
    // Creates the directory when missing and makes its mode 0700; one that holds an approved
    // user's directory (an installed system's) keeps others' read and search, never their
    // write. Refuses (with the reason) a directory that belongs to another user, or a path that
    // is not a directory.
    static std::optional<std::string> makePrivate(const std::filesystem::path& directory);
};

} // namespace zorvane
