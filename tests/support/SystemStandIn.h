#pragma once

#include "tests/support/TemporaryDirectory.h"

#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>

namespace zorvane {
class LinuxMainBundle;
}

namespace zorvane::testing {

// What the operating system and the user do around the filter, on the Linux stand-in, for
// end-to-end tests: a system directory of the test's own, a signed application to block, and
// zorvane-system to approve the extension and ask the filter host for verdicts. The host that
// the activator starts from the built bundle outlives the application by design; the stand-in
// ends it when it goes away.
class SystemStandIn {
public:
    static constexpr const char* blockedIdentifier = "com.example.blocked";
    static constexpr const char* blockedTeam = "TEAM123456";

    // Writes "Blocked.app", whose executable is signed as blockedIdentifier with the team both
    // in the signature and in the team-identifier entitlement (the filter reads the latter).
    SystemStandIn();
    ~SystemStandIn();

    SystemStandIn(const SystemStandIn&) = delete;
    SystemStandIn& operator=(const SystemStandIn&) = delete;

    // A scratch directory for the test's other files.
    const TemporaryDirectory& directory() const { return directory_; }
    const std::filesystem::path& systemDirectory() const { return system_; }
    const std::filesystem::path& blockedBundle() const { return blockedBundle_; }
    const std::filesystem::path& blockedExecutable() const { return blockedExecutable_; }

    // The built Zorvane.app, with the build tree playing the Applications folder.
    static std::shared_ptr<LinuxMainBundle> builtApplication();

    // Runs zorvane-system on this system directory and expects it to end with expectedStatus;
    // its standard output.
    QString tool(const QStringList& arguments, int expectedStatus = 0) const;
    // The filter's verdict on a new outbound flow of the blocked application to example.com:443.
    QString verdict() const;

    // Ends every filter host the activator started here; false when one still holds the host's
    // lock after the wait.
    bool stopHosts() const;

private:
    TemporaryDirectory directory_;
    std::filesystem::path system_;
    std::filesystem::path blockedBundle_;
    std::filesystem::path blockedExecutable_;
};

} // namespace zorvane::testing
