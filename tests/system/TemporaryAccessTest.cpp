// "Allow for 5 Minutes" from the status agent's menu, end to end: the agent writes the grant and
// tells the window process, which shows it, and hands the filter the allowance; the listed
// application's flows go through until the grant expires, then they drop again and the grant is
// gone from the preferences and the window. The agent is
// the controller in this process (offscreen there is no tray menu to click) on the real Linux
// services; its clock runs 295 s behind, so that its five minutes end 5 s from now.
#include "WholeSystemFixture.h"
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/filter-control/FilterController.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/PlistPreferences.h"
#include "shared/RecordJson.h"

#include <QCoreApplication>
#include <QDBusConnection>

namespace zorvane::testing {
namespace {

using namespace std::chrono_literals;

class LaggingClock final : public Clock {
public:
    explicit LaggingClock(double seconds) : seconds_(seconds) {}
    Date now() const override {
        return Date{SystemClock().now().secondsSinceReferenceDate - seconds_};
    }

private:
    double seconds_;
};

// No status area offscreen: the menu is worked through the controller.
class SilentStatusItem final : public StatusItem {
public:
    void show() override {}
    void hide() override {}
    void setSymbol(const std::string&) override {}
    void setToolTip(const std::string&) override {}
    void setAccessibilityDescription(const std::string&) override {}
    void setMenu(StatusMenuModel) override {}
    void setMenuAboutToOpenHandler(std::function<void()>) override {}
    void setActionHandler(ActionHandler) override {}
};

// Polls with the event loop running, for the agent in this process.
template <typename Condition> bool eventuallyHere(Condition condition) {
    return eventually(condition, 20s,
                      [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

class TemporaryAccessEndToEnd : public WholeSystem {
protected:
    std::unique_ptr<BackgroundStatusAgentController> startAgent() {
        const auto bundle = std::make_shared<LinuxMainBundle>(
            ZORVANE_APP_BUNDLE, std::filesystem::path(ZORVANE_APP_BUNDLE).parent_path());
        BackgroundStatusAgentController::Dependencies dependencies;
        dependencies.preferences = std::make_shared<PlistPreferences>(sandbox.preferencesFile());
        dependencies.notifications = std::make_shared<DBusStateNotifications>();
        dependencies.workspace = std::make_shared<LinuxWorkspace>(LinuxWorkspace::IconRenderer{});
        dependencies.mainBundle = bundle;
        dependencies.filterController = new FilterController(FilterController::Dependencies{
            std::make_shared<LinuxFilterManager>(sandbox.systemDirectory()),
            std::make_shared<LinuxSystemExtensionActivator>(
                LinuxSystemExtensionActivator::Options{sandbox.systemDirectory(), bundle, true}),
            bundle,
            {}});
        dependencies.statusItem = std::make_unique<SilentStatusItem>();
        dependencies.clock = std::make_shared<LaggingClock>(295);
        auto agent = std::make_unique<BackgroundStatusAgentController>(std::move(dependencies));
        agent->start();
        return agent;
    }

    std::vector<TemporaryAccessGrant> storedGrants() const {
        PlistPreferences preferences(sandbox.preferencesFile());
        preferences.synchronize();
        const auto value = preferences.value(BackgroundStatusAgentController::grantsKey);
        if (!value || !value->data()) {
            return {};
        }
        return RecordJson::decodeTemporaryAccessGrants(
                   std::string(value->data()->begin(), value->data()->end()))
            .value_or(std::vector<TemporaryAccessGrant>{});
    }
};

TEST_F(TemporaryAccessEndToEnd, AllowForFiveMinutesLetsFlowsThroughUntilItEnds) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    const auto& mail = SampleApplications::mail();
    seed({mail});
    startApplication();
    ASSERT_TRUE(eventually([&] { return flow(mail.bundle(samples)).verdict == "drop"; }))
        << application->standardError();

    const auto agent = startAgent();
    ASSERT_TRUE(eventuallyHere([&] { return agent->isProtectionActive(); }));
    ASSERT_EQ(agent->snapshot().applications.size(), 1u);
    const auto mailID = agent->snapshot().applications[0].id;
    agent->allowApplicationForFiveMinutes(mailID);
    const auto grants = storedGrants();
    ASSERT_EQ(grants.size(), 1u);
    EXPECT_EQ(grants[0].applicationID, mailID);

    // The window process heard the agent and shows the allowance in the application's row.
    EXPECT_TRUE(eventuallyHere([&] {
        return windowTexts().find("\nAllowed temporarily\n") != std::string::npos;
    })) << windowTexts();
    // The whole application goes through: its main executable and its helper.
    ASSERT_TRUE(eventuallyHere([&] { return flow(mail.bundle(samples)).verdict == "allow"; }));
    EXPECT_EQ(flow(mail.bundle(samples), executable(mail, 1)).verdict, "allow");
    // Until the end of the five minutes, which the filter itself watches.
    ASSERT_TRUE(eventuallyHere([&] { return flow(mail.bundle(samples)).verdict == "drop"; }));
    EXPECT_GE(SystemClock().now().secondsSinceReferenceDate,
              grants[0].expiresAt.secondsSinceReferenceDate);
    EXPECT_EQ(flow(mail.bundle(samples), executable(mail, 1)).verdict, "drop");
    // And the spent grant leaves the shared preferences and the window.
    EXPECT_TRUE(eventuallyHere([&] { return storedGrants().empty(); }))
        << application->standardError();
    EXPECT_TRUE(eventuallyHere([&] {
        const auto texts = windowTexts();
        return texts.find("\nBlocked\n") != std::string::npos &&
               texts.find("Allowed temporarily") == std::string::npos;
    })) << windowTexts();
}

} // namespace
} // namespace zorvane::testing
