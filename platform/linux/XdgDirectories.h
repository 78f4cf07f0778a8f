#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// The user's base directories as the XDG base-directory rules define them: the variable when it
// holds an absolute path (a relative value is invalid and ignored), else the default below the
// home directory ($HOME, or the password database's entry). Empty when there is no home.
class XdgDirectories {
public:
    static std::optional<std::filesystem::path> configHome(); // ~/.config
    static std::optional<std::filesystem::path> dataHome();   // ~/.local/share
    static std::optional<std::filesystem::path> stateHome();  // ~/.local/state

    // An environment variable's value; empty when unset or empty.
    static std::optional<std::string> environment(const char* name);
};

} // namespace zorvane
