// The status agent and the window process side by side on one private session bus and one
// preferences file. The window process is the built executable; the agent is the controller in
// this process on the same Linux services as the agent-mode executable, so that the test can
// work its menu actions (the tray has no menu to click offscreen).
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/agent/TrayStatusItem.h"
#include "app/filter-control/FilterController.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/PlistPreferences.h"
#include "tests/qt-support/ZorvaneProcess.h"
#include "tests/support/TemporaryDirectory.h"

#include <QDBusConnection>
#include <csignal>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::mainWindowForwardLine;
using testing::runningWindowProcesses;
using testing::ZorvaneProcess;

QString storeLine(const char* wish) {
    return QStringLiteral("dev.quillmoor.Zorvane.Store: Protection wish changed by the status "
                          "agent: ") +
           QLatin1String(wish);
}

class AgentAndWindowProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
        // A window process the agent might start inherits this process's environment: it must
        // find the same temporary directories, and be told apart from every other run.
        const auto environment = ZorvaneProcess::environment(directory.path(), applications);
        for (const QString& name : environment.keys()) {
            qputenv(name.toLocal8Bit().constData(), environment.value(name).toLocal8Bit());
        }
    }

    void TearDown() override {
        // A window process the agent started by mistake is not the test's child: end it here.
        for (const pid_t stray : windowProcesses()) {
            ADD_FAILURE() << "window process " << stray << " left running";
            ::kill(stray, SIGTERM);
        }
    }

    std::unique_ptr<BackgroundStatusAgentController> startAgent() {
        const auto mainBundle =
            std::make_shared<LinuxMainBundle>(ZorvaneProcess::builtBundle(), applications);
        BackgroundStatusAgentController::Dependencies dependencies;
        dependencies.preferences = preferences;
        dependencies.notifications = std::make_shared<DBusStateNotifications>();
        dependencies.workspace = std::make_shared<LinuxWorkspace>(LinuxWorkspace::IconRenderer{});
        dependencies.mainBundle = mainBundle;
        dependencies.filterController = new FilterController(FilterController::Dependencies{
            std::make_shared<LinuxFilterManager>(directory / "system"),
            std::make_shared<LinuxSystemExtensionActivator>(
                LinuxSystemExtensionActivator::Options{directory / "system", mainBundle, false}),
            mainBundle,
            {}});
        dependencies.statusItem = std::make_unique<TrayStatusItem>();
        auto agent = std::make_unique<BackgroundStatusAgentController>(std::move(dependencies));
        agent->start();
        return agent;
    }

    std::vector<pid_t> windowProcesses() const {
        return runningWindowProcesses(directory / "preferences.plist");
    }

    TemporaryDirectory directory;
    const std::filesystem::path applications = directory / "Applications";
    const std::shared_ptr<PlistPreferences> preferences =
        std::make_shared<PlistPreferences>(directory / "preferences.plist");
};

TEST_F(AgentAndWindowProcess, ProtectionSwitchedInTheAgentReachesTheWindowProcessStore) {
    // Both processes start from protection off.
    preferences->setValue(BackgroundStatusAgentController::protectionRequestedKey,
                          PlistValue(false));
    ASSERT_TRUE(preferences->synchronize());
    ZorvaneProcess window(directory.path(), applications);
    ASSERT_TRUE(window.start());
    ASSERT_TRUE(window.waitFor(mainWindowForwardLine)) << window.log().toStdString();
    const auto agent = startAgent();
    ASSERT_FALSE(agent->snapshot().protectionRequested);

    agent->toggleProtection();
    ASSERT_TRUE(window.waitFor(storeLine("on"))) << window.log().toStdString();
    agent->toggleProtection();
    ASSERT_TRUE(window.waitFor(storeLine("off"))) << window.log().toStdString();

    EXPECT_EQ(window.terminate(), 0) << window.log().toStdString();
    // Each switch reached the store once, in order: the agent's later notifications (once its
    // filter settled) found the store already in line.
    EXPECT_EQ(window.log().count(storeLine("on")), 1) << window.log().toStdString();
    EXPECT_EQ(window.log().count(storeLine("off")), 1) << window.log().toStdString();
    EXPECT_LT(window.log().indexOf(storeLine("on")), window.log().indexOf(storeLine("off")));
}

TEST_F(AgentAndWindowProcess, OpenZorvaneBringsTheRunningWindowProcessForwardInsteadOfAnother) {
    ZorvaneProcess window(directory.path(), applications);
    ASSERT_TRUE(window.start());
    ASSERT_TRUE(window.waitFor(mainWindowForwardLine)) << window.log().toStdString();
    ASSERT_EQ(windowProcesses(), std::vector{window.processId()});
    const auto agent = startAgent();

    agent->openZorvane();
    // A new instance would have run its executable before openZorvane returned.
    EXPECT_EQ(windowProcesses(), std::vector{window.processId()});
    ASSERT_TRUE(window.waitFor(mainWindowForwardLine, 2)) << window.log().toStdString();
    const auto request = window.log().indexOf("Open-window request received");
    ASSERT_GE(request, 0) << window.log().toStdString();
    EXPECT_GT(window.log().lastIndexOf(mainWindowForwardLine), request);

    EXPECT_EQ(window.terminate(), 0) << window.log().toStdString();
}

} // namespace
} // namespace zorvane
