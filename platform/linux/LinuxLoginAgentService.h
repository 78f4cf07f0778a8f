#pragma once

#include "platform/LoginAgentService.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// The login agent as an XDG autostart entry: $XDG_CONFIG_HOME/autostart/<name>.desktop, where
// <name> is the agent's property-list name without ".plist". The command comes from that
// property list inside the bundle (Contents/Library/LaunchAgents/), the same file the macOS
// service registers, so the agent starts with the same program and arguments on both systems.
//
// The entry is enabled while it exists and is not Hidden=true; Hidden=true is how desktops
// record that the user turned an autostart entry off, and registering leaves that choice alone.
class LinuxLoginAgentService final : public LoginAgentService {
public:
    // bundle: the ".app" directory. plistName: the file name in Contents/Library/LaunchAgents/.
    // autostartDirectory: empty for $XDG_CONFIG_HOME/autostart.
    LinuxLoginAgentService(std::filesystem::path bundle, std::string plistName,
                           std::optional<std::filesystem::path> autostartDirectory = {});

    Status status() const override;
    std::optional<Error> registerAgent() override;
    std::optional<Error> unregisterAgent() override;

    // The autostart entry's path; empty when there is no configuration directory.
    std::optional<std::filesystem::path> entryFile() const;

    // What the bundle's property list asks to run, the program first (absolute); empty when
    // the bundle carries no such list or it names no program. The program is BundleProgram,
    // else the first of ProgramArguments; relative paths are relative to the bundle.
    std::optional<std::vector<std::string>> command() const;

    // The Exec value that runs the command: every argument that needs it in double quotes, the
    // quoting characters escaped inside, "%" doubled, and then the escapes every string value
    // of a desktop entry gets.
    static std::string execLine(const std::vector<std::string>& command);

private:
    std::filesystem::path bundle_;
    std::string plistName_;
    std::optional<std::filesystem::path> autostartDirectory_;
};

} // namespace zorvane
