#pragma once

#include "platform/TaskInspector.h"

#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// Tasks of real Linux processes: the token's pid and start time must still name a running
// process, whose executable then gives the identity.
// - A Mach-O file keeps the identity of its code signature (none when it has none).
// - An ELF file, which Linux does not sign, is named by where it lies: no team, and the canonical
//   path of the executable (as /proc/<pid>/exe gives it) as the signing identifier. A program is
//   then listed by its path, and a copy elsewhere is another program.
// - A process in a Flatpak sandbox is its application's: the application ID (as the sandbox's
//   root-owned .flatpak-info states it) is the signing identifier, without team.
// - An ELF file inside our own installed bundle takes that bundle's identifier instead, so that
//   the rules that never block our own code see it as ours, however the bundle was installed.
class LinuxTaskInspector final : public TaskInspector {
public:
    struct OwnBundle {
        std::filesystem::path directory; // the ".app" directory
        std::string identifier;          // its CFBundleIdentifier
    };

    explicit LinuxTaskInspector(std::filesystem::path procRoot = "/proc",
                                std::optional<OwnBundle> ownBundle = std::nullopt);

    // The outermost ".app" directory around an executable that has an Info.plist with an
    // identifier (the application, also for the filter extension nested inside it); none when
    // the executable does not run from a bundle.
    static std::optional<OwnBundle> ownBundleOf(const std::filesystem::path& executable);

    std::unique_ptr<Task> createTask(const AuditToken& token) override;
    std::optional<std::string> processPath(std::int32_t pid) override;

private:
    std::optional<std::string> elfIdentifier(std::int32_t pid) const;

    std::filesystem::path procRoot_;
    std::optional<OwnBundle> ownBundle_;
};

} // namespace zorvane
