#pragma once

#include <filesystem>
#include <optional>

namespace zorvane {

// The directory where the Linux stand-ins keep what macOS keeps in the system's own stores: the
// filter configuration, the filter host's lock and its flow socket. One place decides where it is,
// so the application, the filter host and zorvane-system always agree.
class SystemDirectory {
public:
    static constexpr const char* configurationFileName = "filter-configuration.plist";
    static constexpr const char* flowSocketName = "filter.sock";
    static constexpr const char* hostLockName = "filter-host.lock";
    // Held by the process that keeps the host running, as the system keeps an extension alive.
    static constexpr const char* keeperLockName = "filter-keeper.lock";
    // Where the filter host started for an activated extension writes its output.
    static constexpr const char* hostLogName = "filter-host.log";
    // In a system directory that the system (root) owns, the directory of the one user whom an
    // administrator approved: that user's application writes the filter configuration there,
    // nobody else can.
    static constexpr const char* approvedUserDirectoryName = "configuration";

    // $ZORVANE_SYSTEM_DIR; else, for a program of the installed tree, the filter service's state
    // directory; else $XDG_STATE_HOME/zorvane/system, XDG_STATE_HOME defaulting to
    // ~/.local/state. Empty only when neither the environment nor the password database names a
    // home directory.
    static std::optional<std::filesystem::path> path();

    // Where the filter configuration of this system directory lives: the approved user's
    // directory when there is one (a real directory, not a link), else the system directory.
    static std::filesystem::path configurationDirectory(const std::filesystem::path& directory);

    // Whether the directory belongs to another user than this process's (on an installed
    // system: root's, while the application runs as the person). Then the system, not the
    // application, records approvals and runs the filter.
    static bool belongsToAnotherUser(const std::filesystem::path& directory);

    // Creates the directory (and its parents) when missing, readable by the user alone; the
    // configuration in it carries the event channel's token.
    static bool ensureExists(const std::filesystem::path& directory);
};

} // namespace zorvane
