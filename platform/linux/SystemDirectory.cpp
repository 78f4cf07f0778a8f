#include "platform/linux/SystemDirectory.h"

#include "platform/linux/InstalledTree.h"
#include "platform/linux/XdgDirectories.h"

#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zorvane {

std::optional<std::filesystem::path> SystemDirectory::path() {
    if (auto explicitDirectory = XdgDirectories::environment("ZORVANE_SYSTEM_DIR")) {
        return std::filesystem::path(*explicitDirectory);
    }
    if (InstalledTree::runsFromIt()) {
        return InstalledTree::systemDirectory();
    }
    const auto stateHome = XdgDirectories::stateHome();
    if (!stateHome) {
        return std::nullopt;
    }
    return *stateHome / "zorvane" / "system";
}

std::filesystem::path
SystemDirectory::configurationDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    auto approved = directory / approvedUserDirectoryName;
    if (std::filesystem::symlink_status(approved, error).type() ==
        std::filesystem::file_type::directory) {
        return approved;
    }
    return directory;
}

bool SystemDirectory::belongsToAnotherUser(const std::filesystem::path& directory) {
    struct stat status {};
    return ::stat(directory.c_str(), &status) == 0 && status.st_uid != ::geteuid();
}

bool SystemDirectory::ensureExists(const std::filesystem::path& directory) {
    std::error_code error;
    if (std::filesystem::is_directory(directory, error)) {
        return true;
    }
    std::filesystem::create_directories(directory, error);
    if (error) {
        return std::filesystem::is_directory(directory, error);
    }
    ::chmod(directory.c_str(), 0700);
    return true;
}

} // namespace zorvane
