#pragma once

#include "platform/Workspace.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace zorvane {

// The running applications as procfs shows them: processes of this user whose executable is a
// bundle's main executable (<Name>.app/Contents/MacOS/<file>), identified by that bundle's
// Info.plist. Helpers elsewhere inside a bundle are not applications of their own, as on the
// system this stands in for. Poll-based: each scan lists procfs and reads one link per process;
// an Info.plist is read once per bundle while any of its processes runs.
//
// A process that runs with the status agent's argument counts as an accessory application: on
// the system this stands in for, the agent declares itself one when it starts, and without that
// mark it would pass for the window process of its own bundle.
class LinuxRunningApplications {
public:
    // `root` is "/proc" except in tests, which lay out a tree of the same shape. Processes of
    // other users are left out when a user is given.
    explicit LinuxRunningApplications(std::filesystem::path root = "/proc",
                                      std::optional<std::uint32_t> user = currentUser());

    static std::uint32_t currentUser();

    // The applications running now.
    std::vector<Workspace::RunningApplication> scan();

    // The applications that were running at the previous poll, or seen by a scan since, and are
    // gone now; a process that replaced its image with another program counts as gone. The
    // first poll only starts the tracking and reports nothing. With `running`, also the
    // applications running now.
    std::vector<Workspace::RunningApplication>
    pollTerminated(std::vector<Workspace::RunningApplication>* running = nullptr);
    // Forgets what the polls compared with, until the next poll starts again.
    void stopTracking();

    // Whether the executable path is a bundle's main executable; the bundle when it is.
    static std::optional<std::filesystem::path> bundleOfExecutable(const std::string& executable);

private:
    struct BundleFacts {
        std::optional<std::string> bundleIdentifier;
        Workspace::ActivationPolicy activationPolicy = Workspace::ActivationPolicy::regular;
    };
    // pid, start time, executable: a pid that is reused, or a process that execs another
    // program, is a different application.
    using ProcessKey = std::tuple<std::int32_t, std::uint64_t, std::string>;

    std::map<ProcessKey, Workspace::RunningApplication> scanProcesses();
    BundleFacts factsOf(const std::filesystem::path& bundle,
                        std::map<std::filesystem::path, BundleFacts>& seen);

    std::filesystem::path root_;
    std::optional<std::uint32_t> user_;
    std::map<ProcessKey, Workspace::RunningApplication> previous_;
    bool hasPrevious_ = false;
    std::map<std::filesystem::path, BundleFacts> bundleCache_;
};

} // namespace zorvane
