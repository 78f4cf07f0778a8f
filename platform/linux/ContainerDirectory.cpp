#include "platform/linux/ContainerDirectory.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace zorvane {
namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace

std::optional<std::filesystem::path> ContainerDirectory::path() {
    if (auto explicitDirectory = environment("ZORVANE_CONTAINER_DIR")) {
        return std::filesystem::path(*explicitDirectory);
    }
    std::filesystem::path dataHome;
    // Relative values of the XDG variables are invalid and must be ignored.
    if (auto xdg = environment("XDG_DATA_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) {
        dataHome = *xdg;
    } else if (auto home = environment("HOME")) {
        dataHome = std::filesystem::path(*home) / ".local" / "share";
    } else if (const passwd* entry = ::getpwuid(::getuid());
               entry && entry->pw_dir && *entry->pw_dir) {
        dataHome = std::filesystem::path(entry->pw_dir) / ".local" / "share";
    } else {
        return std::nullopt;
    }
    return dataHome / "zorvane" / groupIdentifier;
}

} // namespace zorvane
