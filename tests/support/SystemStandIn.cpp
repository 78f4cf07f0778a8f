#include "tests/support/SystemStandIn.h"

#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/LinuxMainBundle.h"
#include "tests/qt-support/EventLoopPolling.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"

#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>

namespace zorvane::testing {

SystemStandIn::SystemStandIn()
    : system_(directory_ / "system"), blockedBundle_(directory_ / "Blocked.app"),
      blockedExecutable_(blockedBundle_ / "Contents/MacOS/Blocked") {
    auto layout = MachOBuilder::signedExecutable(blockedIdentifier, blockedTeam);
    layout.signature->entitlements =
        PlistDictionary{{"com.apple.developer.team-identifier", blockedTeam}};
    BundleBuilder::application(blockedBundle_, blockedIdentifier,
                               MachOBuilder::thin(layout).bytes());
}

SystemStandIn::~SystemStandIn() {
    stopHosts();
}

std::shared_ptr<LinuxMainBundle> SystemStandIn::builtApplication() {
    const std::filesystem::path bundle = ZORVANE_APP_BUNDLE;
    return std::make_shared<LinuxMainBundle>(bundle, bundle.parent_path());
}

QString SystemStandIn::tool(const QStringList& arguments, int expectedStatus) const {
    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZORVANE_SYSTEM_DIR", QString::fromStdString(system_.string()));
    process.setProcessEnvironment(environment);
    process.start(ZORVANE_SYSTEM_EXECUTABLE, arguments);
    EXPECT_TRUE(process.waitForFinished(15'000)) << arguments.join(' ').toStdString();
    EXPECT_EQ(process.exitCode(), expectedStatus) << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString SystemStandIn::verdict() const {
    return tool({"flow", "--app", QString::fromStdString(blockedExecutable_.string()), "--host",
                 "example.com", "--port", "443"})
        .trimmed();
}

bool SystemStandIn::stopHosts() const {
    for (const auto& [identifier, record] : ExtensionStateFile(system_).read()) {
        if (record.hostProcessIdentifier) {
            ::kill(static_cast<pid_t>(*record.hostProcessIdentifier), SIGTERM);
        }
    }
    return eventuallyOnEventLoop([&] { return !FileLock::isHeld(system_ / "filter-host.lock"); });
}

} // namespace zorvane::testing
