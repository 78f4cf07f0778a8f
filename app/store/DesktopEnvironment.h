#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zorvane {

// What reading a desktop's applications depends on besides the files: the program search path,
// the language of the texts, the user's home and the data directories, and the icon themes in
// the order they are searched. Tests give their own; the application takes the session's.
struct DesktopEnvironment {
    std::string searchPath = "/usr/local/bin:/usr/bin:/bin";
    std::string locale; // LC_MESSAGES form, "de_DE.UTF-8"; empty for untranslated texts
    std::filesystem::path home;
    // $XDG_DATA_HOME first, then each of $XDG_DATA_DIRS.
    std::vector<std::filesystem::path> dataDirectories;
    // The current theme and the ones it inherits from; hicolor always comes last.
    std::vector<std::string> iconThemes;

    // This session's, from its environment and the toolkit's settings file.
    static DesktopEnvironment current();

    // Where desktop entries are installed: "applications" in each data directory.
    std::vector<std::filesystem::path> applicationDirectories() const;
};

} // namespace zorvane
