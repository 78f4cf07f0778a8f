// The filter controller on the real Linux stand-ins: activation waits for the approval given
// through zorvane-system, the configuration is saved enabled, and the filter host that the
// activator starts from the built bundle drops the flows of the blocked application.
#include "app/filter-control/FilterController.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "shared/CodeIdentity.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

template <typename Condition> bool eventually(Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 15'000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

class FilterControlEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        auto sliceSpec = MachOBuilder::signedExecutable("com.example.blocked", "TEAM123456");
        sliceSpec.signature->entitlements =
            PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"}};
        BundleBuilder::application(blockedBundle, "com.example.blocked",
                                   MachOBuilder::thin(sliceSpec).bytes());
    }

    void TearDown() override {
        // The host outlives the application by design; the test ends it.
        const auto records = ExtensionStateFile(system).read();
        for (const auto& [identifier, record] : records) {
            if (record.hostProcessIdentifier) {
                ::kill(static_cast<pid_t>(*record.hostProcessIdentifier), SIGTERM);
            }
        }
        EXPECT_TRUE(eventually([&] { return !FileLock::isHeld(system / "filter-host.lock"); }));
    }

    // Runs zorvane-system for the test's system directory; its standard output.
    QString tool(const QStringList& arguments, int expectedStatus = 0) {
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ZORVANE_SYSTEM_DIR", QString::fromStdString(system.string()));
        process.setProcessEnvironment(environment);
        process.start(ZORVANE_SYSTEM_EXECUTABLE, arguments);
        EXPECT_TRUE(process.waitForFinished(15'000));
        EXPECT_EQ(process.exitCode(), expectedStatus)
            << process.readAllStandardError().toStdString();
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QString verdict() {
        return tool({"flow", "--app", QString::fromStdString(blockedExecutable.string()), "--host",
                     "example.com", "--port", "443"})
            .trimmed();
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    std::filesystem::path blockedBundle = directory / "Blocked.app";
    std::filesystem::path blockedExecutable = blockedBundle / "Contents/MacOS/Blocked";
};

TEST_F(FilterControlEndToEnd, ApprovalStartsTheHostThatDropsTheBlockedApplication) {
    const std::filesystem::path bundlePath = ZORVANE_APP_BUNDLE;
    // The build tree plays the Applications folder.
    auto mainBundle = std::make_shared<LinuxMainBundle>(bundlePath, bundlePath.parent_path());
    ASSERT_EQ(mainBundle->identifier(), "dev.quillmoor.Zorvane");
    ASSERT_TRUE(mainBundle->isInApplicationsFolder());

    FilterController::Dependencies dependencies;
    dependencies.filterManager = std::make_shared<LinuxFilterManager>(system);
    dependencies.activator = std::make_shared<LinuxSystemExtensionActivator>(
        LinuxSystemExtensionActivator::Options{system, mainBundle, false});
    dependencies.mainBundle = mainBundle;
    // Nothing listens there; the host's reports simply go nowhere.
    dependencies.eventChannel = [] { return EventChannel{9, std::string(64, 'k')}; };
    FilterController controller(std::move(dependencies));

    FilterRules rules;
    rules.blockedCodeIdentityKeys = {CodeIdentity::make("com.example.blocked", "TEAM123456").key()};
    controller.activate(rules);
    EXPECT_EQ(controller.status(), FilterStatus::activating());
    ASSERT_TRUE(
        eventually([&] { return controller.status() == FilterStatus::awaitingApproval(); }));
    EXPECT_TRUE(tool({"status"}).contains("awaiting approval"));
    EXPECT_FALSE(std::filesystem::exists(system / "filter-configuration.plist"));

    EXPECT_EQ(tool({"approve"}), "Approved dev.quillmoor.Zorvane.FilterExtension\n");
    ASSERT_TRUE(eventually([&] { return controller.status() == FilterStatus::enabled(); }))
        << controller.status().message().toStdString();
    const auto saved = FilterConfigurationFile::inDirectory(system).read();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->enabled);

    ASSERT_TRUE(eventually([&] { return verdict() == "drop"; }));
    const auto status = tool({"status"});
    EXPECT_TRUE(status.contains("dev.quillmoor.Zorvane.FilterExtension: activated"))
        << status.toStdString();
    EXPECT_TRUE(status.contains("Filter host: running")) << status.toStdString();
    const auto host = ExtensionStateFile(system).read().at("dev.quillmoor.Zorvane.FilterExtension");
    ASSERT_TRUE(host.hostProcessIdentifier);

    // Activating again finishes at once and leaves the running host alone.
    controller.activate(rules);
    ASSERT_TRUE(eventually([&] { return controller.status() == FilterStatus::enabled(); }));
    EXPECT_EQ(ExtensionStateFile(system)
                  .read()
                  .at("dev.quillmoor.Zorvane.FilterExtension")
                  .hostProcessIdentifier,
              host.hostProcessIdentifier);
    EXPECT_EQ(::kill(static_cast<pid_t>(*host.hostProcessIdentifier), 0), 0);

    // Turning protection off lets the flow through again.
    controller.deactivate();
    ASSERT_TRUE(eventually([&] { return controller.status() == FilterStatus::inactive(); }));
    ASSERT_TRUE(eventually([&] { return verdict() == "allow"; }));
}

} // namespace
} // namespace zorvane
