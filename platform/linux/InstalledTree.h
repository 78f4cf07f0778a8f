#pragma once

#include <filesystem>

namespace zorvane {

// The tree the Debian package installs. A program that runs from it is the installed Zorvane:
// that tree is its Applications folder and the filter service's state directory its system
// directory, so that the installed copy works without any setting while a development tree
// keeps its own defaults.
class InstalledTree {
public:
    static std::filesystem::path prefix();
    static std::filesystem::path systemDirectory();

    // Whether the executable lies inside the installed tree (compared as text after removing
    // "." and "..": "/opt/zorvane-old" is not inside "/opt/zorvane").
    static bool holds(const std::filesystem::path& executable);

    // Whether this process runs an executable of the installed tree (/proc/self/exe).
    static bool runsFromIt();
};

} // namespace zorvane
