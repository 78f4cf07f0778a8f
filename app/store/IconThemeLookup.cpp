#include "app/store/IconThemeLookup.h"

#include "shared/KeyFile.h"
#include "shared/UntrustedFile.h"

#include <algorithm>
#include <array>
#include <string>
#include <system_error>

namespace zorvane {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t maximumIndexSize = 1024 * 1024;
// Nearest to the 128 pixels that the row shows first, larger before smaller at equal distance:
// scaling down loses less than scaling up.
constexpr std::array<std::string_view, 11> sizeDirectories = {
    "128x128", "256x256", "96x96", "512x512", "64x64",   "48x48",
    "32x32",   "24x24",   "22x22", "16x16",   "scalable"};

bool isRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::vector<fs::path> baseDirectories(const DesktopEnvironment& environment) {
    std::vector<fs::path> bases;
    if (!environment.home.empty()) {
        bases.push_back(environment.home / ".icons");
    }
    for (const auto& data : environment.dataDirectories) {
        bases.push_back(data / "icons");
    }
    return bases;
}

// The configured themes and what they inherit from, each once, hicolor last.
std::vector<std::string> themeOrder(const DesktopEnvironment& environment,
                                    const std::vector<fs::path>& bases) {
    std::vector<std::string> themes;
    std::vector<std::string> pending(environment.iconThemes.rbegin(),
                                     environment.iconThemes.rend());
    // A theme may inherit in a circle; a handful of levels is all real themes use.
    while (!pending.empty() && themes.size() < 16) {
        std::string theme = std::move(pending.back());
        pending.pop_back();
        if (!isPlainName(theme) || theme == "hicolor" ||
            std::find(themes.begin(), themes.end(), theme) != themes.end()) {
            continue;
        }
        themes.push_back(theme);
        for (const auto& base : bases) {
            const auto reading =
                UntrustedFile::read(base / theme / "index.theme", maximumIndexSize);
            const auto index = reading.bytes ? KeyFile::parse(*reading.bytes) : std::nullopt;
            if (!index) {
                continue;
            }
            const std::string inherits = index->string("Icon Theme", "Inherits").value_or("");
            std::vector<std::string> parents;
            std::string_view rest = inherits;
            while (!rest.empty()) {
                const auto comma = rest.find(',');
                parents.emplace_back(rest.substr(0, comma));
                rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            }
            pending.insert(pending.end(), parents.rbegin(), parents.rend());
            break;
        }
    }
    themes.push_back("hicolor");
    return themes;
}

} // namespace

std::vector<fs::path> IconThemeLookup::candidates(std::string_view icon,
                                                  const DesktopEnvironment& environment) {
    std::vector<fs::path> found;
    if (icon.empty()) {
        return found;
    }
    if (icon.front() == '/') {
        if (isRegularFile(fs::path(std::string(icon)))) {
            found.emplace_back(std::string(icon));
        }
        return found;
    }
    std::string name(icon);
    // Old entries name the file of a pixmap; the theme lookup wants the bare name.
    for (std::string_view extension : {".png", ".svg", ".xpm"}) {
        if (name.size() > extension.size() && name.ends_with(extension)) {
            name.resize(name.size() - extension.size());
            break;
        }
    }
    if (!isPlainName(name)) {
        return found;
    }
    const auto bases = baseDirectories(environment);
    const auto add = [&](const fs::path& path) {
        if (found.size() < maximumCandidates && isRegularFile(path)) {
            found.push_back(path);
        }
    };
    for (const auto& theme : themeOrder(environment, bases)) {
        for (const auto& size : sizeDirectories) {
            for (const auto& base : bases) {
                const fs::path directory = base / theme / std::string(size) / "apps";
                add(directory / (name + ".png"));
                add(directory / (name + ".svg"));
            }
        }
        // A later theme still adds its files: the first theme's may all be SVG, which this
        // machine may be unable to draw.
    }
    for (std::string_view extension : {".png", ".svg", ".xpm"}) {
        add(fs::path("/usr/share/pixmaps") / (name + std::string(extension)));
    }
    return found;
}

} // namespace zorvane
