#pragma once

#include "platform/Workspace.h"
#include "shared/BlockedApplication.h"

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

    // Listed applications that are no bundles (Linux programs and Flatpak applications) run
    // where a process runs the listed program, named by its canonical path as the filter names
    // it, or runs in the listed application's Flatpak sandbox. Each such process is reported
    // with the entry's bundle identifier and path.
    void setListedApplications(const std::vector<BlockedApplication>& applications);

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

    struct Listed {
        std::string bundleIdentifier;
        std::filesystem::path path;
    };
    std::optional<Listed> listedFor(
        std::int32_t pid, std::uint64_t startTime, const std::string& executable,
        std::map<std::pair<std::int32_t, std::uint64_t>, std::optional<std::string>>& sandboxes);
    std::map<std::string, Listed> listedPrograms_;
    std::map<std::string, Listed> listedFlatpaks_;
    // The sandbox of each process seen by the previous scan: its .flatpak-info is read once
    // per process, not on every poll.
    std::map<std::pair<std::int32_t, std::uint64_t>, std::optional<std::string>> sandboxCache_;
};

} // namespace zorvane
