#pragma once

#include "platform/LoginAgentService.h"

#include <chrono>
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
//
// An autostart entry only runs at the next login, where registering an agent elsewhere starts
// it at once. So registering also starts the agent now, unless one runs already: the running
// agent holds its instance lock (InstanceLock), which names its process and executable. One of
// another executable, or of an older file at the same path (a new build installed over it), is
// stopped and replaced; one of this build is left alone.
class LinuxLoginAgentService final : public LoginAgentService {
public:
    struct Options {
        // Empty: $XDG_CONFIG_HOME/autostart.
        std::optional<std::filesystem::path> autostartDirectory;
        // The lock the running agent holds; empty: InstanceLock::statusAgentFile().
        std::optional<std::filesystem::path> agentLockFile;
        // Whether registering starts the agent, as above; false writes the entry only.
        bool startsAgent = true;
        // How long a running agent of another build gets to end before it is killed.
        std::chrono::milliseconds stopGrace{5000};
    };

    // bundle: the ".app" directory. plistName: the file name in Contents/Library/LaunchAgents/.
    LinuxLoginAgentService(std::filesystem::path bundle, std::string plistName);
    LinuxLoginAgentService(std::filesystem::path bundle, std::string plistName, Options options);

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

    // Starts the command as the agent unless an agent of the same build runs; replaces one of
    // another build. False when no agent runs afterwards as far as this process can tell.
    bool startAgent(const std::vector<std::string>& command);

private:
    std::filesystem::path bundle_;
    std::string plistName_;
    std::optional<std::filesystem::path> autostartDirectory_;
    std::optional<std::filesystem::path> agentLockFile_;
    bool startsAgent_;
    std::chrono::milliseconds stopGrace_;
};

} // namespace zorvane
