#include "platform/linux/SystemDirectory.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
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

std::optional<std::filesystem::path> homeDirectory() {
    if (auto home = environment("HOME")) {
        return std::filesystem::path(*home);
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) {
        return std::filesystem::path(entry->pw_dir);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::filesystem::path> SystemDirectory::path() {
    if (auto explicitDirectory = environment("ZORVANE_SYSTEM_DIR")) {
        return std::filesystem::path(*explicitDirectory);
    }
    std::filesystem::path stateHome;
    // Under the XDG base-directory rules a relative value is invalid and must be ignored.
    if (auto xdg = environment("XDG_STATE_HOME");
        xdg && std::filesystem::path(*xdg).is_absolute()) {
        stateHome = *xdg;
    } else if (auto home = homeDirectory()) {
        stateHome = *home / ".local" / "state";
    } else {
        return std::nullopt;
    }
    return stateHome / "zorvane" / "system";
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
