#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// The bundle the running program belongs to, as its Info.plist describes it.
class MainBundle {
public:
    virtual ~MainBundle() = default;

    // CFBundleIdentifier, CFBundleShortVersionString and CFBundleVersion; empty when absent.
    virtual std::optional<std::string> identifier() const = 0;
    virtual std::optional<std::string> shortVersion() const = 0;
    virtual std::optional<std::string> buildVersion() const = 0;

    // The bundle directory (the ".app"), as the program was started from it.
    virtual std::filesystem::path url() const = 0;

    // Whether the bundle, with symbolic links resolved and the path standardised, lies inside
    // the system's Applications folder. System extensions are only activated from there.
    virtual bool isInApplicationsFolder() const = 0;
};

} // namespace zorvane
