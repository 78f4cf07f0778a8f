#include "app/store/DesktopEnvironment.h"

#include "platform/linux/XdgDirectories.h"
#include "shared/KeyFile.h"
#include "shared/UntrustedFile.h"

namespace zorvane {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t maximumSettingsSize = 256 * 1024;

std::vector<fs::path> absolutePaths(std::string_view list) {
    std::vector<fs::path> paths;
    while (!list.empty()) {
        const auto colon = list.find(':');
        const auto item = list.substr(0, colon);
        if (!item.empty() && item.front() == '/') {
            paths.emplace_back(std::string(item));
        }
        list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    }
    return paths;
}

// The theme that GTK desktops name in their settings; Qt desktops follow the same file when
// they theme GTK applications alike.
std::optional<std::string> configuredIconTheme() {
    const auto config = XdgDirectories::configHome();
    if (!config) {
        return std::nullopt;
    }
    for (const char* file : {"gtk-4.0/settings.ini", "gtk-3.0/settings.ini"}) {
        const auto reading = UntrustedFile::read(*config / file, maximumSettingsSize);
        if (!reading.bytes) {
            continue;
        }
        if (const auto settings = KeyFile::parse(*reading.bytes)) {
            if (auto theme = settings->string("Settings", "gtk-icon-theme-name");
                theme && !theme->empty() && theme->find('/') == std::string::npos) {
                return theme;
            }
        }
    }
    return std::nullopt;
}

} // namespace

DesktopEnvironment DesktopEnvironment::current() {
    DesktopEnvironment environment;
    if (auto path = XdgDirectories::environment("PATH")) {
        environment.searchPath = std::move(*path);
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto locale = XdgDirectories::environment(name)) {
            environment.locale = std::move(*locale);
            break;
        }
    }
    if (auto home = XdgDirectories::environment("HOME")) {
        environment.home = std::move(*home);
    }
    if (auto dataHome = XdgDirectories::dataHome()) {
        environment.dataDirectories.push_back(std::move(*dataHome));
    }
    const auto dataDirs = XdgDirectories::environment("XDG_DATA_DIRS");
    auto system = absolutePaths(dataDirs.value_or("/usr/local/share:/usr/share"));
    environment.dataDirectories.insert(environment.dataDirectories.end(), system.begin(),
                                       system.end());
    if (auto theme = configuredIconTheme()) {
        environment.iconThemes.push_back(std::move(*theme));
    }
    return environment;
}

std::vector<fs::path> DesktopEnvironment::applicationDirectories() const {
    std::vector<fs::path> directories;
    for (const auto& data : dataDirectories) {
        directories.push_back(data / "applications");
    }
    return directories;
}

} // namespace zorvane
