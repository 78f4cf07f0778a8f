#pragma once

#include "shared/BlockedApplication.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// The desktop's view of applications: which ones run, when one quits, opening a web address and
// the icon of a file.
class Workspace {
public:
    enum class ActivationPolicy { regular, accessory, prohibited };

    struct RunningApplication {
        std::optional<std::string> bundleIdentifier;
        std::filesystem::path bundleURL; // the ".app" directory
        std::filesystem::path executableURL;
        std::int32_t processIdentifier = 0;
        ActivationPolicy activationPolicy = ActivationPolicy::regular;

        friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
    };

    // Called once for each running application that terminated, on the thread that created the
    // workspace, from its event loop.
    using TerminationHandler = std::function<void(const RunningApplication&)>;

    virtual ~Workspace() = default;

    virtual std::vector<RunningApplication> runningApplications() const = 0;
    // The block list, for platforms where an application is not always a bundle that the
    // workspace knows by itself: their processes then count as running applications too.
    virtual void setListedApplications(const std::vector<BlockedApplication>& applications) {
        (void)applications;
    }
    // Replaces the previous handler; an empty handler stops the notices.
    virtual void setTerminationHandler(TerminationHandler handler) = 0;
    // Hands the address to the user's default handler; false when none took it.
    virtual bool openURL(const std::string& url) = 0;
    // The icon of a file as a PNG image; empty when the file has none of its own.
    virtual std::optional<std::vector<std::uint8_t>>
    iconForFile(const std::filesystem::path& path) const = 0;

    // Brings a running application forward with all its windows, ahead of every other
    // application. False when the platform cannot do that for another process.
    virtual bool activate(const RunningApplication& application) = 0;
    // Starts another instance of the bundle's main executable, without arguments, even when
    // one runs already, and brings it forward. False when it could not be started.
    virtual bool launchNewInstance(const std::filesystem::path& bundle) = 0;

    // The bundle identifiers of the running applications, as the grant rules take them.
    std::vector<std::string> runningBundleIdentifiers() const {
        std::vector<std::string> identifiers;
        for (auto& application : runningApplications()) {
            if (application.bundleIdentifier) {
                identifiers.push_back(std::move(*application.bundleIdentifier));
            }
        }
        return identifiers;
    }
};

} // namespace zorvane
