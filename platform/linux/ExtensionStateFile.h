#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace zorvane {

// What the Linux stand-in of the system-extension manager knows about each extension: whether
// the user has approved it, the version that was offered, and the filter host it started.
struct SystemExtensionRecord {
    enum class State { awaitingApproval, activated, deactivated };

    State state = State::awaitingApproval;
    std::string bundleShortVersion;
    std::string bundleVersion;
    // The ".systemextension" directory the extension was offered from.
    std::string path;
    // The process started for the extension (the keeper of its host), when one was.
    std::optional<std::int64_t> hostProcessIdentifier;

    friend bool operator==(const SystemExtensionRecord&, const SystemExtensionRecord&) = default;
};

// "extension.plist" in the system directory (XML property list), shared by the application and
// zorvane-system approve:
//     extensions (dictionary): bundle identifier -> dictionary of
//         state ("awaitingApproval" | "activated" | "deactivated"), bundleShortVersion,
//         bundleVersion, path (strings), hostProcessIdentifier (integer, optional)
// Entries of another shape are skipped when reading. Changes are read-modify-write under a lock
// file, and the file is replaced atomically, so a watcher never sees half a file.
class ExtensionStateFile {
public:
    static constexpr const char* fileName = "extension.plist";
    using Records = std::map<std::string, SystemExtensionRecord>;

    explicit ExtensionStateFile(std::filesystem::path systemDirectory);

    const std::filesystem::path& path() const { return path_; }

    // Missing, unreadable or garbage files: no records.
    Records read() const;

    // Runs change on the current records while holding the lock and writes them when change
    // answers true. False when the directory, the lock or the file could not be written; the
    // previous file is then unchanged.
    bool update(const std::function<bool(Records&)>& change) const;

    static const char* stateName(SystemExtensionRecord::State state);

private:
    std::filesystem::path directory_;
    std::filesystem::path path_;
};

} // namespace zorvane
