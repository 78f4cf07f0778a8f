#pragma once

#include "app/store/DesktopEnvironment.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace zorvane {

// The files that may hold an application's icon, best first, found as the icon theme rules
// find them: the themes in order (hicolor last), in each base directory (~/.icons, then "icons"
// in each data directory), the sizes nearest 128 pixels first, PNG before SVG (which needs an
// image plugin that may be missing), and /usr/share/pixmaps at the end. An Icon value that is
// an absolute path names the file itself.
class IconThemeLookup {
public:
    static constexpr std::size_t maximumCandidates = 8;

    static std::vector<std::filesystem::path> candidates(std::string_view icon,
                                                         const DesktopEnvironment& environment);
};

} // namespace zorvane
