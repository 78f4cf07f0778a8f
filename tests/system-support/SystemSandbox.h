#pragma once

#include "shared/BlockedApplication.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvane {

// One machine's worth of Zorvane state in a directory of its own, for running the real programs
// against it: the system directory (filter configuration, extension state, host socket and
// locks), the application group's container, the preferences file, the secrets, the XDG
// directories and the programs' logs. The environment() handed to a child names all of them, so
// that nothing the child does reaches the user's own state.
class SystemSandbox {
public:
    explicit SystemSandbox(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path systemDirectory() const { return root_ / "system"; }
    std::filesystem::path containerDirectory() const { return root_ / "container"; }
    std::filesystem::path preferencesFile() const;
    std::filesystem::path logDirectory() const { return root_ / "logs"; }

    struct EnvironmentOptions {
        // The user approves every extension at once (ZORVANE_AUTO_APPROVE=1).
        bool autoApprove = false;
        // ZORVANE_APPLICATIONS_DIR, when given.
        std::optional<std::filesystem::path> applicationsDirectory;
        // Further NAME=VALUE entries; they win over inherited ones.
        std::vector<std::string> extra;
    };
    // This process's environment with every location pointing into the sandbox.
    std::vector<std::string> environment(const EnvironmentOptions& options) const;

    // What the application inspects from a dropped bundle (icon included); empty when the
    // bundle is not a signed application.
    static std::optional<BlockedApplication> inspect(const std::filesystem::path& bundle);

    // Writes the block list and the protection wish into the preferences, in the form the
    // window process stores them, the getting-started guide done.
    void seedBlockList(const std::vector<BlockedApplication>& applications,
                       bool protectionRequested) const;
    // The block list as the preferences hold it now.
    std::vector<BlockedApplication> storedBlockList() const;

    // The activity files of the container, as the application's views would load them.
    std::vector<NetworkActivityEvent> storedActivity() const;
    std::int64_t storedBlockedAttempts() const;
    std::vector<DiscoveredNetworkProcess> storedObservations() const;

    // The process the system-extension stand-in started for the filter (its keeper), and the
    // keeper's running host.
    std::optional<pid_t> keeperProcess() const;
    std::optional<pid_t> hostProcess() const;
    // What the running filter still has to deliver to the application: its answer to
    // {"report": "activity"} on filter.sock ("pendingBlockedAttempts", "failedActivitySends", ...).
    std::optional<nlohmann::json> filterReport() const;
    // Whether a filter host holds the host lock right now.
    bool hostRunning() const;
    // Stops the keeper, and with it the host; true once both are gone (within 15 s).
    bool stopFilter() const;
    // Ends the status agent that the application started when it registered it (it outlives
    // the application, as a login agent does); true once none runs.
    bool stopStatusAgent() const;

    // The peak resident set of a running process (VmHWM), in KiB.
    static std::optional<long> peakResidentKiB(pid_t pid);

private:
    std::filesystem::path root_;
};

} // namespace zorvane
