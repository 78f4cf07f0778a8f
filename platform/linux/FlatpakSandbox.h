#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// Which Flatpak application a process belongs to, read the way the desktop portal reads it:
// the ".flatpak-info" file at the root of the process's file system, which Flatpak writes
// before the sandboxed program starts and which must belong to root. Anything the program
// itself could write (its arguments, its environment, a file it owns) is not trusted: a
// process could name any application there.
class FlatpakSandbox {
public:
    static constexpr std::uint64_t maximumInfoSize = 64 * 1024;

    // The application ID of the process, or none when it does not run in a Flatpak sandbox.
    static std::optional<std::string> applicationOf(const std::filesystem::path& procRoot,
                                                    std::int32_t pid);
};

} // namespace zorvane
