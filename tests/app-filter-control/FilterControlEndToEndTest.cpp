// The filter controller on the real Linux stand-ins: activation waits for the approval given
// through zorvane-system, the configuration is saved enabled, and the filter host that the
// activator starts from the built bundle drops the flows of the blocked application.
#include "app/filter-control/FilterController.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "shared/CodeIdentity.h"
#include "tests/qt-support/EventLoopPolling.h"
#include "tests/support/SystemStandIn.h"

#include <QSignalSpy>
#include <csignal>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::eventuallyOnEventLoop;

class FilterControlEndToEnd : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(standIn.stopHosts()); }

    QString tool(const QStringList& arguments) { return standIn.tool(arguments); }
    QString verdict() { return standIn.verdict(); }

    testing::SystemStandIn standIn;
    const std::filesystem::path& system = standIn.systemDirectory();
};

TEST_F(FilterControlEndToEnd, ApprovalStartsTheHostThatDropsTheBlockedApplication) {
    auto mainBundle = testing::SystemStandIn::builtApplication();
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
    ASSERT_TRUE(eventuallyOnEventLoop(
        [&] { return controller.status() == FilterStatus::awaitingApproval(); }));
    EXPECT_TRUE(tool({"status"}).contains("awaiting approval"));
    EXPECT_FALSE(std::filesystem::exists(system / "filter-configuration.plist"));

    EXPECT_EQ(tool({"approve"}), "Approved dev.quillmoor.Zorvane.FilterExtension\n");
    ASSERT_TRUE(eventuallyOnEventLoop([&] {
        return controller.status() == FilterStatus::enabled();
    })) << controller.status().message().toStdString();
    const auto saved = FilterConfigurationFile::inDirectory(system).read();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->enabled);

    ASSERT_TRUE(eventuallyOnEventLoop([&] { return verdict() == "drop"; }));
    const auto status = tool({"status"});
    EXPECT_TRUE(status.contains("dev.quillmoor.Zorvane.FilterExtension: activated"))
        << status.toStdString();
    EXPECT_TRUE(status.contains("Filter host: running")) << status.toStdString();
    const auto host = ExtensionStateFile(system).read().at("dev.quillmoor.Zorvane.FilterExtension");
    ASSERT_TRUE(host.hostProcessIdentifier);

    // Activating again finishes at once and leaves the running host alone.
    controller.activate(rules);
    ASSERT_TRUE(
        eventuallyOnEventLoop([&] { return controller.status() == FilterStatus::enabled(); }));
    EXPECT_EQ(ExtensionStateFile(system)
                  .read()
                  .at("dev.quillmoor.Zorvane.FilterExtension")
                  .hostProcessIdentifier,
              host.hostProcessIdentifier);
    EXPECT_EQ(::kill(static_cast<pid_t>(*host.hostProcessIdentifier), 0), 0);

    // Turning protection off lets the flow through again.
    controller.deactivate();
    ASSERT_TRUE(
        eventuallyOnEventLoop([&] { return controller.status() == FilterStatus::inactive(); }));
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return verdict() == "allow"; }));
}

TEST_F(FilterControlEndToEnd, AnApprovalGivenAfterProtectionWasTurnedOffLeavesTheFilterOff) {
    auto mainBundle = testing::SystemStandIn::builtApplication();
    FilterController::Dependencies dependencies;
    dependencies.filterManager = std::make_shared<LinuxFilterManager>(system);
    dependencies.activator = std::make_shared<LinuxSystemExtensionActivator>(
        LinuxSystemExtensionActivator::Options{system, mainBundle, false});
    dependencies.mainBundle = mainBundle;
    dependencies.eventChannel = [] { return EventChannel{9, std::string(64, 'k')}; };
    FilterController controller(std::move(dependencies));

    FilterRules rules;
    rules.blockedCodeIdentityKeys = {CodeIdentity::make("com.example.blocked", "TEAM123456").key()};
    controller.activate(rules);
    ASSERT_TRUE(eventuallyOnEventLoop(
        [&] { return controller.status() == FilterStatus::awaitingApproval(); }));
    controller.deactivate();
    ASSERT_TRUE(
        eventuallyOnEventLoop([&] { return controller.status() == FilterStatus::inactive(); }));

    // The approval ends in a save and the refresh after it, which publishes a status.
    QSignalSpy published(&controller, &FilterController::statusPublished);
    EXPECT_EQ(tool({"approve"}), "Approved dev.quillmoor.Zorvane.FilterExtension\n");
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return published.count() > 0; }));
    EXPECT_FALSE(controller.activationRequest());
    EXPECT_EQ(controller.status(), FilterStatus::inactive());
    const auto saved = FilterConfigurationFile::inDirectory(system).read();
    ASSERT_TRUE(saved);
    EXPECT_FALSE(saved->enabled);
    EXPECT_EQ(verdict(), "allow");
}

} // namespace
} // namespace zorvane
