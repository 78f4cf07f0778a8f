#pragma once

#include "platform/MainBundle.h"

#include <memory>

namespace zorvane {

// The main bundle of a bundle-shaped tree: the executable runs from Contents/MacOS/, the
// Info.plist is Contents/Info.plist. A program that does not run from such a tree (a test, a
// plain build) is its own bundle directory without identifier or versions, as on macOS.
//
// The Applications folder is "/Applications/" unless $ZORVANE_APPLICATIONS_DIR names another, so
// that a development tree can play an installed copy; for the programs of the installed tree
// (the Debian package) it is that tree.
class LinuxMainBundle final : public MainBundle {
public:
    // bundle: the ".app" directory, or any directory without Contents/Info.plist.
    // applicationsDirectory: empty for the environment's or "/Applications".
    explicit LinuxMainBundle(std::filesystem::path bundle,
                             std::optional<std::filesystem::path> applicationsDirectory = {});

    // The bundle of the running executable (/proc/self/exe).
    static std::shared_ptr<LinuxMainBundle> current();

    // The bundle directory for an executable: two levels above Contents/MacOS/<name> when an
    // Info.plist sits in Contents/, else the executable's own directory.
    static std::filesystem::path bundleForExecutable(const std::filesystem::path& executable);

    // $ZORVANE_APPLICATIONS_DIR, else the installed tree when this program runs from it, else
    // "/Applications".
    static std::filesystem::path defaultApplicationsDirectory();

    std::optional<std::string> identifier() const override { return identifier_; }
    std::optional<std::string> shortVersion() const override { return shortVersion_; }
    std::optional<std::string> buildVersion() const override { return buildVersion_; }
    std::filesystem::path url() const override { return bundle_; }
    bool isInApplicationsFolder() const override;

private:
    std::filesystem::path bundle_;
    std::filesystem::path applicationsDirectory_;
    std::optional<std::string> identifier_;
    std::optional<std::string> shortVersion_;
    std::optional<std::string> buildVersion_;
};

} // namespace zorvane
