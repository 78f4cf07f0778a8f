#include "platform/linux/InstalledTree.h"

#include "zorvane/BuildInfo.h"

#include <system_error>

namespace zorvane {

std::filesystem::path InstalledTree::prefix() {
    return build_info::installedPrefix;
}

std::filesystem::path InstalledTree::systemDirectory() {
    return build_info::installedSystemDirectory;
}

bool InstalledTree::holds(const std::filesystem::path& executable) {
    std::string tree = prefix().lexically_normal().string();
    if (!tree.ends_with('/')) {
        tree += '/';
    }
    return executable.is_absolute() && executable.lexically_normal().string().starts_with(tree);
}

bool InstalledTree::runsFromIt() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return !error && holds(executable);
}

} // namespace zorvane
