#pragma once

#include "app/store/ApplicationInspectionError.h"
#include "app/store/DesktopEnvironment.h"
#include "shared/BlockedApplication.h"
#include "shared/CodeIdentity.h"
#include "shared/Uuid.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zorvane {

// Turns what a person picks on a Linux desktop into a block-list entry: a desktop entry, an
// ELF program, or the desktop entry of a Flatpak application. Linux signs no programs, so the
// identity is the one the filter derives for a running process: the canonical path of the
// program (no team), or for a Flatpak application its application ID, which the sandbox states
// in a file only root can write. Like bundle inspection, a blocking function of the file system
// that changes nothing.
class LinuxApplicationInspector {
public:
    // Real entries, translated into a hundred languages, stay well below 100 KB.
    static constexpr std::uint64_t maximumDesktopEntrySize = 256 * 1024;
    // A directory with more entries than this is no application's own; it is not walked to
    // its end.
    static constexpr std::size_t maximumDirectoryEntries = 4096;

    using IconRenderer =
        std::function<std::optional<std::vector<std::uint8_t>>(const std::filesystem::path&)>;
    using Result = std::variant<BlockedApplication, ApplicationInspectionError>;

    LinuxApplicationInspector(DesktopEnvironment environment, IconRenderer iconRenderer);

    // `item` is absolute and normalised, as a file URL gives it.
    Result inspect(const std::filesystem::path& item, const Uuid& id) const;

    // Identities of the ELF programs next to the main program, when its directory is the
    // application's own; sorted, the first ApplicationInspector::maximumHelperCount of them.
    static std::vector<CodeIdentity> discoverHelpers(const std::filesystem::path& program,
                                                     const DesktopEnvironment& environment);
    // Directories that hold the programs of many applications, or a person's files.
    static bool isSharedDirectory(const std::filesystem::path& directory,
                                  const DesktopEnvironment& environment);
    // The entry's ID: its path below an applications directory with "/" made "-", or its
    // file name when it lies elsewhere.
    static std::string desktopFileId(const std::filesystem::path& entry,
                                     const DesktopEnvironment& environment);
    // Reverse-DNS as Flatpak accepts it: two or more elements of letters, digits, "_" and "-",
    // none empty or starting with a digit, at most 255 bytes.
    static bool isFlatpakApplicationId(std::string_view id);

private:
    Result inspectDesktopEntry(const std::filesystem::path& entry, const Uuid& id) const;
    Result inspectProgram(const std::filesystem::path& program, const Uuid& id) const;
    std::optional<std::vector<std::uint8_t>> icon(std::string_view name) const;

    DesktopEnvironment environment_;
    IconRenderer iconRenderer_;
};

} // namespace zorvane
