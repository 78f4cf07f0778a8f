#include "platform/linux/XdgDirectories.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace zorvane {
namespace {

std::optional<std::filesystem::path> homeDirectory() {
    if (auto home = XdgDirectories::environment("HOME")) {
        return std::filesystem::path(*home);
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) {
        return std::filesystem::path(entry->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> baseDirectory(const char* variable,
                                                   const std::filesystem::path& underHome) {
    if (auto value = XdgDirectories::environment(variable);
        value && std::filesystem::path(*value).is_absolute()) {
        return std::filesystem::path(*value);
    }
    if (auto home = homeDirectory()) {
        return *home / underHome;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> XdgDirectories::environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::filesystem::path> XdgDirectories::configHome() {
    return baseDirectory("XDG_CONFIG_HOME", ".config");
}

std::optional<std::filesystem::path> XdgDirectories::dataHome() {
    return baseDirectory("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
}

std::optional<std::filesystem::path> XdgDirectories::stateHome() {
    return baseDirectory("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

} // namespace zorvane
